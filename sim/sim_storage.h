// The simulated module's storage as a power cut sees it: a page cache in front of the
// file system, and flash written through.
//
// Every change the daemon makes to a file of the module's flash file system (all of
// the root but /tmp, /var, /dev and /sim) is made at once on the host, where the
// daemon reads it back as it would from the page cache, and is also kept in a journal
// of unsynced operations with what it takes to undo it: the data written to a file
// stays unsynced until that file's fsync, a create, rename or unlink until the fsync
// of its folder. The journal lives under DIR/sim/cache, so that it outlives the
// daemon's process.
//
// A power cut (a crash-at point, or DIR/sim/power-cut written while the module is
// down) leaves the journal as it is, and the next start lays out one of the states
// the cut could leave: DIR/sim/power-cut names it by number (none: 0), and the start
// writes to DIR/sim/power-states how many there are and what the chosen one kept.
// The states: each unsynced operation kept or lost (every combination of up to four,
// beyond that all, none, each alone lost or kept, and each prefix), the last write to
// a file kept up to a 512-byte boundary, and a flash write cut at the cut point kept
// up to a 512-byte boundary of its block, the rest of the block as it was.
#pragma once

#include <sys/types.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

// The whole of a file (""), and whether it could be read.
std::string read_whole(const std::string &path, bool *ok = nullptr);

class sim_storage {
public:
    explicit sim_storage(const std::string &root);

    // At the module's start: after a power cut, lays out the chosen state; in any case
    // the journal starts empty (a reboot syncs every file).
    void power_on();
    // The power goes now (the caller ends the process): the journal stays for the next start.
    void power_cut();
    // A flash write cut in the middle: `n` bytes for offset `off` of the partition at
    // the real path `dev`, of which the state chosen at the next start keeps a part.
    void flash_cut(const std::string &dev, off_t off, const void *buf, size_t n);

    // open(2), write(2), fsync(2), rename(2) and unlink(2) on real paths, recorded.
    int open(const char *path, int flags, mode_t mode);
    ssize_t write(int fd, const void *buf, size_t n);
    int sync(int fd);
    int rename(const char *from, const char *to);
    int unlink(const char *path);

    // One unsynced operation. W: `len` bytes at `off` of inode `id`, kept at `blob` of
    // the data file; T: inode `id` cut to `off` bytes; C, R, U: name `path` (R: from
    // `from`) linked to, moved to or unlinked from inode `id`; F: a flash write cut.
    struct op {
        char kind;
        long id;
        off_t off;
        size_t len;
        off_t blob;
        std::string path, from;
    };
    // One state a cut can leave: which operations are kept, and where the torn write
    // (`torn` the index of a write, or -1) ends.
    struct state {
        std::vector<bool> kept;
        int torn = -1;
        off_t torn_end = 0;
        off_t flash_end = -1;  // the cut flash write is in place up to this offset
        std::string what() const;
    };
    static std::vector<state> states_of(const std::vector<op> &ops);

private:
    struct inode {
        dev_t dev;
        ino_t ino;
        bool has_base;  // DIR/sim/cache/base-ID holds its synced data (it has unsynced writes)
    };

    // The module path of a real path (given as mapped, or as the kernel names an open
    // file), or "" when it is not under the root.
    std::string rel(const std::string &real) const;
    bool persistent(const std::string &real) const;
    std::string fd_path(int fd) const;
    // The inode at `real` (or of `fd`), tracked from now on: a link to it in the cache
    // folder, and its name's synced state noted. -1 when it is not there.
    long track(const std::string &real, int fd = -1);
    void note_name(const std::string &name, long id);
    void add_data(long id);
    void save();
    void clear();
    void apply(const state &s);

    std::string root_, real_root_, dir_;
    std::mutex mu_;
    std::map<std::string, long> names_;  // module path -> inode on storage (-1: none)
    std::map<long, inode> inodes_;
    std::vector<op> ops_;
    off_t blob_size_ = 0;
    long next_id_ = 1;
};
