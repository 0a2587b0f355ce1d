// Upgrade: the package checks, the split and flash staging, the version record.
#include <gtest/gtest.h>
#include <sys/socket.h>

#include "unit_helpers.h"
#include "wifi_fw_header.h"
#include "wifi_up_proc.h"
#include "wifi_up_server.h"
#include "wifi_up_sign.h"
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
    Lines staged;  // the files the flash copies and the record write were given, in order
    std::string mtd2 = std::string(0xFE00, 'k') + std::string(0x200, '\xFF');

    Upgrade() {
        root->flash = true;
        root->write_file("/dev/mtd2", mtd2);
        root->write_file("/dev/mtd5", std::string(2 << 20, '\xFF'));
        root->write_file("/dev/mtd6", std::string(2 << 20, '\xFF'));
        root->write_file("/tmp/.keep", "");
        root->write_file("/config/.keep", "");
        root->on_op = [this](const FakeOp &o) {
            if (o.op != WIFI_OP_RECORD_ERASE)
                staged.push_back(root->read_file(o.text.empty() ? "/tmp/mtd2_buf" : o.text));
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
    const struct {
        const char *what;
        size_t at;
        int delta;
        size_t cut;
        uint8_t arch;
        int ret;
    } cases[] = {
        {"good", 0, 0, 0, 5, 0},
        {"83 bytes", 0, 0, 4001, 5, -1},
        {"image past the end", 32, 1, 0, 5, -1},
        {"no application part", 0, 0, 3000, 5, -1},
        {"image magic", 20, 1, 0, 5, -1},
        {"header CRC", 24, 1, 0, 5, -1},
        {"data CRC", 200, 1, 0, 5, -1},
        {"architecture ARM", 0, 0, 0, 2, -1},
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
    EXPECT_EQ(up.root->ops, (FakeOps{{WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", 5},
                                     {WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", 6},
                                     {WIFI_OP_RECORD_ERASE},
                                     {WIFI_OP_RECORD_WRITE}}));
    const std::string s(pkg.begin(), pkg.end());
    EXPECT_EQ(up.staged, (Lines{s.substr(20, 524288 * 2), s.substr(20 + 524288 * 2),
                                up.mtd2.substr(0, 0xFE00) + s.substr(0, 20)}));
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
    up.root->op_status = 256;
    std::string sent;
    EXPECT_EQ(up.run(package(), &sent), -1);
    EXPECT_EQ(up.root->ops, (FakeOps{{WIFI_OP_FLASH_COPY, "/tmp/mtd_buf", 5}}));
    EXPECT_EQ(up.root->read_file(WIFI_UPGRADE_MARK) + dispatch("AT+UPGSTATE").text, "V1.2\n+OK=interrupted");
}

TEST(UpgradeVer, VersionRecord) {
    const struct {
        std::string rec;
        const char *reply;
    } cases[] = {
        {std::string(20, '\xFF'), "+OK=V0.0"},
        {std::string("\x4C\x51\xFF\x00", 4) + std::string(16, 0), "+OK=V255.0"},
        {std::string("\x4C\x52\x01\x02", 4) + std::string(16, 0), "+OK=V0.0"},
        {"", "+ERR"},
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
    EXPECT_TRUE(root->ops.empty());
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
        const FakeOps redo = {{WIFI_OP_RECORD_ERASE}, {WIFI_OP_RECORD_WRITE}};
        EXPECT_EQ(up.root->ops, copy == whole ? redo : FakeOps{});
        EXPECT_EQ(up.root->read_file("/dev/mtd2").substr(0, 0xFE14) == whole, copy == whole);
        EXPECT_FALSE(up.root->exists(WIFI_FIRMWARE_BLOCK_COPY));
    }
    Upgrade up;
    up.root->on_op = [&](const FakeOp &o) { up.root->flash = o.op != WIFI_OP_RECORD_WRITE; };
    std::string sent;
    EXPECT_EQ(up.run(package(), &sent), -1);
    EXPECT_EQ(up.root->read_file(WIFI_FIRMWARE_BLOCK_COPY),
              up.mtd2.substr(0, 0xFE00) + std::string(reinterpret_cast<const char *>(package().data()), 20));
    up.root->on_op = nullptr;  // the next record write finishes it first
    up.root->flash = true;
    EXPECT_EQ(wifi_firmware_header_recover(), 0);
    EXPECT_FALSE(up.root->exists(WIFI_FIRMWARE_BLOCK_COPY));
}

// Signed packages: with keys on the module each byte is covered, the trailer is left out
// of what the partitions get, and the board and downgrade rules hold.
TEST(UpgradeSignature, EveryRegionIsCoveredAndTheTrailerIsLeftOut) {
    uint8_t pub[32], secret[64], other_pub[32], other_secret[64];
    ASSERT_EQ(wlink_sign_keygen(pub, secret), WLINK_OK);
    ASSERT_EQ(wlink_sign_keygen(other_pub, other_secret), WLINK_OK);
    const auto sign = [](const ByteVec &pkg, const uint8_t *key, const char *board, unsigned flags) {
        ByteVec out(pkg.size() + 140);
        EXPECT_EQ(wlink_package_sign(pkg.data(), pkg.size(), key, board, flags, out.data(), out.size()), WLINK_OK);
        return out;
    };
    const auto hex = [](const uint8_t *k) {
        std::string s;
        for (int i = 0; i < 32; i++) s += "0123456789abcdef"[k[i] >> 4], s += "0123456789abcdef"[k[i] & 15];
        return s;
    };
    const ByteVec plain = package(), good = sign(plain, secret, "rec-7628", 0);
    const size_t n = plain.size();
    const struct {
        const char *what;
        size_t at;
        const char *says;
    } flips[] = {
        {"", 0, nullptr},
        {"version", 3, "does not match"},
        {"image header", 20 + 40, "does not match"},
        {"image data", 200, "does not match"},
        {"application part", n - 1, "does not match"},
        {"board", n + 2, "does not match"},
        {"downgrade flag", n + 32, "does not match"},
        {"format", n + 33, "malformed"},
        {"zero bytes", n + 35, "malformed"},
        {"signer", n + 40, "not in"},
        {"signature", n + 100, "does not match"},
        {"magic", n + 139, "not signed"},
    };
    Upgrade up;
    up.root->write_file(WIFI_BOARD_FILE, "rec-7628\n");
    for (bool keys : {true, false}) {
        if (keys)
            up.root->write_file(WIFI_UPGRADE_KEYS_FILE,
                                "# rotated in 2026\n" + hex(other_pub) + "\n" + hex(pub) + "\n");
        else
            ::unlink(up.root->path(WIFI_UPGRADE_KEYS_FILE).c_str());
        for (const auto &f : flips) {
            ByteVec pkg = good;
            pkg[f.at] ^= f.says ? 1 : 0;
            uint32_t body = 0;
            testing::internal::CaptureStderr();
            const int r = wifi_up_sign_check(pkg.data(), (uint32_t)pkg.size(), &body);
            const std::string err = testing::internal::GetCapturedStderr();
            // without keys only the trailer's form is judged
            const bool refused = f.says != nullptr && (keys || strcmp(f.says, "malformed") == 0);
            EXPECT_EQ(r, refused ? -1 : 0) << f.what << (keys ? " with keys" : "");
            if (refused) {
                EXPECT_NE(err.find(f.says), std::string::npos) << f.what << ": " << err;
            } else {
                EXPECT_EQ(body, f.at == n + 139 ? n + 140 : n) << f.what;
            }
        }
    }
    up.root->write_file(WIFI_UPGRADE_KEYS_FILE, hex(pub) + "\n");
    // the partitions get the same bytes as from the unsigned package
    std::string sent;
    ASSERT_EQ(up.run(good, &sent), 0);
    EXPECT_EQ(up.root->read_file("/dev/mtd6").substr(0, 3001), std::string(plain.end() - 3000, plain.end()) + "\xFF");
    EXPECT_EQ(up.run(plain, &sent), -1) << "unsigned";
    EXPECT_EQ(up.run(sign(plain, other_secret, "rec-7628", 0), &sent), -1) << "another key";
    // board and version: installed V1.2 now; an older one needs the flag
    ByteVec older = package();
    older[3] = 1;  // V1.1
    const struct {
        ByteVec pkg;
        int ret;
        const char *what;
    } rules[] = {
        {sign(plain, secret, "rec-7620", 0), -1, "another board"},
        {sign(plain, secret, "", 0), -1, "no board, on a module that has one"},
        {sign(older, secret, "rec-7628", 0), -1, "a downgrade"},
        {sign(older, secret, "rec-7628", WLINK_SIGN_DOWNGRADE), 0, "a downgrade it allows"},
        {sign(plain, secret, "rec-7628", 0), 0, "the same version again"},
    };
    for (const auto &c : rules) {
        uint32_t body = 0;
        EXPECT_EQ(wifi_up_sign_check(c.pkg.data(), (uint32_t)c.pkg.size(), &body), c.ret) << c.what;
    }
    up.root->write_file(WIFI_UPGRADE_KEYS_FILE, hex(pub).substr(2) + "\n");
    uint32_t body = 0;
    EXPECT_EQ(wifi_up_sign_check(good.data(), (uint32_t)good.size(), &body), -1) << "a key file that is not whole";
}
