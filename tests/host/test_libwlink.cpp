// libwlink through its C API against the simulated module, and against a stand-in
// upgrade port for the failures the module cannot be made to show.
#include <signal.h>
#include <sys/stat.h>

#include <atomic>
#include <thread>

#include "sim_module.h"
#include "wlink.h"
#include "wlink_package.h"

namespace e2e {
namespace {

const wlink::ByteVec kPkg =
    wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(3000, 1)), wlink::ByteVec(900, 2), 4, 2);

class Lib : public SimModule {
protected:
    int time_scale() const override { return 100; }
    void SetUp() override {
        SimModule::SetUp();
        allow_udp();
        ASSERT_EQ(wlink_open_udp("127.0.0.1", udp_port_, &l_), WLINK_OK);
        wlink_set_timeout(l_, 500);
    }
    void TearDown() override {
        wlink_close(l_);
        SimModule::TearDown();
    }
    wlink_link *l_ = nullptr;
};

TEST_F(Lib, CommandsOnBothLinksAndTheSerialPortIsExclusive) {
    wlink_link *s = nullptr;
    EXPECT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_PORT_BUSY) << "the fixture holds the port";
    serial_.close();
    ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK);
    wlink_link *second = nullptr;
    EXPECT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &second), WLINK_PORT_BUSY);
    wlink_set_pace(s, 0);
    char v[256];
    const struct {
        wlink_link *link;
        const char *cmd;
        wlink_status st;
        const char *reply;
    } cases[] = {
        {s, "AT+SSID=Serial", WLINK_OK, "+OK"},   {l_, "AT+SSID", WLINK_OK, "+OK=Serial"},
        {l_, "AT+NOPE", WLINK_ERR_REPLY, "+ERR"}, {s, "AT+CNUM", WLINK_OK, "+OK=0"},
        {s, "", WLINK_BAD_ARGUMENT, ""},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(wlink_command(c.link, c.cmd, v, sizeof v), c.st) << c.cmd;
        EXPECT_STREQ(v, c.reply) << c.cmd;
    }
    EXPECT_EQ(wlink_set(s, WLINK_KEY, "short"), WLINK_BAD_VALUE);
    EXPECT_EQ(wlink_set(l_, WLINK_WIFI, "off"), WLINK_OK);
    EXPECT_EQ(wlink_get(s, WLINK_WIFI, v, sizeof v), WLINK_OK);
    EXPECT_STREQ(v, "OFF");
    EXPECT_EQ(profile().find("WPAPSK1=short"), std::string::npos);
    wlink_close(s);
    ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK) << "free again after the close";
    wlink_close(s);
}

TEST_F(Lib, UdpWithoutAPeerOrAListener) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.2"), "+OK");
    wlink_set_retries(l_, 0);
    EXPECT_EQ(wlink_command(l_, "AT+", nullptr, 0), WLINK_NO_REPLY);
    wlink_link *closed = nullptr;
    ASSERT_EQ(wlink_open_udp("127.0.0.1", free_port(SOCK_DGRAM), &closed), WLINK_OK);
    EXPECT_EQ(wlink_command(closed, "AT+", nullptr, 0), WLINK_UNREACHABLE) << "the port's refusal, not silence";
    wlink_close(closed);
}

struct Counts {
    size_t progress = 0, sent = 0;
    int beats = 0, last_value = 0;
};

wlink_upgrade_options options(Counts *c, uint16_t port) {
    wlink_upgrade_options o;
    wlink_upgrade_options_init(&o);
    o.host = "127.0.0.1";
    o.port = port;
    o.progress = [](void *ctx, size_t sent, size_t) {
        return ++static_cast<Counts *>(ctx)->progress, static_cast<Counts *>(ctx)->sent = sent, 0;
    };
    o.heartbeat = [](void *ctx, int value, int n) {
        return static_cast<Counts *>(ctx)->beats = n, static_cast<Counts *>(ctx)->last_value = value, 0;
    };
    o.ctx = c;
    return o;
}

TEST_F(Lib, UpgradeWithProgressAndHeartbeats) {
    // 2 x 250 s of module time: 40 beats 3 s apart and the last take 120 s, with room for
    // a loaded machine that stretches each beat.
    std::ofstream(path("/sim/flash-delay-ms")) << "250000";
    Counts c;
    wlink_upgrade_options o = options(&c, upgrade_port_);
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_OK) << wlink_last_error(l_);
    EXPECT_EQ(c.sent, kPkg.size());
    EXPECT_GE(c.progress, 1u);
    EXPECT_EQ(c.beats, 41);
    EXPECT_EQ(c.last_value, 1);
    EXPECT_EQ(udp("AT+VER"), "+OK=V4.2");

    wlink::ByteVec bad = kPkg;
    bad[200] ^= 1;
    EXPECT_EQ(wlink_upgrade(l_, bad.data(), bad.size(), &o), WLINK_BAD_PACKAGE);
    EXPECT_NE(std::string(wlink_last_error(l_)).find("image data CRC: stored"), std::string::npos);
    std::ofstream(path("/sim/flash-delay-ms")) << "0";
    o.force = 1;
    EXPECT_EQ(wlink_upgrade(l_, bad.data(), bad.size(), &o), WLINK_UPG_REFUSED) << wlink_last_error(l_);
}

// A stand-in upgrade port: each connection gets the next behaviour.
using Behaviour = std::function<void(int fd)>;
void serve(uint16_t *port, std::vector<Behaviour> script, std::thread *t) {
    const int lfd = wlink_sim::bind_loopback(SOCK_STREAM, port);
    ::listen(lfd, 4);
    *t = std::thread([lfd, script] {
        for (const Behaviour &b : script) {
            pollfd p{lfd, POLLIN, 0};
            if (::poll(&p, 1, 8000) != 1) break;  // a client that gave up early
            const int fd = ::accept(lfd, nullptr, nullptr);
            b(fd);
            ::close(fd);
        }
        ::close(lfd);
    });
}

void answer(int fd, uint8_t value) {
    char head[68];
    EXPECT_EQ(::recv(fd, head, sizeof head, MSG_WAITALL), 68);
    const uint8_t msg[8] = {0, 0, 0, 0, 0, 0, 0, value};
    ::send(fd, msg, 8, MSG_NOSIGNAL);
}

TEST_F(Lib, EachUpgradeFailureHasItsStatus) {
    const auto take_package = [](int fd) {
        answer(fd, 3);
        std::vector<char> body(kPkg.size());
        ::recv(fd, body.data(), body.size(), MSG_WAITALL);
    };
    const struct {
        const char *what;
        std::vector<Behaviour> script;
        wlink_status want;
    } cases[] = {
        {"wrong token", {[](int fd) { answer(fd, 1); }}, WLINK_UPG_WRONG_TOKEN},
        {"closed before answering, then served",
         {[](int) {},
          [&](int fd) {
              take_package(fd);
              ::send(fd, "\0\0\0\0\0\0\0\0", 8, 0);
          }},
         WLINK_OK},
        {"lost mid-package",
         {[](int fd) {
             answer(fd, 3);
             ::recv(fd, std::vector<char>(100).data(), 100, MSG_WAITALL);
         }},
         WLINK_UPG_LOST},
        {"silent after the package",
         {[&](int fd) {
             take_package(fd);
             std::this_thread::sleep_for(std::chrono::milliseconds(600));
         }},
         WLINK_UPG_TIMEOUT},
        {"unknown answer", {[](int fd) { answer(fd, 7); }}, WLINK_UPG_PROTOCOL},
    };
    for (const auto &c : cases) {
        uint16_t port = 0;
        std::thread t;
        serve(&port, c.script, &t);
        Counts n;
        wlink_upgrade_options o = options(&n, port);
        o.timeout_ms = 300;
        EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), c.want) << c.what << ": " << wlink_last_error(l_);
        t.join();
    }
    uint16_t none = free_port(SOCK_STREAM);
    Counts n;
    wlink_upgrade_options o = options(&n, none);
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_UPG_CONNECT);
}

// ---- replies that can never be another command's

// Every process of the simulated module (the daemon, its relay, the simulator).
std::vector<pid_t> module_processes(pid_t top) {
    std::vector<pid_t> out{top};
    for (size_t i = 0; i < out.size(); ++i) {
        std::istringstream kids(
            read_file("/proc/" + std::to_string(out[i]) + "/task/" + std::to_string(out[i]) + "/children"));
        for (pid_t p; kids >> p;) out.push_back(p);
    }
    return out;
}

TEST_F(Lib, APausedModuleNeverShiftsRepliesOnEitherLink) {
    serial_.close();
    wlink_link *s = nullptr;
    ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK);
    wlink_set_pace(s, 0);
    const std::vector<pid_t> module = module_processes(pid_);
    for (wlink_link *l : {s, l_}) {
        wlink_set_timeout(l, 300);
        wlink_set_retries(l, 1);
        for (pid_t p : module) ::kill(p, SIGSTOP);
        for (pid_t p : module)  // stopped for good before the command goes out
            ASSERT_TRUE(wait_until(
                [&] { return read_file("/proc/" + std::to_string(p) + "/stat").find(") T ") != std::string::npos; },
                2000));
        // A query, then a setter: both unanswered. Over serial the setter never goes out:
        // the fence sent first to tell the late reply apart goes unanswered too.
        EXPECT_EQ(wlink_command(l, "AT+SSID", nullptr, 0), WLINK_NO_REPLY);
        EXPECT_EQ(wlink_command(l, "AT+WIFI=OFF", nullptr, 0), WLINK_NO_REPLY);
        for (pid_t p : module) ::kill(p, SIGCONT);
        const std::pair<const char *, const char *> sequence[] = {
            {"AT+KEY", "+OK=12345678"}, {"AT+UIP", "+OK=127.0.0.1"},
            {"AT+SSID=Resumed", "+OK"}, {"AT+SSID", "+OK=Resumed"},
            {"AT+CNUM", "+OK=0"},       {"AT+WIFI", wlink_is_serial(l) ? "+OK=ON" : "+OK=OFF"}};
        for (const auto &[cmd, want] : sequence) {
            char v[256];
            wlink_set_timeout(l, 1500);
            EXPECT_EQ(wlink_command(l, cmd, v, sizeof v), WLINK_OK) << cmd << ": " << wlink_last_error(l);
            EXPECT_STREQ(v, want) << cmd << (wlink_is_serial(l) ? " (serial)" : " (UDP)");
        }
        ASSERT_EQ(wlink_command(s, "AT+SSID=QEL_NVR_AP", nullptr, 0), WLINK_OK);
    }
    wlink_close(s);
}

TEST_F(Lib, ErrorContract) {
    char v[256] = "x";
    // A reply larger than the buffer: nothing half given, the size needed said.
    EXPECT_EQ(wlink_get(l_, WLINK_SSID, v, 4), WLINK_BAD_ARGUMENT);
    EXPECT_STREQ(v, "");
    EXPECT_NE(std::string(wlink_last_error(l_)).find("needs a buffer of 11 bytes, not 4"), std::string::npos)
        << wlink_last_error(l_);
    EXPECT_EQ(wlink_command(l_, "AT+SSID", v, 5), WLINK_BAD_ARGUMENT);
    EXPECT_EQ(wlink_command(l_, "AT+SSID", v, 15), WLINK_OK);
    EXPECT_STREQ(wlink_last_error(l_), "") << "cleared by the call that succeeded";
    EXPECT_EQ(wlink_get(l_, WLINK_DHCP, v, sizeof v), WLINK_BAD_ARGUMENT);
    EXPECT_STREQ(wlink_last_error(l_), "dhcp cannot be read");
    EXPECT_EQ(wlink_set_timeout(l_, 0), WLINK_BAD_ARGUMENT);
    EXPECT_EQ(wlink_set_timeout(l_, -1), WLINK_BAD_ARGUMENT);
    wlink_upgrade_options o;
    wlink_upgrade_options_init(&o);
    o.timeout_ms = 0;
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_BAD_ARGUMENT);
    // Opens that fail say why, with the system's error.
    wlink_link *s = nullptr;
    EXPECT_EQ(wlink_open_serial(path("/dev/none").c_str(), &s), WLINK_OPEN_FAILED);
    EXPECT_EQ(wlink_last_os_error(nullptr), ENOENT);
    EXPECT_NE(std::string(wlink_last_error(nullptr)).find(path("/dev/none")), std::string::npos);
    EXPECT_EQ(wlink_open_serial("/dev/null", &s), WLINK_OPEN_FAILED);
    EXPECT_NE(std::string(wlink_last_error(nullptr)).find("not a serial port"), std::string::npos);
    EXPECT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_PORT_BUSY);
    EXPECT_NE(std::string(wlink_last_error(nullptr)).find("held by pid " + std::to_string(::getpid())),
              std::string::npos)
        << wlink_last_error(nullptr);
    EXPECT_EQ(s, nullptr);
}

TEST_F(Lib, OnePollLoopDrivesBothLinks) {
    serial_.close();
    wlink_link *s = nullptr;
    ASSERT_EQ(wlink_open_serial(path("/sim/tty").c_str(), &s), WLINK_OK);
    struct Job {
        wlink_link *l;
        const char *cmd;
        const char *want;
        wlink_status st = WLINK_PENDING;
        char reply[256] = "";
    } jobs[] = {{s, "AT+SSID", "+OK=QEL_NVR_AP"}, {l_, "AT+KEY", "+OK=12345678"}};
    for (Job &j : jobs) ASSERT_EQ(wlink_command_start(j.l, j.cmd), WLINK_PENDING);
    EXPECT_EQ(wlink_command_start(s, "AT+"), WLINK_BAD_ARGUMENT) << "one command at a time per link";
    for (int rounds = 0; (jobs[0].st == WLINK_PENDING || jobs[1].st == WLINK_PENDING) && rounds < 1000; ++rounds) {
        pollfd p[2];
        int timeout = -1;
        for (int i = 0; i < 2; ++i) {
            p[i] = {jobs[i].st == WLINK_PENDING ? wlink_fd(jobs[i].l) : -1, wlink_poll_events(jobs[i].l), 0};
            const int t = wlink_poll_timeout(jobs[i].l);
            if (t >= 0 && (timeout < 0 || t < timeout)) timeout = t;
        }
        ASSERT_GE(::poll(p, 2, timeout), 0);
        for (int i = 0; i < 2; ++i)
            if (jobs[i].st == WLINK_PENDING)
                jobs[i].st = wlink_command_process(jobs[i].l, p[i].revents, jobs[i].reply, sizeof jobs[i].reply);
    }
    for (const Job &j : jobs) {
        EXPECT_EQ(j.st, WLINK_OK) << j.cmd;
        EXPECT_STREQ(j.reply, j.want) << j.cmd;
    }
    wlink_close(s);
}

// ---- upgrades that can be stopped, and packages that do not fit

wlink_link *g_signalled = nullptr;

TEST_F(Lib, UpgradesStopWithinASecondAndSayWhatFlashHolds) {
    const wlink::ByteVec big =
        wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(600000, 1)), wlink::ByteVec(9000, 2), 5, 1);
    const std::string erased = read_file(path("/dev/mtd5"));
    // From the progress callback, before the package is whole: flash untouched.
    std::atomic<bool> writing{false};
    wlink_upgrade_options o;
    wlink_upgrade_options_init(&o);
    o.host = "127.0.0.1";
    o.port = upgrade_port_;
    o.ctx = &writing;
    o.progress = [](void *, size_t sent, size_t total) { return sent < total ? 1 : 0; };
    EXPECT_EQ(wlink_upgrade(l_, big.data(), big.size(), &o), WLINK_CANCELLED) << wlink_last_error(l_);
    EXPECT_EQ(wlink_upgrade_may_be_writing(l_), 0);
    EXPECT_NE(std::string(wlink_last_error(l_)).find("flash is untouched"), std::string::npos) << wlink_last_error(l_);
    EXPECT_TRUE(wait_until([&] { return log().find("AT+UPGRADE") != std::string::npos; }, 2000));
    EXPECT_EQ(udp("AT+VER"), "+OK=V0.0");
    EXPECT_EQ(read_file(path("/dev/mtd5")), erased);
    // From another thread and from a signal handler while the module writes: said to be writing.
    o.progress = nullptr;
    o.heartbeat = [](void *ctx, int, int) { return static_cast<std::atomic<bool> *>(ctx)->store(true), 0; };
    std::ofstream(path("/sim/flash-delay-ms")) << "100000";
    const pthread_t self = ::pthread_self();
    g_signalled = l_;
    signal(SIGUSR1, [](int) { wlink_cancel(g_signalled); });
    for (unsigned minor : {2, 3}) {
        const bool by_signal = minor == 3;
        const wlink::ByteVec pkg =
            wlink::build_package(wlink::wrap_image({}, wlink::ByteVec(600000, 1)), wlink::ByteVec(9000, 2), 5, minor);
        writing = false;
        std::thread canceller([&] {
            EXPECT_TRUE(wait_until([&] { return writing.load(); }, 10000));
            by_signal ? (void)::pthread_kill(self, SIGUSR1) : wlink_cancel(l_);
        });
        EXPECT_EQ(wlink_upgrade(l_, pkg.data(), pkg.size(), &o), WLINK_UPG_CANCELLED_WRITING) << wlink_last_error(l_);
        canceller.join();
        EXPECT_EQ(wlink_upgrade_may_be_writing(l_), 1);
        EXPECT_NE(std::string(wlink_last_error(l_)).find("may still be writing flash"), std::string::npos);
        EXPECT_TRUE(wait_until([&] { return udp("AT+VER") == "+OK=V5." + std::to_string(minor); }, 20000))
            << "the module finished";
    }
    signal(SIGUSR1, SIG_DFL);
}

TEST_F(Lib, APackageTooLargeForItsPartitionIsNeverSent) {
    ASSERT_EQ(::truncate(path("/dev/mtd6").c_str(), 800), 0);  // the application part is 900 bytes
    wlink_upgrade_options o;
    wlink_upgrade_options_init(&o);
    o.host = "127.0.0.1";
    o.port = upgrade_port_;
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_UPG_TOO_LARGE);
    EXPECT_STREQ(wlink_last_error(l_),
                 "the application part is 900 bytes and the module's /dev/mtd6 holds 800: nothing "
                 "sent (force skips this check)");
    uint64_t image = 0, app = 0;
    EXPECT_EQ(wlink_flash_info(l_, &image, &app), WLINK_OK);
    EXPECT_EQ(image, 6u << 20);
    EXPECT_EQ(app, 800u);
    EXPECT_EQ(log().find("AT+UPGRADE"), std::string::npos) << "nothing reached the upgrade command";
    o.force = 1;  // the module's own check refuses it in turn
    EXPECT_EQ(wlink_upgrade(l_, kPkg.data(), kPkg.size(), &o), WLINK_UPG_REFUSED) << wlink_last_error(l_);
    EXPECT_NE(errlog().find("package refused: 900 bytes for /dev/mtd6, which holds 800"), std::string::npos);
}

// ---- authenticated UDP

TEST_F(Lib, UnderAKeyPlainCapturedOrForgedDatagramsCountForNothing) {
    uint8_t key[WLINK_KEY_SIZE];
    char ukey[80], v[256];
    ASSERT_EQ(wlink_key_generate(key), WLINK_OK);
    ASSERT_EQ(wlink_key_command(key, ukey, sizeof ukey), WLINK_OK);
    ASSERT_EQ(serial(ukey), "+OK");
    wlink_set_retries(l_, 0);
    wlink_set_timeout(l_, 300);
    EXPECT_EQ(wlink_command(l_, "AT+SSID", v, sizeof v), WLINK_NO_REPLY) << "a plain datagram is dropped";
    std::vector<Bytes> sent;
    wlink_set_trace(
        l_,
        [](void *ctx, wlink_trace_kind kind, int out, const uint8_t *b, size_t n) {
            if (kind == WLINK_TRACE_DATAGRAM && out) static_cast<std::vector<Bytes> *>(ctx)->emplace_back(b, b + n);
        },
        &sent);
    ASSERT_EQ(wlink_set_udp_key(l_, key), WLINK_OK);
    for (const char *cmd : {"AT+SSID=First", "AT+SSID=Second"})
        EXPECT_EQ(wlink_command(l_, cmd, v, sizeof v), WLINK_OK) << cmd;
    EXPECT_EQ(wlink_command(l_, "AT+UKEY=OFF", v, sizeof v), WLINK_ERR_REPLY) << "the key is the serial line's alone";
    // "AT+SSID=First" again as captured, and with a byte of its code changed: never run, never answered.
    Wire wire = Wire::udp(udp_port_);
    Bytes forged = sent.at(0);
    forged.back() ^= 0x01;
    for (const Bytes &d : {sent.at(0), forged}) {
        wire.send(hex(d));
        EXPECT_EQ(wire.recv(64, 300), "");
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // past the log's one line a (module) second
    }
    EXPECT_TRUE(log_has("dropped: counter not above the last one taken"));
    EXPECT_TRUE(log_has("dropped: wrong message code"));
    // A program that starts again with the same key goes on: its counter follows the clock.
    wlink_link *again = nullptr;
    ASSERT_EQ(wlink_open_udp("127.0.0.1", udp_port_, &again), WLINK_OK);
    wlink_set_udp_key(again, key);
    EXPECT_EQ(wlink_command(again, "AT+SSID", v, sizeof v), WLINK_OK) << wlink_last_error(again);
    EXPECT_STREQ(v, "+OK=Second");
    wlink_close(again);
    // A reply that is not the module's is no reply: a plain one, and one with a wrong code.
    uint16_t port = 0;
    UniqueFd stand_in = loopback_socket(SOCK_DGRAM, &port);
    std::thread answer([&] {
        uint8_t in[512];
        sockaddr_in from{};
        socklen_t len = sizeof from;
        if (::recvfrom(stand_in.get(), in, sizeof in, 0, reinterpret_cast<sockaddr *>(&from), &len) < 30) return;
        Bytes wrong = {0x66, 0x77, 0x78, 0x7A, 0, 0, 0, 0, 0, 0, 0, 9, in[12], 3, '+', 'O', 'K'};
        wrong.resize(wrong.size() + 16);
        const Bytes plain = unhex("66 77 78 79 73 65 71 00 2C 03 2B 4F 4B C5");
        for (const Bytes *r : {static_cast<const Bytes *>(&wrong), &plain})
            ::sendto(stand_in.get(), r->data(), r->size(), 0, reinterpret_cast<sockaddr *>(&from), len);
    });
    wlink_link *fake = nullptr;
    ASSERT_EQ(wlink_open_udp("127.0.0.1", port, &fake), WLINK_OK);
    wlink_set_udp_key(fake, key);
    wlink_set_retries(fake, 0);
    wlink_set_timeout(fake, 300);
    EXPECT_EQ(wlink_command(fake, "AT+", v, sizeof v), WLINK_NO_REPLY);
    answer.join();
    wlink_close(fake);
    ASSERT_EQ(serial("AT+UKEY=OFF"), "+OK");
    wlink_set_udp_key(l_, nullptr);
    EXPECT_EQ(wlink_command(l_, "AT+SSID", v, sizeof v), WLINK_OK) << "plain again";
}

}  // namespace
}  // namespace e2e
