// The module killed at random moments while the profile, the DHCP configuration, the
// factory copy and the version record are being written; tools/powercut runs it.
// After each kill the files are whole and consistent, and once the module is back the
// header partition's kept bytes are as they were.
#include <dirent.h>
#include <signal.h>

#include <atomic>
#include <random>
#include <thread>

#include "proof.h"

namespace e2e {
namespace {

// The daemon: the sim's child with more than one thread (the other one relays the line).
pid_t daemon_pid(pid_t sim) {
  std::istringstream kids(read_file("/proc/" + std::to_string(sim) + "/task/" + std::to_string(sim) + "/children"));
  for (pid_t c; kids >> c;)
    if (read_file("/proc/" + std::to_string(c) + "/status").find("Threads:\t1\n") == std::string::npos) return c;
  return -1;
}

TEST_F(Proof, KilledAtRandomMomentsLeavesWholeFiles) {
  const int rounds = getenv("POWERCUT_ROUNDS") ? atoi(getenv("POWERCUT_ROUNDS")) : 200;
  const std::string factory = profile(), factory_dhcp = dhcp_conf(), pkg = package();
  const std::string kept = read_file(path("/dev/mtd2")).substr(0, 0xFE00);
  const Lines writes = {"AT+CHANNEL=auto", "AT+HTMODE=HT20", "AT+DHCP=10 5 1h", "AT+CHANNEL=11",
                        "AT+HTMODE=HT40",  "AT+RESTORE",     "AT+DHCP=200 50 2h", "AT+SSID=cut"};
  std::mt19937 rng(12345);
  for (int round = 0; round < rounds; ++round) {
    SCOPED_TRACE("round " + std::to_string(round));
    std::string err;
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    ASSERT_EQ(read_file(path("/dev/mtd2")).substr(0, 0xFE00), kept) << "the header partition's kept bytes";
    std::atomic<bool> stop{false};
    std::thread w([&] {
      for (size_t i = round; !stop; ++i) udp_.command(writes[i % writes.size()], 300, 0, &err);
    });
    std::thread up([&] {
      if (round % 4 == 0) upgrade(pkg);
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(std::uniform_int_distribution<int>(20, 400)(rng)));
    const pid_t d = daemon_pid(pid_);
    ASSERT_GT(d, 0);
    ::kill(d, SIGKILL);
    ASSERT_TRUE(wait_exit(5000)) << "the sim did not end with its daemon";
    stop = true;
    w.join();
    up.join();
    ASSERT_EQ(check_files(profile(), factory, dhcp_conf(), factory_dhcp), "");
    serial_.close();
    udp_.close();
    ASSERT_TRUE(start());
  }
  ASSERT_EQ(read_file(path("/dev/mtd2")).substr(0, 0xFE00), kept);
}

}  // namespace
}  // namespace e2e
