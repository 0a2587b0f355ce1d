#include "sim_storage.h"

#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>

namespace fs = std::filesystem;

std::string read_whole(const std::string &path, bool *ok) {
    std::ifstream in(path, std::ios::binary);
    if (ok) *ok = static_cast<bool>(in);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

const off_t kSector = 512;

std::string parent(const std::string &path) { return path.substr(0, path.rfind('/')); }

bool is_dir_op(char kind) { return kind == 'C' || kind == 'R' || kind == 'U'; }

// What kept directory operations make of the names' synced state.
void apply_dir_op(std::map<std::string, long> &names, const sim_storage::op &o) {
    if (o.kind == 'R') names[o.from] = -1;
    if (o.kind == 'C' || o.kind == 'R') names[o.path] = o.id;
    if (o.kind == 'U' && names[o.path] == o.id) names[o.path] = -1;
}

}  // namespace

sim_storage::sim_storage(const std::string &root) : root_(root), dir_(root + "/sim/cache") {
    std::error_code ec;
    real_root_ = fs::weakly_canonical(root, ec).string();
}

std::string sim_storage::rel(const std::string &real) const {
    for (const std::string *r : {&root_, &real_root_})
        if (real.compare(0, r->size() + 1, *r + "/") == 0) return real.substr(r->size());
    return "";
}

bool sim_storage::persistent(const std::string &real) const {
    const std::string p = rel(real);
    if (p.empty()) return false;
    for (const char *ram : {"/tmp/", "/var/", "/dev/", "/sim/"})
        if (p.compare(0, strlen(ram), ram) == 0) return false;
    return true;
}

std::string sim_storage::fd_path(int fd) const {
    char link[64], buf[4096];
    snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    ssize_t n = readlink(link, buf, sizeof(buf) - 1);
    return n > 0 ? std::string(buf, (size_t)n) : std::string();
}

void sim_storage::note_name(const std::string &name, long id) { names_.emplace(name, id); }

long sim_storage::track(const std::string &real, int fd) {
    struct stat st;
    if ((fd >= 0 ? fstat(fd, &st) : lstat(real.c_str(), &st)) != 0) return -1;
    long id = -1;
    for (const auto &i : inodes_)
        if (i.second.dev == st.st_dev && i.second.ino == st.st_ino) id = i.first;
    if (id < 0) {
        id = next_id_++;
        mkdir(dir_.c_str(), 0755);
        std::string link = dir_ + "/ino-" + std::to_string(id);
        if (fd >= 0)
            linkat(AT_FDCWD, ("/proc/self/fd/" + std::to_string(fd)).c_str(), AT_FDCWD, link.c_str(),
                   AT_SYMLINK_FOLLOW);
        else
            ::link(real.c_str(), link.c_str());
        inodes_[id] = {st.st_dev, st.st_ino, false};
    }
    note_name(rel(real), id);
    return id;
}

// Before the first unsynced change of an inode's data: its synced data, kept.
void sim_storage::add_data(long id) {
    inode &in = inodes_[id];
    if (in.has_base) return;
    std::string base = dir_ + "/base-" + std::to_string(id);
    std::ofstream(base, std::ios::binary | std::ios::trunc) << read_whole(dir_ + "/ino-" + std::to_string(id));
    in.has_base = true;
}

void sim_storage::save() {
    if (ops_.empty()) return clear();
    std::ostringstream ss;
    for (const auto &i : inodes_) ss << "inode " << i.first << " " << i.second.has_base << "\n";
    for (const auto &n : names_) ss << "name " << n.second << "\t" << n.first << "\n";
    for (const op &o : ops_)
        ss << "op " << o.kind << " " << o.id << " " << o.off << " " << o.len << " " << o.blob << "\t" << o.path << "\t"
           << o.from << "\n";
    std::string path = dir_ + "/journal";
    std::ofstream(path + ".tmp", std::ios::trunc) << ss.str();
    ::rename((path + ".tmp").c_str(), path.c_str());
}

void sim_storage::clear() {
    std::error_code ec;
    if (!inodes_.empty() || blob_size_ > 0 || fs::exists(dir_, ec)) fs::remove_all(dir_, ec);
    names_.clear();
    inodes_.clear();
    ops_.clear();
    blob_size_ = 0;
    next_id_ = 1;
}

int sim_storage::open(const char *path, int flags, mode_t mode) {
    std::lock_guard<std::mutex> g(mu_);
    if (!persistent(path)) return ::open(path, flags, mode);
    struct stat st;
    const bool existed = stat(path, &st) == 0, trunc = existed && (flags & O_TRUNC) != 0 && st.st_size > 0;
    long id = trunc ? track(path) : -1;
    if (trunc) add_data(id);
    if (!existed && (flags & O_CREAT) != 0) note_name(rel(path), -1);
    int fd = ::open(path, flags, mode);
    if (fd >= 0 && trunc) ops_.push_back({'T', id, 0, 0, 0, "", ""});
    if (fd >= 0 && !existed && (flags & O_CREAT) != 0) ops_.push_back({'C', track(path, fd), 0, 0, 0, rel(path), ""});
    save();
    return fd;
}

ssize_t sim_storage::write(int fd, const void *buf, size_t n) {
    std::lock_guard<std::mutex> g(mu_);
    const std::string real = fd_path(fd);
    if (!persistent(real)) return ::write(fd, buf, n);
    long id = track(real, fd);
    add_data(id);
    const off_t off = lseek(fd, 0, SEEK_CUR);
    const ssize_t w = ::write(fd, buf, n);
    if (w > 0 && id > 0) {
        std::ofstream(dir_ + "/data", std::ios::binary | std::ios::app).write(static_cast<const char *>(buf), w);
        ops_.push_back({'W', id, off, (size_t)w, blob_size_, "", ""});
        blob_size_ += w;
    }
    save();
    return w;
}

int sim_storage::sync(int fd) {
    std::lock_guard<std::mutex> g(mu_);
    if (::fsync(fd) != 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0) return 0;
    const std::string dir = fd_path(fd);
    for (size_t i = 0; i < ops_.size();) {
        const op &o = ops_[i];
        const bool synced = S_ISDIR(st.st_mode) ? is_dir_op(o.kind) && parent(o.path) == rel(dir)
                                                : !is_dir_op(o.kind) && o.kind != 'F' &&
                                                      inodes_[o.id].dev == st.st_dev && inodes_[o.id].ino == st.st_ino;
        if (!synced) {
            ++i;
            continue;
        }
        if (S_ISDIR(st.st_mode)) apply_dir_op(names_, o);
        ops_.erase(ops_.begin() + (long)i);
    }
    for (auto &in : inodes_)
        if (!S_ISDIR(st.st_mode) && in.second.dev == st.st_dev && in.second.ino == st.st_ino && in.second.has_base) {
            in.second.has_base = false;
            ::unlink((dir_ + "/base-" + std::to_string(in.first)).c_str());
        }
    save();
    return 0;
}

int sim_storage::rename(const char *from, const char *to) {
    std::lock_guard<std::mutex> g(mu_);
    if (!persistent(to) || !persistent(from)) return ::rename(from, to);
    long id = track(from);
    struct stat st;
    if (lstat(to, &st) == 0)
        track(to);
    else
        note_name(rel(to), -1);
    int r = ::rename(from, to);
    if (r == 0 && id > 0) ops_.push_back({'R', id, 0, 0, 0, rel(to), rel(from)});
    save();
    return r;
}

int sim_storage::unlink(const char *path) {
    std::lock_guard<std::mutex> g(mu_);
    if (!persistent(path)) return ::unlink(path);
    long id = track(path);
    int r = ::unlink(path);
    if (r == 0 && id > 0) ops_.push_back({'U', id, 0, 0, 0, rel(path), ""});
    save();
    return r;
}

void sim_storage::flash_cut(const std::string &dev, off_t off, const void *buf, size_t n) {
    std::lock_guard<std::mutex> g(mu_);
    mkdir(dir_.c_str(), 0755);
    std::ofstream(dir_ + "/data", std::ios::binary | std::ios::app).write(static_cast<const char *>(buf), (long)n);
    ops_.push_back({'F', -1, off, n, blob_size_, rel(dev), ""});
    blob_size_ += (off_t)n;
    save();
}

void sim_storage::power_cut() {
    int fd = ::open((root_ + "/sim/power-cut").c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd >= 0) close(fd);
}

// ---------------------------------------------------------------------------
// The states a cut can leave, and laying one out.

std::vector<sim_storage::state> sim_storage::states_of(const std::vector<op> &ops) {
    std::vector<int> page;  // the page cache's operations
    int flash = -1, last_write = -1;
    for (int i = 0; i < (int)ops.size(); i++) {
        if (ops[(size_t)i].kind == 'F') {
            flash = i;
            continue;
        }
        page.push_back(i);
        if (ops[(size_t)i].kind == 'W') last_write = i;
    }
    const int n = (int)page.size();
    std::vector<state> out;
    std::set<std::vector<bool>> seen;
    auto add = [&](auto keep) {
        state s;
        s.kept.assign(ops.size(), false);
        for (int j = 0; j < n; j++) s.kept[(size_t)page[(size_t)j]] = keep(j);
        if (seen.insert(s.kept).second) out.push_back(s);
        return s;
    };
    if (n <= 4) {
        for (int mask = 0; mask < 1 << n; mask++) add([&](int j) { return (mask >> j & 1) != 0; });
    } else {
        add([](int) { return false; });
        add([](int) { return true; });
        for (int k = 0; k < n; k++) {
            add([&](int j) { return j != k; });
            add([&](int j) { return j == k; });
        }
        for (int p = 1; p < n; p++) add([&](int j) { return j < p; });
    }
    if (last_write >= 0) {
        const op &w = ops[(size_t)last_write];
        const off_t first = (w.off / kSector + 1) * kSector, last = ((w.off + (off_t)w.len - 1) / kSector) * kSector;
        std::set<off_t> ends;
        if (first <= last) ends = {first, first + (last - first) / 2 / kSector * kSector, last};
        for (off_t e : ends) {
            state s;
            s.kept.assign(ops.size(), true);
            s.torn = last_write;
            s.torn_end = e;
            out.push_back(s);
        }
    }
    if (flash >= 0) {
        // The cut block: nothing of it, one sector, half, all but its last sector.
        const op &f = ops[(size_t)flash];
        const off_t sectors = ((off_t)f.len + kSector - 1) / kSector;
        std::set<off_t> kept = {0, 1, sectors / 2, sectors - 1};
        std::vector<state> with;
        for (const state &s : out)
            for (off_t k : kept)
                if (k >= 0 && k < sectors && with.size() < 64) {
                    with.push_back(s);
                    with.back().kept[(size_t)flash] = true;
                    with.back().flash_end = f.off + k * kSector;
                }
        out = with;
    }
    return out;
}

std::string sim_storage::state::what() const {
    std::string s = "kept:";
    for (size_t i = 0; i < kept.size(); i++) s += kept[i] ? " " + std::to_string(i) : "";
    if (torn >= 0) s += "; operation " + std::to_string(torn) + " torn at byte " + std::to_string(torn_end);
    if (flash_end >= 0) s += "; flash written up to byte " + std::to_string(flash_end);
    return s + " of " + std::to_string(kept.size());
}

void sim_storage::apply(const state &s) {
    std::map<std::string, long> names = names_;
    for (size_t i = 0; i < ops_.size(); i++)
        if (s.kept[i] && is_dir_op(ops_[i].kind)) apply_dir_op(names, ops_[i]);
    const std::string blob = read_whole(dir_ + "/data");
    for (const auto &n : names) {
        const std::string real = root_ + n.first;
        ::unlink(real.c_str());
        if (n.second < 0) continue;
        const std::string id = std::to_string(n.second);
        std::string data = read_whole(dir_ + (inodes_[n.second].has_base ? "/base-" : "/ino-") + id);
        for (size_t i = 0; i < ops_.size(); i++) {
            const op &o = ops_[i];
            if (!s.kept[i] || o.id != n.second || (o.kind != 'W' && o.kind != 'T')) continue;
            if (o.kind == 'T') {
                data.resize((size_t)o.off);
                continue;
            }
            const size_t len = (int)i == s.torn ? (size_t)(s.torn_end - o.off) : o.len;
            if (data.size() < (size_t)o.off + len) data.resize((size_t)o.off + len);
            data.replace((size_t)o.off, len, blob, (size_t)o.blob, len);
        }
        struct stat st;
        mode_t mode = stat((dir_ + "/ino-" + id).c_str(), &st) == 0 ? st.st_mode & 07777 : 0644;
        std::ofstream(real, std::ios::binary | std::ios::trunc) << data;
        chmod(real.c_str(), mode);
    }
    for (const op &o : ops_) {
        if (o.kind != 'F' || s.flash_end <= o.off) continue;
        int fd = ::open((root_ + o.path).c_str(), O_WRONLY | O_CLOEXEC);
        if (fd < 0) continue;
        ssize_t w = pwrite(fd, blob.data() + o.blob, (size_t)(s.flash_end - o.off), o.off);
        (void)w;
        close(fd);
    }
}

void sim_storage::power_on() {
    std::lock_guard<std::mutex> g(mu_);
    const std::string marker = root_ + "/sim/power-cut";
    bool cut = false;
    const std::string chosen = read_whole(marker, &cut);
    if (cut) {
        std::istringstream in(read_whole(dir_ + "/journal"));
        std::string line;
        while (std::getline(in, line)) {
            std::istringstream w(line);
            std::string what;
            w >> what;
            if (what == "inode") {
                long id = 0;
                bool base = false;
                w >> id >> base;
                inodes_[id] = {0, 0, base};
            } else if (what == "name") {
                long id = 0;
                w >> id;
                names_[line.substr(line.find('\t') + 1)] = id;
            } else if (what == "op") {
                op o{};
                w >> o.kind >> o.id >> o.off >> o.len >> o.blob;
                const size_t a = line.find('\t'), b = line.find('\t', a + 1);
                o.path = line.substr(a + 1, b - a - 1);
                o.from = line.substr(b + 1);
                ops_.push_back(o);
            }
        }
        const std::vector<state> states = states_of(ops_);
        size_t k = (size_t)atol(chosen.c_str());
        if (k >= states.size()) k = 0;
        apply(states[k]);
        std::ofstream(root_ + "/sim/power-states", std::ios::trunc) << states.size() << "\n"
                                                                    << states[k].what() << "\n";
        ::unlink(marker.c_str());
    }
    clear();
}
