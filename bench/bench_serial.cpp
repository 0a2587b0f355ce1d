// Heartbeat rate of the serial command link.
//
//   bench_serial [-t SECONDS (10)] [-n MAX_COMMANDS] [--sim PATH]
#include "bench_util.h"
#include "wlink_host.h"

int main(int argc, char **argv) {
    if (bench::help_asked(argc, argv, "[-t SECONDS (10)] [-n MAX_COMMANDS] [--sim PATH]")) return 0;
    const double secs = std::atof(bench::arg(argc, argv, "-t", "10").c_str());
    const long max_n = std::atol(bench::arg(argc, argv, "-n", "0").c_str());
    const std::string sim_path = bench::arg(argc, argv, "--sim", WLINK_SIM_PATH);
    if (!(secs > 0 && secs <= 45) || max_n < 0) {
        std::fprintf(stderr, "bench_serial: -t must be in (0, 45], -n >= 0\n");
        return 1;
    }
    wlink_sim::SimProcess sim = bench::sim_process(sim_path);
    bench::arm_watchdog(58, &sim);

    std::printf("bench_serial: \"AT+\" heartbeats over the serial link for %.1f s", secs);
    if (max_n) std::printf(" or %ld commands", max_n);
    std::printf("\nbuild type: %s\n", bench::build_description().c_str());

    std::string err;
    if (!sim.start(1, &err)) {
        std::fprintf(stderr, "bench_serial: %s\n", err.c_str());
        return 1;
    }
    std::printf("simulator: serial %s\n", sim.serial_path().c_str());

    wlink::SerialClient serial;
    std::optional<std::string> r;
    if (serial.open(sim.serial_path(), &err))
        for (int i = 0; i < 3 && !r; ++i) r = serial.command("AT+", 2000, &err);  // link up
    if (!r || *r != "+OK") {
        std::fprintf(stderr, "bench_serial: first heartbeat failed: %s\n", r ? r->c_str() : err.c_str());
        return 1;
    }

    std::vector<double> lat;
    int failures = 0;
    const auto start = bench::Clock::now();
    while (bench::ms_since(start) < secs * 1e3 && (max_n == 0 || static_cast<long>(lat.size()) + failures < max_n)) {
        const auto t0 = bench::Clock::now();
        r = serial.command("AT+", 1000, &err);
        if (r && *r == "+OK")
            lat.push_back(bench::ms_since(t0));
        else
            ++failures;
    }
    const double wall = bench::ms_since(start);
    const int sim_rc = bench::exit_status(sim.stop());

    const auto f = bench::figures(lat);
    std::printf("heartbeats: %zu ok, %d failed in %.2f s\n", f.n, failures, wall / 1e3);
    std::printf("heartbeats per second: %.2f\n", 1e3 * static_cast<double>(f.n) / wall);
    std::printf("latency: median %.1f ms  p99 %.1f ms  min %.1f ms  max %.1f ms\n", f.median, f.p99, f.min, f.max);
    std::printf("protocol ceiling 10/s; goal >= 9/s\n");
    std::printf("simulator stopped, status %d\n", sim_rc);
    return 0;
}
