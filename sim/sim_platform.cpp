// The simulated module's storage: its files, the flash partitions (the files
// DIR/dev/mtd*), and the power cuts and I/O errors on demand that strike them.
#include "sim_platform.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

long long sim_platform::flash_size(const char *module_dev) {
    struct stat st;
    return stat(module_file(module_dev).c_str(), &st) == 0 ? (long long)st.st_size : -1;
}

// ---------------------------------------------------------------------------
// Power cuts and I/O errors on demand.

// Nothing but a flag: the fault files are read at the command's first change to the
// outside world, so that a query or a heartbeat costs the link no system call here.
void sim_platform::command_start() { check_faults_.store(true); }

void sim_platform::load_faults() {
    // The folder changes when a fault file is put there: one stat while it does not.
    struct stat st;
    std::string dir = opt_.root + "/sim";
    if (stat(dir.c_str(), &st) != 0) return;
    {
        std::lock_guard<std::mutex> g(mu_);
        if (st.st_mtim.tv_sec == fault_dir_mtime_.tv_sec && st.st_mtim.tv_nsec == fault_dir_mtime_.tv_nsec) return;
        fault_dir_mtime_ = st.st_mtim;
    }
    bool armed = false;
    const std::pair<const char *, std::atomic<long> *> files[] = {{"/crash-at", &crash_at_}, {"/fail-at", &fail_at_}};
    for (const auto &f : files) {
        bool ok = false;
        std::string text = read_whole(dir + f.first, &ok);
        if (!ok) continue;
        ::unlink((dir + f.first).c_str());
        f.second->store(atol(text.c_str()));
        armed = true;
    }
    if (armed) effects_.store(0);
}

bool sim_platform::fault(const std::function<void()> &at_cut) {
    if (check_faults_.exchange(false)) load_faults();
    const long crash = crash_at_.load(), fail = fail_at_.load();
    if (crash <= 0 && fail <= 0) return false;
    const long n = ++effects_;
    if (n == crash) {
        if (at_cut) at_cut();
        storage_.power_cut();
        fflush(stdout);
        kill(getpid(), SIGKILL);
    }
    if (n != fail) return false;
    errno = EIO;
    return true;
}

int sim_platform::file_open(const char *path, int flags, mode_t mode) {
    if ((flags & (O_CREAT | O_TRUNC)) != 0 && fault()) return -1;
    return storage_.open(path, flags, mode);
}

ssize_t sim_platform::file_write(int fd, const void *buf, size_t n) {
    return fault() ? -1 : storage_.write(fd, buf, n);
}
int sim_platform::file_sync(int fd) { return fault() ? -1 : storage_.sync(fd); }
int sim_platform::file_rename(const char *from, const char *to) { return fault() ? -1 : storage_.rename(from, to); }
int sim_platform::file_unlink(const char *path) { return fault() ? -1 : storage_.unlink(path); }

void sim_platform::flash_delay() {
    bool ok = false;
    std::string text = read_whole(opt_.root + "/sim/flash-delay-ms", &ok);
    int ms = ok ? atoi(text.c_str()) : 0;
    if (ms > 0) sleep_ms((unsigned)ms);
}

int sim_platform::flash_copy(const std::string &src, const std::string &dev, bool must_fit, std::string *output) {
    // Streamed: the daemon's memory holds no copy of the part.
    int in = open(module_file(src).c_str(), O_RDONLY | O_CLOEXEC);
    int out = open(module_file(dev).c_str(), O_WRONLY | O_CLOEXEC);
    struct stat si, so;
    int status = 0;
    if (in < 0 || out < 0 || fstat(in, &si) != 0 || fstat(out, &so) != 0) {
        *output = (must_fit ? "flashcp: " : "cat: ") + std::string(in < 0 ? src : dev) + ": " + strerror(errno) + "\n";
        status = 1 << 8;
    } else if (must_fit && si.st_size > so.st_size) {
        *output = src + " won't fit into " + dev + "!\n";
        status = 1 << 8;
    } else {
        char buf[65536];
        off_t off = 0;
        for (ssize_t n; (n = read(in, buf, sizeof(buf))) > 0; off += n) {
            if (off + n > so.st_size) {  // the device has no room past its end
                *output = "cat: write error: No space left on device\n";
                status = 1 << 8;
                n = so.st_size - off;
            }
            // Each block of the write is a point where the power can go, half-way through it.
            if (n > 0 && fault([&] { storage_.flash_cut(module_file(dev), off, buf, (size_t)n); })) {
                *output = "flash write error: " + std::string(strerror(errno)) + "\n";
                status = 1 << 8;
            }
            if (status == 0 && n > 0 && pwrite(out, buf, (size_t)n, off) != n) status = 1 << 8;
            if (status != 0) break;
        }
    }
    if (in >= 0) close(in);
    if (out >= 0) close(out);
    return status;
}

int sim_platform::flash_erase(const std::string &dev, size_t len, std::string *output) {
    std::string erased(len, '\xFF');
    int fd = open(module_file(dev).c_str(), O_WRONLY | O_CLOEXEC);
    bool ok = fd >= 0 && pwrite(fd, erased.data(), len, 0) == (ssize_t)len;
    if (fd >= 0) close(fd);
    if (!ok) *output = "mtd_debug: " + dev + ": " + strerror(errno) + "\n";
    return ok ? 0 : 1 << 8;
}
