// Upgrade: the package checks, the split and flash staging, the version record.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "unit_helpers.h"
#include "wifi_fw_header.h"
#include "wifi_up_proc.h"
#include "wifi_up_server.h"
#include "wlink_package.h"

namespace {

using wlink::ByteVec;

ByteVec bytes(size_t n, uint8_t seed) {
    ByteVec b(n);
    for (size_t i = 0; i < n; i++) b[i] = (uint8_t)(seed + i * 7 + (i >> 8));
    return b;
}

ByteVec package(size_t image = 1000, size_t app = 3000, uint8_t arch = wlink::kArchMips) {
    wlink::ImageHeader h;
    h.arch = arch;
    return wlink::build_package(wlink::wrap_image(h, bytes(image, 1)), bytes(app, 2), 1, 2);
}

// The package as the connection would deliver it.
const ByteVec *g_src;
int mem_reader(int, uint8_t *buf, int count) {
    static size_t pos;
    if (buf == nullptr) return (int)(pos = 0);
    int n = (int)std::min<size_t>((size_t)count, g_src->size() - pos);
    memcpy(buf, g_src->data() + pos, (size_t)n);
    pos += (size_t)n;
    return n;
}

// A module root with its partitions (mtd5 and mtd6 of 2 MiB) on which the flash
// lines are carried out.
struct Upgrade {
    SeededRoot root;
    std::map<std::string, std::string> staged;  // shell line -> the file it was given
    std::string mtd2 = std::string(0xFE00, 'k') + std::string(0x200, '\xFF');

    Upgrade() {
        root->flash = true;
        root->write_file("/dev/mtd2", mtd2);
        root->write_file("/dev/mtd5", std::string(2 << 20, '\xFF'));
        root->write_file("/dev/mtd6", std::string(2 << 20, '\xFF'));
        root->write_file("/tmp/.keep", "");
        root->write_file("/config/.keep", "");
        root->on_shell = [this](const std::string &line) {
            staged[line] = root->read_file(line.find("mtd2_buf") != std::string::npos ? "/tmp/mtd2_buf" : "/tmp/mtd_buf");
        };
    }
    // Runs the processing; what the module sent on the connection goes to *sent.
    int run(const ByteVec &pkg, std::string *sent) {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv), 0);
        g_src = &pkg;
        mem_reader(0, nullptr, 0);
        sysUpgParam p = {3, sv[0], (int32_t)pkg.size()};
        int ret = sys_upg_net(&p, mem_reader);
        close(sv[0]);
        char buf[4096];
        for (ssize_t n; (n = read(sv[1], buf, sizeof(buf))) > 0;) sent->append(buf, (size_t)n);
        close(sv[1]);
        return ret;
    }
};

}  // namespace

TEST(UpgradeChecks, PackagesTheModuleRefuses) {
    const struct { const char *what; size_t at; int delta; size_t cut; uint8_t arch; int ret; } cases[] = {
        {"good", 0, 0, 0, 5, 0},          {"83 bytes", 0, 0, 4001, 5, -1},
        {"image past the end", 32, 1, 0, 5, -1}, {"no application part", 0, 0, 3000, 5, -1},
        {"image magic", 20, 1, 0, 5, -1}, {"header CRC", 24, 1, 0, 5, -1},
        {"data CRC", 200, 1, 0, 5, -1},   {"architecture ARM", 0, 0, 0, 2, -1},
    };
    Upgrade up;
    up.root->write_file("/dev/mtd5", std::string(1000 + 64, '\xFF'));
    up.root->write_file("/dev/mtd6", std::string(3000, '\xFF'));
    for (const auto &c : cases) {
        ByteVec pkg = package(1000, 3000, c.arch);
        pkg[c.at] = (uint8_t)(pkg[c.at] + c.delta);
        pkg.resize(pkg.size() - c.cut);
        uint32_t image = 0, app = 0;
        EXPECT_EQ(sys_upg_check_package(pkg.data(), (uint32_t)pkg.size(), &image, &app), c.ret) << c.what;
        EXPECT_EQ(wlink::package_accepted(pkg), c.ret == 0) << c.what;
        if (c.ret == 0) {
            EXPECT_EQ(image * 10 + app, 1000u * 10 + 3000u);
        }
    }
    // each part must fit its partition, and the record must be one the module stores
    ByteVec bad_record = package();
    bad_record[1] ^= 1;
    for (const ByteVec &pkg : {package(1001, 3000), package(1000, 3001), bad_record}) {
        uint32_t image = 0, app = 0;
        EXPECT_EQ(sys_upg_check_package(pkg.data(), (uint32_t)pkg.size(), &image, &app), -1);
    }
}

TEST(UpgradeProc, SplitsStagesInPiecesAndStoresTheRecord) {
    Upgrade up;
    const ByteVec pkg = package(524288 * 2 - 64, 1);
    testing::internal::CaptureStdout();
    std::string sent;
    ASSERT_EQ(up.run(pkg, &sent), 0);
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(up.root->shell_lines, (Lines{"flashcp /tmp/mtd_buf  /dev/mtd5", "flashcp /tmp/mtd_buf  /dev/mtd6",
                                          "mtd_debug erase /dev/mtd2 0 0x10000", "cat /tmp/mtd2_buf > /dev/mtdblock2"}));
    const std::string s(pkg.begin(), pkg.end());
    EXPECT_EQ(up.staged["flashcp /tmp/mtd_buf  /dev/mtd5"], s.substr(20, 524288 * 2));
    EXPECT_EQ(up.staged["flashcp /tmp/mtd_buf  /dev/mtd6"], s.substr(20 + 524288 * 2));
    EXPECT_EQ(up.staged["cat /tmp/mtd2_buf > /dev/mtdblock2"], up.mtd2.substr(0, 0xFE00) + s.substr(0, 20));
    // two full pieces and no empty third; a part of one byte is one piece
    for (const char *piece : {"iLeftLen[1048576]", "iLeftLen[524288]", "iLeftLen[1]"})
        EXPECT_NE(out.find(piece), std::string::npos) << piece;
    EXPECT_EQ(out.find("iLeftLen[0]"), std::string::npos);
    EXPECT_EQ(sent.substr(0, 8), std::string("\0\0\0\4\0\0\0\12", 8)) << "a heartbeat, and nothing after the stop";
    EXPECT_EQ(sent.size() % 8, 0u);
    EXPECT_FALSE(up.root->exists("/tmp/mtd_buf") || up.root->exists("/tmp/mtd2_buf"));
    EXPECT_EQ(up.root->read_file("/dev/mtd2").substr(0, 0xFE14), up.mtd2.substr(0, 0xFE00) + s.substr(0, 20));
    EXPECT_FALSE(up.root->exists(WIFI_FIRMWARE_BLOCK_COPY)) << "the copy goes once the block reads back";
}

// (A refused package touches nothing: the end-to-end refusals.) A failed flash tool:
// no record, and the mark stays, for AT+UPGSTATE now and after a restart.
TEST(UpgradeProc, AFailedFlashWriteStoresNoRecordAndLeavesTheMark) {
    Upgrade up;
    up.root->shell_status = 256;
    std::string sent;
    EXPECT_EQ(up.run(package(), &sent), -1);
    EXPECT_EQ(up.root->shell_lines, Lines{"flashcp /tmp/mtd_buf  /dev/mtd5"});
    EXPECT_EQ(up.root->read_file(WIFI_UPGRADE_MARK) + dispatch("AT+UPGSTATE").text, "V1.2\n+OK=interrupted");
}

TEST(UpgradeVer, VersionRecord) {
    const struct { std::string rec; const char *reply; } cases[] = {
        {std::string(20, '\xFF'), "+OK=V0.0"},       {std::string("\x4C\x51\xFF\x00", 4) + std::string(16, 0), "+OK=V255.0"},
        {std::string("\x4C\x52\x01\x02", 4) + std::string(16, 0), "+OK=V0.0"}, {"", "+ERR"},
    };
    for (const auto &c : cases) {
        SeededRoot root;
        if (!c.rec.empty()) root->write_file("/dev/mtd2", std::string(0xFE00, 'k') + c.rec + std::string(492, '\xFF'));
        EXPECT_EQ(dispatch("AT+VER").text, c.reply);
    }
    SeededRoot root;
    root->write_file("/dev/mtd2", std::string(0xFE00, 'k') + "\x4C\x51\x0C\x22" + std::string(16, 0));
    char reply[6];
    EXPECT_EQ(wifi_msg_proc_distribute("AT+VER", reply, sizeof(reply)), 0);
    EXPECT_STREQ(reply, "+OK=V");
    struVersionHead wrong = {{0x4C, 0x52}};
    EXPECT_EQ(wifi_set_firmware_header_info(&wrong), -1);
    EXPECT_TRUE(root->shell_lines.empty());
}

// The block is kept on /config from before the erase until it reads back: a write
// that did not end is finished from it (at start, or before the next record), and a
// write-back that does not read back fails the upgrade and keeps the copy.
TEST(UpgradeVer, UnfinishedRecordWriteIsFinished) {
    const std::string whole = std::string(0xFE00, 'k') + "\x4C\x51\x01\x02" + std::string(16, 0);
    for (const std::string &copy : {whole, whole.substr(0, 4096), std::string(0xFE00, 'k') + std::string(20, 0)}) {
        Upgrade up;
        up.root->write_file("/dev/mtd2", std::string(0x10000, '\xFF'));  // erased when the power went
        up.root->write_file(WIFI_FIRMWARE_BLOCK_COPY, copy);
        EXPECT_EQ(wifi_firmware_header_recover(), 0);
        const Lines redo = {"mtd_debug erase /dev/mtd2 0 0x10000", "cat /tmp/mtd2_buf > /dev/mtdblock2"};
        EXPECT_EQ(up.root->shell_lines, copy == whole ? redo : Lines{});
        EXPECT_EQ(up.root->read_file("/dev/mtd2").substr(0, 0xFE14) == whole, copy == whole);
        EXPECT_FALSE(up.root->exists(WIFI_FIRMWARE_BLOCK_COPY));
    }
    Upgrade up;
    up.root->on_shell = [&](const std::string &line) { up.root->flash = line.rfind("cat ", 0) != 0; };
    std::string sent;
    EXPECT_EQ(up.run(package(), &sent), -1);
    EXPECT_EQ(up.root->read_file(WIFI_FIRMWARE_BLOCK_COPY), up.mtd2.substr(0, 0xFE00) + std::string(reinterpret_cast<const char *>(package().data()), 20));
    up.root->on_shell = nullptr;  // the next record write finishes it first
    up.root->flash = true;
    EXPECT_EQ(wifi_firmware_header_recover(), 0);
    EXPECT_FALSE(up.root->exists(WIFI_FIRMWARE_BLOCK_COPY));
}
