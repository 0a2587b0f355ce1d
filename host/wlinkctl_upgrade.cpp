// wlinkctl pack, inspect and upgrade.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>

#include "wlinkctl.h"

namespace ctl {
namespace {

using Bytes = std::vector<uint8_t>;
enum { kWrongToken = 3, kRefused = 4, kLost = 5, kTimeout = 6 };

int fail(const std::string &msg) {
    complain(msg);
    return kFail;
}

bool read_file(const std::string &path, Bytes *out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->assign(std::istreambuf_iterator<char>(in), {});
    return !in.bad();
}

bool parse_u32(const std::string &s, uint32_t *out) {
    char *end = nullptr;
    errno = 0;
    const unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (s.empty() || *end || errno || v > 0xFFFFFFFFull || s[0] == '-') return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool same_file(const std::string &a, const std::string &b) {
    struct stat x, y;
    if (::stat(a.c_str(), &x) != 0 || ::stat(b.c_str(), &y) != 0) return false;
    return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
}

// The key on the first line of a keygen file: 32 bytes (BASE.pub) or 64 (BASE.key).
bool read_key(const std::string &path, uint8_t *key, size_t size, std::string *why) {
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line)) return *why = "cannot read " + path, false;
    if (wlink_sign_key_parse(line.c_str(), key, size) != WLINK_OK)
        return *why = path + ": no " + (size == WLINK_SIGN_PUBLIC_SIZE ? "public key (64" : "secret key (128") +
                      " hex digits on the first line; wlinkctl keygen makes one)",
               false;
    return true;
}

std::string hex_of(const uint8_t *p, size_t n) {
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < n; ++i) out += digits[p[i] >> 4], out += digits[p[i] & 15];
    return out;
}

bool is_image(const Bytes &b) { return b.size() >= 4 && b[0] == 0x27 && b[1] == 0x05 && b[2] == 0x19 && b[3] == 0x56; }

}  // namespace

int run_pack(const Options &o) {
    if (o.words.size() != 1 || !o.has("--image") || !o.has("--app") || !o.has("--version") || !o.has("-o"))
        return fail("usage: wlinkctl pack --image FILE --app FILE --version MAJOR.MINOR -o PACKAGE (see pack --help)");
    if ((o.has("--board") || o.has("--allow-downgrade")) && !o.has("--sign"))
        return fail("--board and --allow-downgrade go into a signature: give --sign BASE.key too");
    uint8_t secret[WLINK_SIGN_SECRET_SIZE];
    std::string why;
    if (o.has("--sign") && !read_key(o.get("--sign"), secret, sizeof secret, &why)) return fail(why);
    const std::string board = o.get("--board");
    if (board.size() > 31 || std::any_of(board.begin(), board.end(), [](char c) { return c < 0x21 || c > 0x7E; }))
        return fail("bad --board '" + board + "' (at most 31 printable characters, no blanks)");
    const std::string out_path = o.get("-o");
    for (const char *in : {"--image", "--app"})
        if (o.get(in) == out_path || same_file(o.get(in), out_path))
            return fail("-o " + out_path + " is the " + std::string(in + 2) + " file: pack never writes over an input");
    unsigned major = 0, minor = 0;
    char dot = 0, extra = 0;
    if (std::sscanf(o.get("--version").c_str(), "%3u%c%3u%c", &major, &dot, &minor, &extra) != 3 || dot != '.' ||
        major > 255 || minor > 255)
        return fail("bad --version '" + o.get("--version") + "' (MAJOR.MINOR, each 0 to 255)");
    Bytes image, app;
    if (!read_file(o.get("--image"), &image)) return fail("cannot read " + o.get("--image"));
    if (!read_file(o.get("--app"), &app)) return fail("cannot read " + o.get("--app"));
    const std::string force = o.force ? "" : " (--force packs it anyway)";
    if (app.empty() && !o.force) return fail("the application part is empty: the module refuses that" + force);
    if (is_image(image)) {
        for (const char *opt : {"--name", "--load", "--entry", "--compression"})
            if (o.has(opt))
                return fail(o.get("--image") + " is a ready legacy image: " + opt + " cannot change it (drop " + opt +
                            ")");
        char why[160];
        if (wlink_image_check(image.data(), image.size(), why, sizeof why) != WLINK_OK && !o.force)
            return fail(o.get("--image") + " is a legacy image the module refuses: " + why + force);
    } else {
        if (image.empty() && !o.force) return fail("the image is empty: the module refuses that" + force);
        wlink_image_params p;
        WLINK_INIT(p);
        if ((o.has("--load") && !parse_u32(o.get("--load"), &p.load)) ||
            (o.has("--entry") && !parse_u32(o.get("--entry"), &p.entry)))
            return fail("bad --load or --entry address");
        const char *const comps[] = {"none", "gzip", "bzip2", "lzma", "lzo"};
        const std::string comp = o.get("--compression", "none");
        p.compression = 5;
        for (unsigned i = 0; i < 5; ++i)
            if (comp == comps[i]) p.compression = i;
        if (p.compression == 5) return fail("bad --compression '" + comp + "' (none gzip bzip2 lzma lzo)");
        const std::string name = o.get("--name", "wlink firmware");
        if (name.size() > 31) return fail("--name is longer than 31 characters");
        p.name = name.c_str();
        Bytes wrapped(64 + image.size());
        if (image.size() > 0xFFFFFFFFu ||
            wlink_image_wrap(&p, image.data(), image.size(), wrapped.data(), wrapped.size()) != WLINK_OK)
            return fail("cannot wrap " + o.get("--image"));
        image.swap(wrapped);
    }
    Bytes pkg(20 + image.size() + app.size());
    if (wlink_package_build(image.data(), image.size(), app.data(), app.size(), major, minor, pkg.data(), pkg.size()) !=
        WLINK_OK)
        return fail("cannot build the package");
    wlink_package_info info;
    WLINK_INIT(info);
    if (wlink_package_check(pkg.data(), pkg.size(), &info) != WLINK_OK && !o.force)
        return fail(std::string("the module would refuse this package: ") + info.reason + force);
    if (o.has("--sign")) {
        Bytes signed_pkg(pkg.size() + WLINK_SIGN_TRAILER_SIZE);
        const unsigned flags = o.has("--allow-downgrade") ? WLINK_SIGN_DOWNGRADE : 0;
        const wlink_status st = wlink_package_sign(pkg.data(), pkg.size(), secret, board.c_str(), flags,
                                                   signed_pkg.data(), signed_pkg.size());
        std::memset(secret, 0, sizeof secret);
        if (st != WLINK_OK)
            return fail(
                "cannot sign the package (with its trailer it would be more than 5242880 bytes, or it ends "
                "like a signed one)");
        pkg.swap(signed_pkg);
    }
    const std::string tmp = out_path + ".tmp";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char *>(pkg.data()), static_cast<std::streamsize>(pkg.size()));
        if (!out.flush()) return ::unlink(tmp.c_str()), fail("cannot write " + tmp);
    }
    if (std::rename(tmp.c_str(), out_path.c_str()) != 0) return ::unlink(tmp.c_str()), fail("cannot write " + out_path);
    std::printf("%s: %zu bytes, version V%u.%u, image %zu bytes, application part %zu bytes%s\n", out_path.c_str(),
                pkg.size(), major, minor, image.size(), app.size(), o.has("--sign") ? ", signed" : "");
    return kOk;
}

int run_keygen(const Options &o) {
    if (o.words.size() != 2 || o.words[1].empty()) return fail("usage: wlinkctl keygen BASE");
    const std::string base = o.words[1];
    uint8_t pub[WLINK_SIGN_PUBLIC_SIZE], secret[WLINK_SIGN_SECRET_SIZE];
    if (wlink_sign_keygen(pub, secret) != WLINK_OK) return fail("no key from the system's random source");
    const struct {
        std::string path;
        std::string line;
        mode_t mode;
    } files[] = {{base + ".key", hex_of(secret, sizeof secret) + "\n", 0600},
                 {base + ".pub", hex_of(pub, sizeof pub) + "\n", 0644}};
    std::memset(secret, 0, sizeof secret);
    for (const auto &f : files) {
        // Never over a key: a lost secret key cannot be made again.
        const int fd = ::open(f.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, f.mode);
        const bool ok = fd >= 0 && ::write(fd, f.line.data(), f.line.size()) == static_cast<ssize_t>(f.line.size()) &&
                        ::fsync(fd) == 0;
        const int err = errno;
        if (fd >= 0) ::close(fd);
        if (!ok) {
            if (fd >= 0) ::unlink(f.path.c_str());
            if (&f != &files[0]) ::unlink(files[0].path.c_str());
            return fail("cannot write " + f.path + ": " + std::strerror(err));
        }
    }
    std::printf("%s.key: the secret key (keep it off the module); %s.pub: the public key, %s\n", base.c_str(),
                base.c_str(), hex_of(pub, sizeof pub).c_str());
    return kOk;
}

int run_inspect(const Options &o) {
    if (o.words.size() != 2) return fail("usage: wlinkctl inspect FILE [--key BASE.pub] [--json]");
    const std::string path = o.words[1];
    Bytes pkg;
    if (!read_file(path, &pkg)) return fail("cannot read " + path);
    wlink_package_info i;
    WLINK_INIT(i);
    const bool accepted = wlink_package_check(pkg.data(), pkg.size(), &i) == WLINK_OK;
    uint8_t key[WLINK_SIGN_PUBLIC_SIZE];
    std::string why;
    if (o.has("--key") && !read_key(o.get("--key"), key, sizeof key, &why)) return fail(why);
    const bool key_matches = o.has("--key") && i.is_signed && std::memcmp(key, i.signer, sizeof key) == 0;
    char verdict[160] = "";
    const bool key_ok =
        !o.has("--key") || wlink_package_verify(pkg.data(), pkg.size(), key, 1, verdict, sizeof verdict) == WLINK_OK;
    const bool ok = accepted && key_ok;
    const char *kind = i.is_bare_image ? "image" : i.has_headers ? "package" : "unknown";
    char version[16], hex[12][16];
    std::snprintf(version, sizeof version, "V%u.%u", i.major, i.minor);
    const uint32_t words[] = {i.magic, i.header_crc, i.computed_header_crc, i.data_crc, i.computed_data_crc,
                              i.load,  i.entry};
    for (int k = 0; k < 7; ++k) std::snprintf(hex[k], sizeof hex[k], "0x%08X", words[k]);
    const bool image_known = i.is_bare_image || i.has_headers;
    if (o.json) {
        std::string img = "null";
        if (image_known)
            img = "{\"magic\":" + json(hex[0]) + ",\"header_crc\":" + json(hex[1]) +
                  ",\"computed_header_crc\":" + json(hex[2]) + ",\"data_crc\":" + json(hex[3]) +
                  ",\"computed_data_crc\":" + json(hex[4]) + ",\"size\":" + std::to_string(i.image_size) +
                  ",\"load\":" + json(hex[5]) + ",\"entry\":" + json(hex[6]) + ",\"os\":" + std::to_string(i.os) +
                  ",\"arch\":" + std::to_string(i.arch) + ",\"type\":" + std::to_string(i.type) +
                  ",\"compression\":" + std::to_string(i.compression) + ",\"name\":" + json(i.name) + "}";
        std::string sig = "null";
        if (i.is_signed)
            sig = "{\"board\":" + json(i.board) +
                  ",\"downgrade\":" + (i.sign_flags & WLINK_SIGN_DOWNGRADE ? "true" : "false") +
                  ",\"signer\":" + json(hex_of(i.signer, sizeof i.signer)) +
                  ",\"holds\":" + (i.signature_holds ? "true" : "false") +
                  ",\"key_matches\":" + (o.has("--key") ? (key_matches ? "true" : "false") : "null") + "}";
        std::printf(
            "{\"file\":%s,\"bytes\":%zu,\"kind\":\"%s\",\"accepted\":%s,\"reason\":%s,\"version\":%s,"
            "\"application_bytes\":%zu,\"image\":%s,\"signature\":%s}\n",
            json(path).c_str(), pkg.size(), kind, ok ? "true" : "false",
            ok ? "null" : json(accepted ? verdict : i.reason).c_str(), i.has_headers ? json(version).c_str() : "null",
            i.app_len, img.c_str(), sig.c_str());
        return ok ? kOk : kFail;
    }
    std::printf("%s: %zu bytes, %s\n", path.c_str(), pkg.size(),
                i.is_bare_image ? "a legacy image, not an upgrade package"
                : i.has_headers ? "an upgrade package"
                                : "too short for an upgrade package");
    if (i.has_headers)
        std::printf("version header: magic 0x%04X%s, version %s, image length %u, application length %u (+7)\n",
                    i.version_magic, i.version_magic == 0x514C ? "" : " (not 0x514C)", version, i.image_len_field,
                    i.app_len_field);
    if (image_known) {
        std::printf(
            "image header: magic %s, size %u, load %s, entry %s, os %u, arch %u, type %u, compression %u, "
            "name \"%s\"\n",
            hex[0], i.image_size, hex[5], hex[6], i.os, i.arch, i.type, i.compression, i.name);
        if (i.has_headers)
            std::printf("  header CRC stored %s, computed %s; data CRC stored %s, computed %s\n", hex[1], hex[2],
                        hex[3], hex[4]);
    }
    if (i.is_signed)
        std::printf("signature: board \"%s\"%s, signer %s, %s%s\n", i.board, i.board[0] ? "" : " (any)",
                    hex_of(i.signer, sizeof i.signer).c_str(), i.signature_holds ? "holds" : "DOES NOT HOLD",
                    i.sign_flags & WLINK_SIGN_DOWNGRADE ? ", allows a downgrade" : "");
    else if (i.has_headers)
        std::printf("signature: none (a module holding upgrade keys refuses it)\n");
    if (i.has_headers && accepted && (i.image_len_field != 64 + i.image_len || i.app_len_field + 7 != i.app_len))
        std::printf("note: the version header's lengths disagree with the parts (the module only logs that)\n");
    if (!accepted)
        std::printf("the module refuses this: %s\n", i.reason);
    else if (!key_ok)
        std::printf("a module holding %s refuses this: %s\n", o.get("--key").c_str(), verdict);
    else
        std::printf(
            o.has("--key") ? "a module holding %s accepts this package\n" : "the module accepts this package%s\n",
            o.has("--key") ? o.get("--key").c_str()
            : i.is_signed  ? " (when it holds the signer's key)"
                           : "");
    return ok ? kOk : kFail;
}

namespace {

enum { kConnect = 7, kBusy = 8, kDeadline = 9 };

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

struct Progress {
    bool tty, json;
    std::chrono::steady_clock::time_point t0;
    int last = -1, beats = 0;
};

int on_progress(void *ctx, size_t done, size_t total) {
    auto *p = static_cast<Progress *>(ctx);
    const int pct = static_cast<int>(100 * done / total);
    if (p->json) {
        if (pct / 10 != p->last / 10 || done == total)
            std::printf("{\"event\":\"progress\",\"sent\":%zu,\"total\":%zu,\"seconds\":%.3f}\n", done, total,
                        seconds_since(p->t0));
    } else if (p->tty) {
        const int w = pct * 40 / 100;
        std::printf("\r[%s%s] %3d%% %zu/%zu bytes%s", std::string(w, '#').c_str(), std::string(40 - w, ' ').c_str(),
                    pct, done, total, done == total ? "\n" : "");
    } else if (pct / 10 != p->last / 10 || done == total) {
        std::printf("sent %zu of %zu bytes (%d%%)\n", done, total, pct);
    }
    p->last = pct;
    std::fflush(stdout);
    return 0;
}

int on_heartbeat(void *ctx, int value, int count) {
    auto *p = static_cast<Progress *>(ctx);
    p->beats = count;
    if (p->json)
        std::printf("{\"event\":\"heartbeat\",\"count\":%d,\"value\":%d,\"seconds\":%.3f}\n", count, value,
                    seconds_since(p->t0));
    else if (value == 1)
        std::printf("heartbeat %d: the last one; the module goes on writing without beats\n", count);
    else
        std::printf("heartbeat %d: the module is writing flash\n", count);
    std::fflush(stdout);
    return 0;
}

// The exit status and the result's name of each outcome.
struct Outcome {
    int exit;
    const char *result;
};
Outcome outcome(wlink_status st) {
    switch (st) {
        case WLINK_OK:
            return {kOk, "accepted"};
        case WLINK_ERR_REPLY:
            return {kErrReply, "command-refused"};
        case WLINK_UPG_WRONG_TOKEN:
            return {kWrongToken, "wrong-token"};
        case WLINK_UPG_REFUSED:
            return {kRefused, "refused"};
        case WLINK_UPG_LOST:
            return {kLost, "connection-lost"};
        case WLINK_UPG_TIMEOUT:
            return {kTimeout, "timeout"};
        case WLINK_UPG_CONNECT:
            return {kConnect, "cannot-connect"};
        case WLINK_UPG_BUSY:
            return {kBusy, "busy"};
        case WLINK_UPG_DEADLINE:
            return {kDeadline, "deadline"};
        case WLINK_UPG_TOO_LARGE:
            return {kFail, "too-large"};
        case WLINK_CANCELLED:
        case WLINK_UPG_CANCELLED_WRITING:
            return {kInterrupted, "interrupted"};
        default:
            return {kFail, "error"};
    }
}

// "V1.2", or null (JSON) / "?" when the module does not say.
std::string version_of(wlink_link *l, bool as_json) {
    unsigned major, minor;
    if (wlink_firmware_version(l, &major, &minor) != WLINK_OK) return as_json ? "null" : "?";
    const std::string v = "V" + std::to_string(major) + "." + std::to_string(minor);
    return as_json ? json(v) : v;
}

const char *state_name(wlink_upg_state st) {
    return st == WLINK_UPG_STATE_BUSY ? "busy" : st == WLINK_UPG_STATE_INTERRUPTED ? "interrupted" : "none";
}

// "none", "busy" or "interrupted"; "" when the module does not say.
std::string state_of(wlink_link *l) {
    wlink_upg_state st;
    return wlink_upgrade_state(l, &st) == WLINK_OK ? state_name(st) : "";
}

}  // namespace

int run_upgstate(Link &link, bool as_json) {
    wlink_upg_state st;
    if (const wlink_status s = wlink_upgrade_state(link.get(), &st); s != WLINK_OK)
        return link.report(s, "AT+UPGSTATE");
    const std::string name = state_name(st);
    if (as_json)
        std::printf("{\"state\":%s}\n", json(name).c_str());
    else
        std::printf("%s\n", name.c_str());
    return kOk;
}

int run_upgrade(const Options &o) {
    if (o.words.size() != 2) return fail("usage: wlinkctl upgrade (--serial DEV --host ADDR | --udp HOST) PACKAGE");
    uint32_t port = WLINK_UPGRADE_PORT;
    if (o.has("--port") && (!parse_u32(o.get("--port"), &port) || port < 1 || port > 65535))
        return fail("bad --port '" + o.get("--port") + "'");
    if (!o.serial.empty() && !o.has("--host")) return fail("with --serial, give the module's address with --host ADDR");
    Bytes pkg;
    if (!read_file(o.words[1], &pkg)) return fail("cannot read " + o.words[1]);
    wlink_package_info info;
    WLINK_INIT(info);
    if (wlink_package_check(pkg.data(), pkg.size(), &info) != WLINK_OK && !o.force)
        return fail(o.words[1] + ": the module would refuse this" + (info.is_bare_image ? "" : " package") + ": " +
                    info.reason + "; nothing sent (--force sends it anyway)");

    // The command's time limit is the link's; --timeout is the silence allowed while flash is written.
    Options link_opt = o;
    link_opt.timeout_ms = 0;
    Link link(link_opt);
    if (const int rc = link.open(); rc != kOk) return rc;
    link.cancel_on_signals();
    Progress p{isatty(STDOUT_FILENO) != 0, o.json, std::chrono::steady_clock::now()};
    char mac[64] = "";
    if (wlink_mac(link.get(), mac, sizeof mac) != WLINK_OK) mac[0] = '\0';
    const std::string before = version_of(link.get(), o.json), state = state_of(link.get());
    if (o.json)
        std::printf(
            "{\"event\":\"started\",\"package\":%s,\"bytes\":%zu,\"version\":%s,\"mac\":%s,"
            "\"version_before\":%s,\"state_before\":%s}\n",
            json(o.words[1]).c_str(), pkg.size(),
            info.has_headers ? json("V" + std::to_string(info.major) + "." + std::to_string(info.minor)).c_str()
                             : "null",
            mac[0] ? json(mac).c_str() : "null", before.c_str(), state.empty() ? "null" : json(state).c_str());
    else
        std::printf("upgrading the module%s%s (%s) with %s (%zu bytes)\n", mac[0] ? " " : "", mac, before.c_str(),
                    o.words[1].c_str(), pkg.size());
    if (!o.json && state == "interrupted")
        std::printf(
            "the module's last upgrade was interrupted while it wrote flash: its partitions may hold a "
            "half-written image (%s names the one before)\n",
            before.c_str());
    std::fflush(stdout);
    const std::string host = o.get("--host");
    wlink_upgrade_options u;
    wlink_upgrade_options_init(&u);
    u.host = host.empty() ? nullptr : host.c_str();
    u.port = static_cast<uint16_t>(port);
    if (o.timeout_ms > 0) u.timeout_ms = o.timeout_ms;
    u.deadline_ms = o.deadline_ms;
    u.force = o.force;
    u.progress = on_progress;
    u.heartbeat = on_heartbeat;
    u.ctx = &p;
    const wlink_status st = wlink_upgrade(link.get(), pkg.data(), pkg.size(), &u);
    const Outcome out = outcome(st);
    const int rc = out.exit;
    const std::string message =
        st == WLINK_OK ? "the module wrote the package and stored its version" : wlink_last_error(link.get());
    const bool writing = wlink_upgrade_may_be_writing(link.get()) != 0;
    const std::string after = st == WLINK_OK ? version_of(link.get(), o.json) : o.json ? "null" : "?";
    if (o.json) {
        std::printf(
            "{\"event\":\"result\",\"result\":\"%s\",\"status\":\"%s\",\"exit\":%d,\"message\":%s,\"mac\":%s,"
            "\"version_before\":%s,\"version_after\":%s,\"seconds\":%.3f,\"bytes\":%zu,\"heartbeats\":%d,"
            "\"flash\":\"%s\"}\n",
            out.result, wlink_status_name(st), rc, json(message).c_str(), mac[0] ? json(mac).c_str() : "null",
            before.c_str(), after.c_str(), seconds_since(p.t0), pkg.size(), p.beats,
            st == WLINK_OK ? "written"
            : writing      ? "may-be-writing"
                           : "untouched");
    } else if (st == WLINK_OK) {
        std::printf("upgrade accepted in %.1f s: %s (%s, was %s)\n", seconds_since(p.t0), message.c_str(),
                    after.c_str(), before.c_str());
    } else if (st == WLINK_NO_REPLY || st == WLINK_UNREACHABLE) {
        link.report(st, "AT+UPGRADE=");
    } else {
        complain(std::string(st == WLINK_CANCELLED || st == WLINK_UPG_CANCELLED_WRITING ? "upgrade interrupted"
                                                                                        : "upgrade failed") +
                 ": " + message);
    }
    return rc;
}

}  // namespace ctl
