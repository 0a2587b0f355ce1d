// One 5 MiB upgrade through the simulated module at time scale 1: the wall time
// from connect to result beside the floor the module's pauses set, and the daemon's
// peak resident memory beside the package size.
//
//   bench_upgrade [--sim PATH]
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>

#include "bench_util.h"
#include "unique_fd.h"
#include "wlink_host.h"
#include "wlink_package.h"

namespace {

// The daemon: the sim's child that runs in the module root.
pid_t daemon_pid(pid_t sim, const std::string &root) {
    DIR *d = ::opendir("/proc");
    pid_t found = -1;
    for (dirent *e; d && (e = ::readdir(d)) != nullptr;) {
        const pid_t pid = std::atoi(e->d_name);
        if (pid <= 0) continue;
        const std::string stat = wlink_sim::read_file("/proc/" + std::to_string(pid) + "/stat");
        const size_t close = stat.rfind(')');
        if (close == std::string::npos || std::atoi(stat.c_str() + close + 4) != sim) continue;
        char cwd[4096] = {};
        if (::readlink(("/proc/" + std::to_string(pid) + "/cwd").c_str(), cwd, sizeof cwd - 1) > 0 && root == cwd)
            found = pid;
    }
    if (d) ::closedir(d);
    return found;
}

long peak_kib(pid_t pid) {
    for (const std::string &l :
         wlink_sim::split_lines(wlink_sim::read_file("/proc/" + std::to_string(pid) + "/status")))
        if (l.rfind("VmHWM:", 0) == 0) return std::atol(l.c_str() + 6);
    return -1;
}

}  // namespace

int main(int argc, char **argv) {
    if (bench::help_asked(argc, argv, "[--sim PATH]")) return 0;
    wlink_sim::SimProcess sim = bench::sim_process(bench::arg(argc, argv, "--sim", WLINK_SIM_PATH));
    bench::arm_watchdog(58, &sim);
    std::printf("bench_upgrade: one 5 MiB package through the simulated module, time scale 1\n");
    std::printf("build type: %s\n", bench::build_description().c_str());
    std::string err;
    if (!sim.start(1, &err)) return std::fprintf(stderr, "bench_upgrade: %s\n", err.c_str()), 1;

    const size_t image_len = 2 << 20, total = wlink::kMaxPackageSize;
    wlink::ByteVec image(image_len), app(total - wlink::kPackageHeadSize - image_len);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<uint8_t>(i * 13);
    for (size_t i = 0; i < app.size(); ++i) app[i] = static_cast<uint8_t>(i * 7);
    const wlink::ByteVec pkg = wlink::build_package(wlink::wrap_image(wlink::ImageHeader{}, image), app, 9, 9);

    wlink::SerialClient serial;
    wlink::UdpClient udp;
    std::optional<std::string> r;
    if (serial.open(sim.serial_path(), &err))
        for (int i = 0; i < 3 && !r; ++i) r = serial.command("AT+UIP=127.0.0.1", 2000, &err);
    if (r && udp.open("127.0.0.1", sim.udp_port, &err)) r = udp.command("AT+UPGRADE=9999 bench", &err);
    if (!r || *r != "+OK") return std::fprintf(stderr, "bench_upgrade: no upgrade server: %s\n", err.c_str()), 1;
    const pid_t daemon = daemon_pid(sim.pid, sim.root);
    const long before = peak_kib(daemon);

    UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in a{AF_INET, htons(sim.upgrade_port), {htonl(INADDR_LOOPBACK)}, {}};
    wlink_sim::wait_until([&] { return ::connect(fd.get(), reinterpret_cast<sockaddr *>(&a), sizeof a) == 0; }, 2000);
    const auto t0 = bench::Clock::now();
    wlink::ByteVec out(68, 0);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<uint8_t>(pkg.size() >> (24 - 8 * i));
    std::memcpy(out.data() + 4, "bench", 5);
    out.insert(out.end(), pkg.begin(), pkg.end());
    wlink::ByteVec got;
    size_t sent = 0;
    for (;;) {  // send and receive together: the module answers 0/3 before it reads the package
        pollfd p{fd.get(), static_cast<short>(POLLIN | (sent < out.size() ? POLLOUT : 0)), 0};
        if (::poll(&p, 1, 20000) != 1) break;
        if (p.revents & POLLOUT) {
            const ssize_t n =
                ::send(fd.get(), out.data() + sent, std::min<size_t>(65536, out.size() - sent), MSG_NOSIGNAL);
            if (n > 0) sent += static_cast<size_t>(n);
        }
        uint8_t buf[256];
        if (p.revents & (POLLIN | POLLHUP)) {
            const ssize_t n = ::recv(fd.get(), buf, sizeof buf, 0);
            if (n <= 0) break;
            got.insert(got.end(), buf, buf + n);
        }
    }
    const double wall = bench::ms_since(t0);
    const long peak = peak_kib(daemon);
    const bool ok = got.size() >= 16 && std::all_of(got.end() - 8, got.end(), [](uint8_t b) { return b == 0; });
    std::printf("result: %s (%zu bytes of answers, %zu heartbeats)\n", ok ? "success" : "FAILED", got.size(),
                got.size() >= 16 ? got.size() / 8 - 2 : 0);
    std::printf(
        "connect to result: %.0f ms; floor 2600 ms (10 ms per 32 KiB block = 1600 ms, 1000 ms before the "
        "version record); ratio %.2f, goal <= 1.50\n",
        wall, wall / 2600.0);
    std::printf(
        "daemon peak resident memory: %.2f MiB (%.2f MiB before the upgrade, %.2f MiB more); package %.2f MiB; "
        "goal <= %.2f MiB\n",
        peak / 1024.0, before / 1024.0, (peak - before) / 1024.0, pkg.size() / 1048576.0, pkg.size() / 1048576.0 + 1.0);
    std::printf("simulator stopped, status %d\n", bench::exit_status(sim.stop()));
    return ok ? 0 : 1;
}
