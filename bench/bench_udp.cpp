// Round-trip time of the UDP command link, against a bare UDP echo on the
// same loopback with datagrams of the same size.
//
//   bench_udp [-n N] [--sim PATH]
//   bench_udp [-n N] --udp PORT --echo PORT   a board already running (tools/vm): its
//             forwarded command port, after AT+UIP=, and a bare echo in the same guest;
//             there "AT+CNUM" too, a station query through the stand-in driver
#include <poll.h>
#include <sys/prctl.h>

#include "bench_util.h"
#include "wlink_host.h"

namespace {

constexpr int kTimeoutMs = 500;
constexpr double kPhaseBudgetMs = 20000;  // each phase stops here at the latest

// Bound to 127.0.0.1 on a free port; a process of its own, like the module, that
// sends every datagram back to its sender with the same calls the module's UDP link
// makes (a wait, a receive, a send).
class EchoServer {
public:
    bool start() {
        uint16_t p = 0;
        const int fd = wlink_sim::bind_loopback(SOCK_DGRAM, &p);
        if (fd < 0) return false;
        pid_ = ::fork();
        if (pid_ == 0) run(fd);
        ::close(fd);
        if (pid_ < 0) return false;
        port = p;
        return true;
    }
    ~EchoServer() {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    int port = -1;

private:
    [[noreturn]] static void run(int fd) {
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        uint8_t buf[512];
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            if (::poll(&p, 1, -1) <= 0) continue;
            sockaddr_in from{};
            socklen_t len = sizeof from;
            ssize_t n = ::recvfrom(fd, buf, sizeof buf, 0, reinterpret_cast<sockaddr *>(&from), &len);
            if (n > 0) ::sendto(fd, buf, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr *>(&from), len);
        }
    }
    pid_t pid_ = -1;
};

struct Phase {
    std::vector<double> rtt_ms;
    double wall_ms = 0;
    int failures = 0;
    size_t dgram_out = 0, dgram_in = 0;
};

// N sequential round trips of the "AT+" command datagram on a connected
// socket. Against the module a reply counts when it decodes with the right
// sequence byte; against the echo, when it is the datagram sent.
void run_phase(Phase &ph, int port, int n, bool echo, const char *cmd = "AT+") {
    int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(port));
    if (fd < 0 || ::connect(fd, reinterpret_cast<sockaddr *>(&to), sizeof to) != 0) {
        ph.failures += n;
        if (fd >= 0) ::close(fd);
        return;
    }
    uint8_t buf[512];
    std::vector<uint8_t> dgram;
    const auto start = bench::Clock::now();
    for (int i = 0; i < n && bench::ms_since(start) < kPhaseBudgetMs; ++i) {
        const auto seq = static_cast<uint8_t>(i);
        std::string err;
        wlink::encode_udp_command(seq, cmd, &dgram, &err);
        ph.dgram_out = dgram.size();
        const auto t0 = bench::Clock::now();
        bool ok = false;
        if (::send(fd, dgram.data(), dgram.size(), 0) == static_cast<ssize_t>(dgram.size())) {
            for (;;) {  // skip anything stale until the matching reply or time-out
                const int left = kTimeoutMs - static_cast<int>(bench::ms_since(t0));
                pollfd p{fd, POLLIN, 0};
                if (left <= 0 || ::poll(&p, 1, left) <= 0) break;
                const ssize_t got = ::recv(fd, buf, sizeof buf, 0);
                if (got <= 0) continue;
                std::string text;
                ok = echo ? (static_cast<size_t>(got) == dgram.size() &&
                             std::memcmp(buf, dgram.data(), dgram.size()) == 0)
                          : (wlink::decode_udp_reply(buf, static_cast<size_t>(got), seq, &text) ==
                                 wlink::ReplyCheck::Ok &&
                             text.compare(0, 3, "+OK") == 0);
                if (ok) {
                    ph.dgram_in = static_cast<size_t>(got);
                    break;
                }
            }
        }
        if (ok)
            ph.rtt_ms.push_back(bench::ms_since(t0));
        else
            ++ph.failures;
    }
    ph.wall_ms += bench::ms_since(start);
    ::close(fd);
}

void report(const char *name, const Phase &ph, const bench::Figures &f) {
    std::printf(
        "%-5s  %5zu ok  %3d lost  datagram %zu->%zu B  median %8.1f us  p99 %8.1f us  "
        "min %7.1f us  max %8.1f us  %9.0f cmd/s\n",
        name, f.n, ph.failures, ph.dgram_out, ph.dgram_in, f.median * 1e3, f.p99 * 1e3, f.min * 1e3, f.max * 1e3,
        ph.wall_ms > 0 ? 1e3 * static_cast<double>(f.n) / ph.wall_ms : 0);
}

// The simulator with its UDP link open to this host, and the echo beside it.
bool start_simulated(wlink_sim::SimProcess &sim, EchoServer &echo, int *udp_port, int *echo_port) {
    std::string err;
    if (!sim.start(1, &err)) {
        std::fprintf(stderr, "bench_udp: %s\n", err.c_str());
        return false;
    }
    std::printf("simulator: udp 127.0.0.1:%d, serial %s\n", sim.udp_port, sim.serial_path().c_str());

    // The UDP link serves only the address given by AT+UIP over the serial line.
    wlink::SerialClient serial;
    std::optional<std::string> r;
    if (serial.open(sim.serial_path(), &err))
        for (int i = 0; i < 3 && !r; ++i) r = serial.command("AT+UIP=127.0.0.1", 2000, &err);
    if (!r || *r != "+OK") {
        std::fprintf(stderr, "bench_udp: AT+UIP over serial failed: %s\n", r ? r->c_str() : err.c_str());
        return false;
    }
    wlink::UdpClient udp;
    if (!udp.open("127.0.0.1", static_cast<uint16_t>(sim.udp_port), &err) || !(r = udp.command("AT+", 1000, 2, &err)) ||
        *r != "+OK") {
        std::fprintf(stderr, "bench_udp: UDP heartbeat failed: %s\n", r ? r->c_str() : err.c_str());
        return false;
    }

    if (!echo.start()) {
        std::fprintf(stderr, "bench_udp: cannot start the echo server\n");
        return false;
    }

    *udp_port = sim.udp_port;
    *echo_port = echo.port;
    return true;
}

}  // namespace

int main(int argc, char **argv) {
    if (bench::help_asked(argc, argv, "[-n N (2000)] [--sim PATH | --udp PORT --echo PORT] [--spread]")) return 0;
    const int n = std::atoi(bench::arg(argc, argv, "-n", "2000").c_str());
    const int board_udp = std::atoi(bench::arg(argc, argv, "--udp", "0").c_str());
    const int board_echo = std::atoi(bench::arg(argc, argv, "--echo", "0").c_str());
    const std::string sim_path = bench::arg(argc, argv, "--sim", WLINK_SIM_PATH);
    if (n < 1 || n > 100000) {
        std::fprintf(stderr, "bench_udp: -n must be 1..100000\n");
        return 1;
    }
    // --spread: client, echo and module go wherever the scheduler puts them.
    bool spread = false;
    for (int i = 1; i < argc; ++i) spread = spread || std::strcmp(argv[i], "--spread") == 0;
    const int cpu = spread ? -1 : bench::pin_to_one_cpu();
    wlink_sim::SimProcess sim = bench::sim_process(sim_path);
    bench::arm_watchdog(58, &sim);

    std::printf(
        "bench_udp: UDP command link vs bare UDP echo, %d sequential \"AT+\" and \"AT+SSID\"%s round trips each\n", n,
        board_udp > 0 ? " (and \"AT+CNUM\")" : "");
    if (spread)
        std::printf("build type: %s; client, echo process and simulated module on any CPU, taking turns in rounds\n",
                    bench::build_description().c_str());
    else
        std::printf(
            "build type: %s; client, echo process and simulated module all on CPU %d (cross-CPU wake-ups "
            "left out), taking turns in rounds\n",
            bench::build_description().c_str(), cpu);

    EchoServer echo;
    int udp_port = board_udp, echo_port = board_echo;
    if (board_udp > 0)
        std::printf("board: udp 127.0.0.1:%d, echo 127.0.0.1:%d\n", board_udp, board_echo);
    else if (!start_simulated(sim, echo, &udp_port, &echo_port))
        return 1;

    Phase warm_up;  // not counted
    run_phase(warm_up, udp_port, 50, false);
    run_phase(warm_up, echo_port, 50, true);
    // The targets: on this machine's CPU, and on the emulated board's, where every call
    // the module makes beyond the echo's weighs more.
    const bool board = board_udp > 0;
    const char *const who = board ? "board" : "sim";
    struct Result {
        const char *cmd;
        double target;
        Phase sim, echo;
    };  // target 0: none
    std::vector<Result> results = {{"AT+", board ? 2.0 : 1.3, {}, {}}, {"AT+SSID", board ? 2.5 : 1.5, {}, {}}};
    if (board) results.push_back({"AT+CNUM", 0, {}, {}});
    // Module and echo take turns in rounds, so that a spell of load from elsewhere
    // falls on both alike.
    constexpr int kRounds = 50;
    for (Result &res : results)
        for (int r = 0; r < kRounds; ++r) {
            const int part = n / kRounds + (r < n % kRounds ? 1 : 0);
            run_phase(res.sim, udp_port, part, false, res.cmd);
            run_phase(res.echo, echo_port, part, true, res.cmd);
        }
    const int sim_rc = bench::exit_status(sim.stop());

    for (const Result &res : results) {
        const auto fs = bench::figures(res.sim.rtt_ms), fe = bench::figures(res.echo.rtt_ms);
        std::printf("\"%s\":\n", res.cmd);
        report(who, res.sim, fs);
        report("echo", res.echo, fe);
        if (fs.n && fe.n && fe.median > 0 && fe.p99 > 0 && res.target > 0)
            std::printf("%s/echo: median %.2f x (target <= %.1f), p99 %.2f x\n", who, fs.median / fe.median, res.target,
                        fs.p99 / fe.p99);
        else if (fs.n && fe.n && fe.median > 0 && fe.p99 > 0)
            std::printf("%s/echo: median %.2f x, p99 %.2f x\n", who, fs.median / fe.median, fs.p99 / fe.p99);
        else
            std::printf("%s/echo: n/a\n", who);
    }
    if (!board) std::printf("simulator stopped, status %d\n", sim_rc);
    return 0;
}
