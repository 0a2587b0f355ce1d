#include "wifi_rewrite.h"

#include <errno.h>
#include <fcntl.h>
#include <stdint.h>
#include <libgen.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include "unique_fd.h"
#include "wifi_platform.h"
#include "wifi_util.h"

enum { LINE_BUF = 512, PATH_BUF = 512 };

// Reads one line, or the next size - 1 bytes of a longer one, NUL-terminated.
// Returns the number of bytes read, stray NUL bytes included; 0 at the end.
static size_t read_piece(FILE *in, char *buf, size_t size) {
    size_t n = 0;
    int c;
    while (n + 1 < size && (c = getc(in)) != EOF) {
        buf[n++] = (char)c;
        if (c == '\n') break;
    }
    buf[n] = '\0';
    return n;
}

int wifi_copy_line(const char *line, size_t len, FILE *out) { return fwrite(line, 1, len, out) == len ? 0 : -1; }

namespace {
struct copy_editor final : wifi_line_editor {
    int edit(const char *line, size_t len, FILE *out) override { return wifi_copy_line(line, len, out); }
};
}  // namespace

// The temporary file's stream: its writes go out through the platform.
static ssize_t tmp_write(void *cookie, const char *buf, size_t n) {
    const int fd = (int)(intptr_t)cookie;
    size_t done = 0;
    while (done < n) {
        ssize_t w = wifi_plat().file_write(fd, buf + done, n - done);
        if (w < 0 && errno == EINTR) continue;
        if (w <= 0) return done > 0 ? (ssize_t)done : -1;
        done += (size_t)w;
    }
    return (ssize_t)done;
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

// Writes what `src` holds, through `ed`, to the temporary file and renames it over
// `dst`, which keeps its mode and owner (a new one takes those of `src`).
static int replace_file(const char *src_module, const char *dst_module, const char *tmp_module, wifi_line_editor &ed) {
    char src[PATH_BUF], path[PATH_BUF], tmp_path[PATH_BUF];
    wifi_path(src_module, src, sizeof(src));
    wifi_path(dst_module, path, sizeof(path));
    wifi_path(tmp_module, tmp_path, sizeof(tmp_path));

    // The file being edited must be writable, as it would be for an edit in place.
    bool in_place = strcmp(src, path) == 0;
    UniqueFile in(fopen(src, in_place ? "r+e" : "re"));
    if (!in) return -1;
    struct stat like;
    if (stat(path, &like) != 0 && fstat(fileno(in.get()), &like) != 0) return -1;
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
    while (ret == 0 && (len = read_piece(in.get(), line, sizeof(line))) > 0) {
        bool whole = line[len - 1] == '\n' || feof(in.get());
        // A line longer than the buffer is not ours to edit: it goes through as it
        // is, piece by piece, so that no piece of it becomes a line of its own.
        if (long_line || !whole)
            ret = wifi_copy_line(line, len, out.get());
        else
            ret = ed.edit(line, len, out.get());
        long_line = !whole;
    }
    if (ret == 0 && ferror(in.get())) ret = -1;
    in.reset();
    return commit_tmp(out, fd, ret == 0, tmp_path, path);
}

int wifi_rewrite_file(const char *path, const char *tmp_path, wifi_line_editor &ed) {
    return replace_file(path, path, tmp_path, ed);
}

int wifi_copy_file(const char *src, const char *path, const char *tmp_path) {
    copy_editor copy;
    return replace_file(src, path, tmp_path, copy);
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
    return commit_tmp(out, fd, fwrite(data, 1, len, out.get()) == len, tmp_path, path);
}

int wifi_remove_file(const char *path_module) {
    char path[PATH_BUF];
    wifi_path(path_module, path, sizeof(path));
    if (wifi_plat().file_unlink(path) != 0) return errno == ENOENT ? 0 : -1;
    return sync_folder(path);
}
