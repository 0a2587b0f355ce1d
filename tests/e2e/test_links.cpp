// The two command links, byte for byte: serial frames and UDP datagrams.
#include <fstream>
#include <thread>

#include "sim_module.h"

namespace e2e {
namespace {

// "AT+" as one serial frame, and the module's "+OK" frame.
const char kHeartbeatFrame[] = "03 03 00 41 54 2B 00 00 00 00 00 00 00 00 00 C6";
const char kOkFrame[] = "03 03 00 2B 4F 4B 00 00 00 00 00 00 00 00 00 CB";
// "AT+" with sequence byte 7 as a datagram, and the module's "+OK" reply.
const char kHeartbeatDgram[] = "55 44 33 22 73 65 71 07 2C 03 41 54 2B C0";
const char kOkDgram[] = "66 77 78 79 73 65 71 07 2C 03 2B 4F 4B C5";

std::string repeat(const std::string &hex_bytes, int n) {
    std::string out;
    for (int i = 0; i < n; ++i) out += hex_bytes + " ";
    return out;
}

// The frames of a command, as hex.
std::vector<std::string> frames(const std::string &cmd) {
    std::vector<std::string> out;
    for (const wlink::Frame &f : wlink::encode_frames(cmd)) out.push_back(hex(Bytes(f.begin(), f.end())));
    return out;
}

class Links : public SimModule {};

TEST_F(Links, FramesInPiecesAndBackToBackAreAllAnswered) {
    Wire line = Wire::serial(path("/sim/tty"));
    const Bytes hb = unhex(kHeartbeatFrame);
    for (int run = 0; run < 3; ++run) {  // byte by byte at the line's pace
        for (uint8_t b : hb) {
            line.send(hex(Bytes{b}));
            std::this_thread::sleep_for(std::chrono::microseconds(90));
        }
        EXPECT_EQ(line.recv(16, 2000), kOkFrame) << "run " << run;
    }
    line.send(hex(Bytes(hb.begin(), hb.begin() + 8)));  // 8 + 8, 3 ms apart
    std::this_thread::sleep_for(std::chrono::milliseconds(3));
    line.send(hex(Bytes(hb.begin() + 8, hb.end())));
    EXPECT_EQ(line.recv(16, 2000), kOkFrame);
    // stray bytes and a frame with a wrong checksum, then five at once
    line.send("41 03 03 03 00 41 54 2B 00 00 00 00 00 00 00 00 00 C7 " + repeat(kHeartbeatFrame, 5));
    EXPECT_EQ(line.recv(80, 3000), repeat(kOkFrame, 5).substr(0, 5 * 48 - 1));
    const std::vector<std::string> ssid = frames("AT+SSID=ABCDEFGHIJ");  // two frames, no pause
    line.send(ssid[0] + " " + ssid[1] + " " + frames("AT+SSID")[0]);
    EXPECT_EQ(line.recv(16, 2000), kOkFrame);
    const std::vector<std::string> reply = frames("+OK=ABCDEFGHIJ");
    EXPECT_EQ(line.recv(32, 2000), reply[0] + " " + reply[1]);
}

TEST_F(Links, LineRateJunkIsDrainedAndTheNextCommandAnswered) {
    Wire line = Wire::serial(path("/sim/tty"));
    const std::string junk = repeat("5A A5 13 37 00 FF", 10);  // 60 bytes, about 5 ms of line time
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1000);
    while (std::chrono::steady_clock::now() < end) {
        line.send(junk);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    line.send(kHeartbeatFrame);
    EXPECT_EQ(line.recv(16, 1500), kOkFrame) << "the junk was not drained in time";
}

TEST_F(Links, APartialCommandIsNeverRun) {
    const std::string before = profile();
    Wire line = Wire::serial(path("/sim/tty"));
    const std::vector<std::string> key = frames("AT+KEY=correct-horse-battery"), other = frames("AT+SSID=abcdefghijkl");
    line.send(key[0] + " " + key[2]);  // the middle frame lost
    EXPECT_EQ(line.recv(1, 800), "");
    line.send(key[0] + " " + other[1]);  // the start of one, the end of another
    EXPECT_EQ(line.recv(1, 800), "");
    EXPECT_EQ(profile(), before);
    EXPECT_TRUE(log_has("========uart partial message dropped"));
    line.send(kHeartbeatFrame);
    EXPECT_EQ(line.recv(16, 2000), kOkFrame);
}

TEST_F(Links, ThirtyCharacterReplyComesInThreeFrames) {
    ASSERT_EQ(serial("AT+SSID=ABCDEFGHIJKLMNOPQRSTUVWXYZ"), "+OK");
    Wire line = Wire::serial(path("/sim/tty"));
    line.send("07 07 00 41 54 2B 53 53 49 44 00 00 00 00 00 01");  // "AT+SSID"
    EXPECT_EQ(line.recv(48, 3000),
              "1E 0C 00 2B 4F 4B 3D 41 42 43 44 45 46 47 48 50 1E 0C 0C 49 4A 4B 4C 4D 4E 4F 50 51 52 53 54 E4 "
              "1E 06 18 55 56 57 58 59 5A 00 00 00 00 00 00 49");
    EXPECT_EQ(line.recv(1, 200), "");
}

TEST_F(Links, UdpRefusedUntilPeerIsSetThenAnsweredOnAnyPort) {
    Wire a = Wire::udp(udp_port_), b = Wire::udp(udp_port_);
    a.send(kHeartbeatDgram);
    EXPECT_TRUE(log_has("===ip check fail,src ip:============="));
    EXPECT_EQ(a.recv(1, 500), "");

    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    a.send(kHeartbeatDgram);
    EXPECT_EQ(a.recv(1, 2000), kOkDgram);
    b.send(kHeartbeatDgram);
    EXPECT_EQ(b.recv(1, 2000), kOkDgram);
    EXPECT_EQ(a.recv(1, 100), "") << "the reply goes to its sender only";
}

TEST_F(Links, BadDatagramsAreDroppedAndTheLinkGoesOn) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    EXPECT_EQ(serial("AT+UIP=garbage"), "+ERR");  // the peer stays
    Wire s = Wire::udp(udp_port_);
    s.send("55 44 33 22 73 65 71 01 2C 03 41 54 2B C1");        // checksum
    s.send("56 44 33 22 73 65 71 02 2C 03 41 54 2B C0");        // magic
    s.send("55 44 33 22 73 65 71 03 2C C8 41 54 2B C0");        // length 200
    s.send("55 44 33 22");                                      // the magic alone
    s.send("55 44 33 22 73 65 71 04 2C 03 41 54 2B");           // no checksum
    s.send("55 44 33 22 73 65 71 05 2C 03 41 54 2B C0 99 99");  // bytes past it are not looked at
    EXPECT_EQ(s.recv(1, 2000), "66 77 78 79 73 65 71 05 2C 03 2B 4F 4B C5");
    EXPECT_EQ(s.recv(1, 300), "");
    EXPECT_TRUE(log_has("check_sum err"));
}

TEST_F(Links, UnknownCommandsAnswerErrOnBothLinks) {
    EXPECT_EQ(serial("AT+NOPE"), "+ERR");
    EXPECT_TRUE(log_has("======unsupport cmd:AT+NOPE========================="));
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    EXPECT_EQ(udp("AT+NOPE"), "+ERR");
    EXPECT_EQ(udp("AT+VLAN"), "+OK=waiting");
}

// While one link runs a slow command (a survey's 2 s wait, a slow flash write), the
// other link's heartbeat and the driver's requests are answered at once.
TEST_F(Links, TheOtherLinkIsAnsweredDuringSlowCommands) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    const std::string dir = root_ + "/../", ctl = std::string(WLINKCTL_PATH) + " ";
    std::ofstream(path("/sim/flash-delay-ms")) << 1500;
    std::ofstream(dir + "part") << std::string(100, 'p');
    const std::string upgrade = ctl + "pack --image " + dir + "part --app " + dir + "part --version 1.2 -o " + dir +
                                "pkg && " + ctl + "upgrade --udp 127.0.0.1:" + std::to_string(udp_port_) + " --port " +
                                std::to_string(upgrade_port_) + " " + dir + "pkg";
    const std::pair<std::function<void()>, std::string> slow[] = {
        // {the slow command, its log line as it starts}
        {[&] { EXPECT_EQ(serial("AT+SENSITIVITY="), "+OK=0"); }, "wifi_msg_proc_scan_rsp pCmdStr[AT+SENSITIVITY=]"},
        {[&] { EXPECT_EQ(std::system(upgrade.c_str()), 0); }, "============mtd write"}};
    for (const auto &[run, sign] : slow) {
        std::thread t(run);
        EXPECT_TRUE(wait_until([&] { return log().find(sign) != std::string::npos; }, 5000)) << sign;
        for (const std::string cmd : {"AT+", "AT+CNUM"}) {
            const auto t0 = std::chrono::steady_clock::now();
            EXPECT_EQ(udp(cmd), cmd == "AT+" ? "+OK" : "+OK=0");
            EXPECT_LT((std::chrono::steady_clock::now() - t0) / std::chrono::milliseconds(1), 500)
                << cmd << " in " << sign;
        }
        t.join();
    }
}

TEST_F(Links, BothLinksAtOnceKeepTheProfileWhole) {
    ASSERT_EQ(serial("AT+UIP=127.0.0.1"), "+OK");
    const std::string before = profile();
    std::thread over_udp([&] {
        for (int i = 0; i < 8; ++i) EXPECT_EQ(udp("AT+KEY=udp" + std::to_string(i)), "+OK");
    });
    for (int i = 0; i < 8; ++i) EXPECT_EQ(serial("AT+SSID=serial" + std::to_string(i)), "+OK");
    over_udp.join();
    EXPECT_EQ(profile(), replace_line(replace_line(before, "SSID1=", "SSID1=serial7"), "WPAPSK1=", "WPAPSK1=udp7"));
}

}  // namespace
}  // namespace e2e
