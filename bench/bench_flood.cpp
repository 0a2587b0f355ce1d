// The recorder's UDP round trip while another address floods the command port with
// datagrams the module refuses, against the same round trip without the flood.
//
//   bench_flood [-t SECONDS (3)] [-r DATAGRAMS_PER_SECOND (10000)] [--sim PATH]
#include <arpa/inet.h>
#include <sys/socket.h>

#include <atomic>
#include <thread>

#include "bench_util.h"
#include "unique_fd.h"
#include "wlink_host.h"

namespace {

// Heartbeats from the allowed peer for secs: their latencies (ms) and how many went unanswered.
bench::Figures round_trips(wlink::UdpClient &udp, double secs, int *lost) {
    std::vector<double> lat;
    std::string err;
    for (const auto start = bench::Clock::now(); bench::ms_since(start) < secs * 1e3;) {
        const auto t0 = bench::Clock::now();
        const auto r = udp.command("AT+", 1000, 0, &err);
        if (r && *r == "+OK")
            lat.push_back(bench::ms_since(t0));
        else
            ++*lost;
    }
    return bench::figures(lat);
}

}  // namespace

int main(int argc, char **argv) {
    if (bench::help_asked(argc, argv, "[-t SECONDS (3)] [-r DATAGRAMS_PER_SECOND (10000)] [--sim PATH]")) return 0;
    const double secs = std::atof(bench::arg(argc, argv, "-t", "3").c_str());
    const int rate = std::atoi(bench::arg(argc, argv, "-r", "10000").c_str());
    if (!(secs > 0 && secs <= 20) || rate < 1 || rate > 100000) {
        std::fprintf(stderr, "bench_flood: -t must be in (0, 20], -r 1..100000\n");
        return 1;
    }
    wlink_sim::SimProcess sim = bench::sim_process(bench::arg(argc, argv, "--sim", WLINK_SIM_PATH));
    bench::arm_watchdog(58, &sim);
    std::printf(
        "bench_flood: \"AT+\" round trips from the allowed peer (127.0.0.1) for %.1f s, without and with %d "
        "refused datagrams a second from 127.0.0.2\nbuild type: %s\n",
        secs, rate, bench::build_description().c_str());
    std::string err;
    wlink::SerialClient serial;
    wlink::UdpClient udp;
    if (!sim.start(1, &err) || !serial.open(sim.serial_path(), &err) ||
        serial.command("AT+UIP=127.0.0.1", 3000, &err) != std::optional<std::string>("+OK") ||
        !udp.open("127.0.0.1", sim.udp_port, &err)) {
        std::fprintf(stderr, "bench_flood: %s\n", err.c_str());
        return 1;
    }
    int lost_quiet = 0, lost_flood = 0;
    round_trips(udp, 0.2, &lost_quiet);  // warm-up, not counted
    lost_quiet = 0;
    const bench::Figures quiet = round_trips(udp, secs, &lost_quiet);

    // The flood: heartbeats from another address, paced in bursts of a millisecond's worth.
    std::atomic<bool> done{false};
    std::atomic<long> sent{0};
    const size_t log_before = sim.log().size();
    std::thread flood([&] {
        UniqueFd fd(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
        sockaddr_in me{AF_INET, 0, {htonl(0x7F000002)}, {}},
            to{AF_INET, htons(sim.udp_port), {htonl(INADDR_LOOPBACK)}, {}};
        if (bind(fd.get(), reinterpret_cast<sockaddr *>(&me), sizeof me) != 0) return;
        static const uint8_t kHeartbeat[] = {0x55, 0x44, 0x33, 0x22, 0x73, 0x65, 0x71,
                                             0x07, 0x2C, 0x03, 0x41, 0x54, 0x2B, 0xC0};
        const auto start = bench::Clock::now();
        while (!done) {
            const long due = static_cast<long>(bench::ms_since(start) * rate / 1000.0);
            for (; sent < due; ++sent)
                sendto(fd.get(), kHeartbeat, sizeof kHeartbeat, 0, reinterpret_cast<sockaddr *>(&to), sizeof to);
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    const auto t0 = bench::Clock::now();
    const bench::Figures flooded = round_trips(udp, secs, &lost_flood);
    const double flooded_secs = bench::ms_since(t0) / 1e3;
    done = true;
    flood.join();
    const std::string log = sim.log().substr(log_before);
    size_t lines = 0;
    for (size_t at = 0; (at = log.find("===ip check fail,src ip:", at)) != std::string::npos; ++at) ++lines;

    std::printf("without the flood: median %.3f ms  p99 %.3f ms  (%zu answered, %d not)\n", quiet.median, quiet.p99,
                quiet.n, lost_quiet);
    std::printf(
        "with the flood:    median %.3f ms  p99 %.3f ms  (%zu answered, %d not); %ld datagrams refused in %.2f s "
        "(%.0f a second)\n",
        flooded.median, flooded.p99, flooded.n, lost_flood, sent.load(), flooded_secs,
        static_cast<double>(sent.load()) / flooded_secs);
    std::printf("ratio: median %.2f x  p99 %.2f x\n", flooded.median / quiet.median, flooded.p99 / quiet.p99);
    std::printf("log lines about refused datagrams during the flood: %zu (at most one a second)\n", lines);
    std::printf("simulator stopped, status %d\n", bench::exit_status(sim.stop()));
    return 0;
}
