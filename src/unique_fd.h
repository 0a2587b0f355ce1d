// A descriptor owned by exactly one object; closed when that object goes away.
#pragma once

#include <unistd.h>

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { reset(); }
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&o) noexcept : fd_(o.release()) {}
    UniqueFd &operator=(UniqueFd &&o) noexcept {
        if (this != &o) reset(o.release());
        return *this;
    }
    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    void reset(int fd = -1) {
        if (fd_ >= 0 && fd_ != fd) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// A stdio stream owned by one object.
#include <stdio.h>
class UniqueFile {
public:
    UniqueFile() = default;
    explicit UniqueFile(FILE *fp) : fp_(fp) {}
    ~UniqueFile() { reset(); }
    UniqueFile(const UniqueFile &) = delete;
    UniqueFile &operator=(const UniqueFile &) = delete;
    UniqueFile(UniqueFile &&o) noexcept : fp_(o.release()) {}
    FILE *get() const { return fp_; }
    explicit operator bool() const { return fp_ != nullptr; }
    FILE *release() {
        FILE *fp = fp_;
        fp_ = nullptr;
        return fp;
    }
    // Closes the stream; returns fclose's result (0 when there was none).
    int close() {
        int r = 0;
        if (fp_) r = ::fclose(fp_);
        fp_ = nullptr;
        return r;
    }
    void reset() { (void)close(); }

private:
    FILE *fp_ = nullptr;
};
