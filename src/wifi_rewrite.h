// Safe file changes: a complete new copy is written to a temporary file in the same
// folder, given the old file's mode and owner, synced, and renamed over the old
// file, and the folder is synced; a power cut at any moment leaves either the old
// or the new complete file.
#pragma once

#include <stddef.h>
#include <stdio.h>

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

// Rewrites the module file `path` line by line through `tmp_path`. Lines longer than
// the 511-byte read buffer pass through untouched. Returns 0, or -1 when a file could
// not be opened, `edit` failed, or a write, sync or rename failed; on failure `path`
// keeps its old content and the temporary file is removed.
int wifi_rewrite_file(const char *path, const char *tmp_path, wifi_line_editor &ed);
// Puts a copy of the module file `src` in place of `path`, the same way.
int wifi_copy_file(const char *src, const char *path, const char *tmp_path);
// Puts the module file `path` in place holding exactly `len` bytes of `data`, the
// same way (a new file gets mode 0600). 0 or -1.
int wifi_write_file(const char *path, const char *tmp_path, const void *data, size_t len);
// Removes the module file `path` for good (its folder synced); 0 also when it was
// not there.
int wifi_remove_file(const char *path);
// Writes a line unchanged; 0 or -1.
int wifi_copy_line(const char *line, size_t len, FILE *out);
