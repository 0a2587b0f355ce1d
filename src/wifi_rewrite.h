// Safe file changes: a complete new copy is written to a temporary file in the same
// folder, given the old file's mode and owner, synced, and renamed over the old
// file, and the folder is synced; a power cut at any moment leaves either the old
// or the new complete file.
//
// The files the daemon edits are also kept in memory (`wifi_kept_file`): a query is
// answered from the copy while the file's stamp (identity, size, times; see
// wifi_platform.h) is the one it had when the copy was read, and a rewrite starts
// from it. Any change by any process gives the file another stamp, so the next use
// reads it again. A copy read while the file's times were recent enough for a change
// to keep them (within the same second on a file system with whole-second times) is
// used once and not kept.
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdio.h>

#include "wifi_platform.h"

struct wifi_kv {
    const char *key;
    const char *value;
};

// Every line read goes through `edit`, which writes the line (changed or not) to `out`.
struct wifi_line_editor {
    // `line` holds `len` bytes (a stray NUL byte among them is kept) and a terminator.
    // Returns 0, or -1 to abandon the rewrite.
    virtual int edit(const char *line, size_t len, FILE *out) = 0;

protected:
    ~wifi_line_editor() = default;
};

// Every line read goes through `line`; a non-zero result ends the reading.
struct wifi_line_reader {
    // As for wifi_line_editor::edit.
    virtual int line(const char *line, size_t len) = 0;

protected:
    ~wifi_line_reader() = default;
};

// A module file and the copy of it kept in memory. Define with WIFI_KEPT_FILE.
struct wifi_kept_file {
    const char *path;      // module path
    const char *tmp_path;  // its temporary file, in the same folder
    pthread_mutex_t lock;  // held while the copy is read, refreshed or the file rewritten
    char *text;            // the copy, `len` bytes in a buffer of `cap`
    size_t len, cap;
    bool kept;              // the copy may be used while the file's stamp is `stamp`
    wifi_file_stamp stamp;  // taken before the copy was read
    char where[512];        // the real path the copy was read from
};
#define WIFI_KEPT_FILE(path, tmp_path)                                             \
    {                                                                              \
        path, tmp_path, PTHREAD_MUTEX_INITIALIZER, nullptr, 0, 0, false, {}, { 0 } \
    }

// Lines are handed over as a read into a 512-byte line buffer gives them: a line
// longer than 511 bytes comes in pieces.
// Runs `rd` over the lines of the file as it is now. Returns what `rd` returned last
// (0 when it read every line), or -1 when the file cannot be read.
int wifi_kept_read(wifi_kept_file *f, wifi_line_reader &rd);
// Rewrites the file line by line through its temporary file. Lines longer than the
// 511-byte read buffer pass through untouched. Returns 0, or -1 when a file could not
// be opened, `edit` failed, or a write, sync or rename failed; on failure the file
// keeps its old content and the temporary file is removed.
int wifi_kept_rewrite(wifi_kept_file *f, wifi_line_editor &ed);
// Puts a copy of the module file `src` in place of `path`, the same way.
int wifi_copy_file(const char *src, const char *path, const char *tmp_path);
// Puts the module file `path` in place holding exactly `len` bytes of `data`, the
// same way (a new file gets mode 0600). 0 or -1.
int wifi_write_file(const char *path, const char *tmp_path, const void *data, size_t len);
// Removes the module file `path` for good (its folder synced); 0 also when it was
// not there.
int wifi_remove_file(const char *path);
// Writes all `n` bytes to `fd` through the platform (a file change that a power cut
// or a failure can land on); 0, or -1 when a write fails.
int wifi_write_all(int fd, const void *buf, size_t n);
// Writes a line unchanged; 0 or -1.
int wifi_copy_line(const char *line, size_t len, FILE *out);
