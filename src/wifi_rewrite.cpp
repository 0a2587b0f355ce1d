#include "wifi_rewrite.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <libgen.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_util.h"

enum { LINE_BUF = 512, PATH_BUF = 512 };

// The next piece of `text` from `pos`, as a line read into a LINE_BUF buffer: up to
// and including a line feed, at most LINE_BUF - 1 bytes; copied to `buf` and
// NUL-terminated. Returns its length, 0 at the end; `*whole` is false when the piece
// filled the buffer without ending its line.
static size_t next_piece(const char *text, size_t len, size_t pos, char *buf, bool *whole) {
    size_t n = len - pos < (size_t)LINE_BUF - 1 ? len - pos : (size_t)LINE_BUF - 1;
    const char *lf = n > 0 ? (const char *)memchr(text + pos, '\n', n) : nullptr;
    if (lf != nullptr) n = (size_t)(lf - (text + pos)) + 1;
    memcpy(buf, text + pos, n);
    buf[n] = '\0';
    *whole = lf != nullptr || n < (size_t)LINE_BUF - 1;
    return n;
}

// Reads the whole file at the real path `path` into *text (grown as needed). A file
// being edited must be writable, as it would be for an edit in place. 0, or -1.
static int load(const char *path, bool writable, size_t hint, char **text, size_t *len, size_t *cap) {
    UniqueFd fd(open(path, (writable ? O_RDWR : O_RDONLY) | O_CLOEXEC));
    if (!fd.valid()) return -1;
    size_t n = 0;
    for (;;) {
        if (*cap < hint + 1 || n == *cap) {
            size_t want = *cap < hint + 1 ? hint + 1 : *cap * 2;
            if (want < 1024) want = 1024;
            char *grown = (char *)realloc(*text, want);
            if (grown == nullptr) return -1;
            *text = grown;
            *cap = want;
        }
        ssize_t got = read(fd.get(), *text + n, *cap - n);
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) return -1;
        if (got == 0) break;
        n += (size_t)got;
    }
    *len = n;
    return 0;
}

static bool same_stamp(const wifi_file_stamp &a, const wifi_file_stamp &b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtime_ns == b.mtime_ns && a.ctime_ns == b.ctime_ns;
}

// Makes f->text what the file holds now; f->lock is held. 0, or -1 when it cannot be read.
static int refresh(wifi_kept_file *f) {
    char where[PATH_BUF];
    wifi_path(f->path, where, sizeof(where));
    wifi_file_stamp st;
    if (wifi_plat().file_stamp(f->path, &st) != 0) {
        f->kept = false;
        return -1;
    }
    if (f->kept && same_stamp(st, f->stamp) && strcmp(where, f->where) == 0) return 0;
    f->kept = false;
    if (load(where, true, st.size > 0 ? (size_t)st.size : 0, &f->text, &f->len, &f->cap) != 0) return -1;
    // A change between the stamp and the read gives the file another stamp.
    f->stamp = st;
    wifi_strlcpy_zero(f->where, where, sizeof(f->where));
    f->kept = st.settled;
    return 0;
}

int wifi_copy_line(const char *line, size_t len, FILE *out) { return fwrite(line, 1, len, out) == len ? 0 : -1; }

namespace {
struct copy_editor final : wifi_line_editor {
    int edit(const char *line, size_t len, FILE *out) override { return wifi_copy_line(line, len, out); }
};
}  // namespace

int wifi_write_all(int fd, const void *buf, size_t n) {
    const char *p = static_cast<const char *>(buf);
    while (n > 0) {
        ssize_t w = wifi_plat().file_write(fd, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return -1;
        p += w;
        n -= (size_t)w;
    }
    return 0;
}

// The temporary file's stream: its writes go out through the platform.
static ssize_t tmp_write(void *cookie, const char *buf, size_t n) {
    return wifi_write_all((int)(intptr_t)cookie, buf, n) == 0 ? (ssize_t)n : -1;
}

static int tmp_close(void *cookie) { return close((int)(intptr_t)cookie); }

// The temporary file, created with the mode and owner the file it replaces has.
// `*fd` gets its descriptor (a stream of the platform's writes has none of its own).
static FILE *open_tmp(const char *tmp_path, const struct stat *like, int *fd_out) {
    UniqueFd fd(wifi_plat().file_open(tmp_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
    if (!fd.valid()) return nullptr;
    struct stat st;
    if (fchmod(fd.get(), like->st_mode & 07777) != 0 || fstat(fd.get(), &st) != 0) return nullptr;
    if ((st.st_uid != like->st_uid || st.st_gid != like->st_gid) && fchown(fd.get(), like->st_uid, like->st_gid) != 0)
        return nullptr;
    cookie_io_functions_t io = {nullptr, tmp_write, nullptr, tmp_close};
    FILE *fp = fopencookie((void *)(intptr_t)fd.get(), "w", io);
    if (fp != nullptr) *fd_out = fd.release();
    return fp;
}

// The rename is on the storage only once the folder holding the name is synced.
static int sync_folder(const char *path) {
    char dir[PATH_BUF];
    wifi_strlcpy_zero(dir, path, sizeof(dir));
    UniqueFd fd(open(dirname(dir), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    return fd.valid() && wifi_plat().file_sync(fd.get()) == 0 ? 0 : -1;
}

// Syncs and closes the temporary file and renames it over `path`; `ok` false (or a
// failure here) removes it instead. 0 or -1.
static int commit_tmp(UniqueFile &out, int fd, bool ok, const char *tmp_path, const char *path) {
    if (ok && (fflush(out.get()) != 0 || wifi_plat().file_sync(fd) != 0)) ok = false;
    if (out.close() != 0) ok = false;
    if (ok && wifi_plat().file_rename(tmp_path, path) != 0) ok = false;
    if (!ok) {
        wifi_plat().file_unlink(tmp_path);
        return -1;
    }
    // The new file is in place and read by everyone from now on; only its surviving
    // a power cut is in doubt.
    if (sync_folder(path) != 0) printf("=====sync of the folder of %s failed=====\n", path);
    return 0;
}

// Writes `text`, through `ed`, to the temporary file and renames it over `path`
// (real paths), which keeps its mode and owner (a new one takes those of `like_path`).
static int replace_file(const char *text, size_t text_len, const char *path, const char *tmp_path,
                        const char *like_path, wifi_line_editor &ed) {
    struct stat like;
    if (stat(path, &like) != 0 && stat(like_path, &like) != 0) return -1;
    int fd = -1;
    UniqueFile out(open_tmp(tmp_path, &like, &fd));
    if (!out) {
        wifi_plat().file_unlink(tmp_path);
        return -1;
    }

    char line[LINE_BUF];
    size_t len;
    int ret = 0;
    bool long_line = false;  // inside a line longer than the buffer
    bool whole;
    for (size_t pos = 0; ret == 0 && (len = next_piece(text, text_len, pos, line, &whole)) > 0; pos += len) {
        // A line longer than the buffer is not ours to edit: it goes through as it
        // is, piece by piece, so that no piece of it becomes a line of its own.
        if (long_line || !whole)
            ret = wifi_copy_line(line, len, out.get());
        else
            ret = ed.edit(line, len, out.get());
        long_line = !whole;
    }
    return commit_tmp(out, fd, ret == 0, tmp_path, path);
}

int wifi_kept_read(wifi_kept_file *f, wifi_line_reader &rd) {
    pthread_mutex_lock(&f->lock);
    int ret = refresh(f);
    if (ret == 0) {
        char line[LINE_BUF];
        size_t len;
        bool whole;
        for (size_t pos = 0; ret == 0 && (len = next_piece(f->text, f->len, pos, line, &whole)) > 0; pos += len)
            ret = rd.line(line, len);
    }
    pthread_mutex_unlock(&f->lock);
    return ret;
}

int wifi_kept_rewrite(wifi_kept_file *f, wifi_line_editor &ed) {
    pthread_mutex_lock(&f->lock);
    char tmp_path[PATH_BUF];
    wifi_path(f->tmp_path, tmp_path, sizeof(tmp_path));
    int ret = refresh(f);
    if (ret == 0) ret = replace_file(f->text, f->len, f->where, tmp_path, f->where, ed);
    // The file now holds what was written; a copy of it is read again, with its own
    // stamp, by the next use: one taken now could miss a change made in the same second.
    if (ret == 0) f->kept = false;
    pthread_mutex_unlock(&f->lock);
    return ret;
}

int wifi_copy_file(const char *src_module, const char *dst_module, const char *tmp_module) {
    char src[PATH_BUF], path[PATH_BUF], tmp_path[PATH_BUF];
    wifi_path(src_module, src, sizeof(src));
    wifi_path(dst_module, path, sizeof(path));
    wifi_path(tmp_module, tmp_path, sizeof(tmp_path));
    char *text = nullptr;
    size_t len = 0, cap = 0;
    copy_editor copy;
    int ret = load(src, false, 0, &text, &len, &cap) == 0 ? replace_file(text, len, path, tmp_path, src, copy) : -1;
    free(text);
    return ret;
}

int wifi_write_file(const char *path_module, const char *tmp_module, const void *data, size_t len) {
    char path[PATH_BUF], tmp_path[PATH_BUF];
    wifi_path(path_module, path, sizeof(path));
    wifi_path(tmp_module, tmp_path, sizeof(tmp_path));
    struct stat like;
    if (stat(path, &like) != 0) {
        memset(&like, 0, sizeof(like));
        like.st_mode = 0600;
        like.st_uid = geteuid();
        like.st_gid = getegid();
    }
    int fd = -1;
    UniqueFile out(open_tmp(tmp_path, &like, &fd));
    if (!out) {
        wifi_plat().file_unlink(tmp_path);
        return -1;
    }
    // Straight to the descriptor: the stream's own handling of a failed write of a
    // block larger than its buffer reads past the block.
    return commit_tmp(out, fd, wifi_write_all(fd, data, len) == 0, tmp_path, path);
}

int wifi_remove_file(const char *path_module) {
    char path[PATH_BUF];
    wifi_path(path_module, path, sizeof(path));
    if (wifi_plat().file_unlink(path) != 0) return errno == ENOENT ? 0 : -1;
    return sync_folder(path);
}
