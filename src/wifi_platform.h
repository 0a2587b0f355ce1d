// The platform seam: every touch of the world outside the daemon's own memory
// goes through one `wifi_platform`, chosen once at start with wifi_platform_set().
//
//   - target (platform_target.cpp): the module itself, the exact paths, command
//     lines, ioctls and ports;
//   - sim (sim/): the simulated module, paths under a root folder, system operations
//     and driver requests carried out in memory and logged as events;
//   - fake (platform_fake.cpp): records every call, for the tests.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <sys/types.h>
#include <time.h>
#include <unistd.h>

struct sockaddr_in;

// The module's ports.
#define WIFI_UDP_PORT 8888
#define WIFI_UPGRADE_PORT 9999

// Which link or server a socket address is asked for.
enum wifi_port_id {
    WIFI_PORT_UDP = 0,      // the UDP command link, port 8888 on the module
    WIFI_PORT_UPGRADE = 1,  // the upgrade server, port 9999 on the module
};

// Events the core reports to the platform (the sim uses them for its ready line).
enum wifi_link_event {
    WIFI_LINK_SERIAL_UP = 0,
    WIFI_LINK_UDP_UP = 1,
};

// What tells a copy of a file read earlier from a file that has changed since: its
// identity, size and times. `settled` is true when the times lie so far in the past,
// on the clock the file system stamps files with, that any later change is bound to
// give the file other times (coarse times, such as whole seconds, need longer).
struct wifi_file_stamp {
    uint64_t dev, ino;
    int64_t size;
    int64_t mtime_ns, ctime_ns;
    bool settled;
};

// The stamp of a file at a real path; `whole_seconds` drops the fractions of its times,
// as a file system with coarse times (jffs2) would. 0, or -1.
int wifi_stat_stamp(const char *path, bool whole_seconds, wifi_file_stamp *out);

// What the module has its system tools do. On the module each is one command line,
// run through the shell and waited for (the table of platform_target.cpp); the sim
// and the fake act on the operation itself.
enum wifi_op {
    WIFI_OP_DHCP_STOP = 0,  // stop the DHCP service
    WIFI_OP_DHCP_START,     // start it
    WIFI_OP_VLAN_SET,       // set the VLANs: the words of the command, passed on
    WIFI_OP_VLAN_CLEAR,     // clear them
    WIFI_OP_SWITCH_READ,    // read the switch's port register, keeping what it prints
    WIFI_OP_REBOOT,         // reboot the module, dropping what it prints (0, or -1 when not started)
    WIFI_OP_SURVEY_START,   // start a site survey
    WIFI_OP_SURVEY_LIST,    // list the survey into WIFI_SCAN_FILE, as the scan spells it
    WIFI_OP_SURVEY_RELIST,  // the same, as the sensitivity query spells it
    WIFI_OP_SSH_STOP,       // stop the SSH server
    WIFI_OP_SSH_START,      // start it, when it is installed
    WIFI_OP_ROOT_PASSWORD,  // set root's password
    WIFI_OP_FLASH_COPY,     // copy a file to the start of flash partition /dev/mtdN
    WIFI_OP_RECORD_ERASE,   // erase the version record's block on /dev/mtd2
    WIFI_OP_RECORD_WRITE,   // write that block from its staged file
    WIFI_OP_COUNT
};

// A short name for each operation ("dhcp-stop"), for the logs of the sim and the fake.
const char *wifi_op_name(wifi_op op);

// The size of the buffer that holds the longest command line of an operation.
#define WIFI_OP_LINE_SIZE 128

// The command line the module runs for an operation, into out: `text` is the value of
// the operations that take one (the VLAN words, the password, the file copied; ignored
// by the others), `mtd` the partition copied to. -1 when the value is not one the line
// may carry or the line does not fit in WIFI_OP_LINE_SIZE (or size) bytes.
int wifi_op_cmdline(wifi_op op, const char *text, int mtd, char *out, size_t size);

class wifi_platform {
public:
    // Files. Maps a module path such as "/config/mt7628.dat" to the path to open.
    // Returns 0, or -1 when the result does not fit.
    virtual int map_path(const char *module_path, char *out, size_t out_size) = 0;
    // The stamp of a module file: 0, or -1 when it cannot be examined. By default a
    // stat() of the mapped path (defined here, so that no file holds this class's
    // virtual table alone).
    virtual int file_stamp(const char *module_path, wifi_file_stamp *out) {
        char path[512];
        if (map_path(module_path, path, sizeof(path)) != 0) return -1;
        return wifi_stat_stamp(path, false, out);
    }

    // The module's system tools (see wifi_op). Each call returns the tool's status as
    // system() gives it: 0 when it succeeded.
    virtual int run_op(wifi_op op) = 0;                            // an operation that takes no value
    virtual int vlan_set(const char *words) = 0;                   // WIFI_OP_VLAN_SET
    virtual int root_password(const char *password) = 0;           // WIFI_OP_ROOT_PASSWORD
    virtual int flash_copy(const char *module_file, int mtd) = 0;  // WIFI_OP_FLASH_COPY
    // WIFI_OP_SWITCH_READ: what the tool printed, standard error too, kept as
    // wifi_read_output() keeps it. 0, or -1 when the tool could not be started.
    virtual int switch_reg_read(char *out, size_t size) = 0;

    // Interface and wireless-driver ioctls. netif_socket() opens the short-lived
    // AF_INET socket the request is issued on; netif_ioctl() issues one request on it.
    virtual int netif_socket(int type) = 0;
    virtual int netif_ioctl(int fd, unsigned long request, void *arg) = 0;

    // Clock, sleeps and waits.
    virtual void sleep_ms(unsigned ms) = 0;
    // A short pause within one exchange (between the frames of one message), after
    // which the daemon goes on at once: the log may stay unwritten until the next wait.
    virtual void pause_ms(unsigned ms) { sleep_ms(ms); }
    virtual time_t now() = 0;
    // Milliseconds of a clock that only moves forward, whatever the wall clock does.
    virtual int64_t monotonic_ms() = 0;
    virtual int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) = 0;

    // The local address a link or server binds.
    virtual void bind_addr(wifi_port_id id, struct sockaddr_in *addr) = 0;

    // A link is up (socket bound, serial device open).
    virtual void link_event(wifi_link_event ev) = 0;

    // A command is about to be handled (the sim reads its fault files here).
    virtual void command_start() {}

    // Changes to files: every call that creates, writes, syncs, renames or removes a
    // file goes through these, so that a platform can cut the power or fail the call
    // at any one of them. They behave as open(2), write(2), fsync(2), rename(2) and
    // unlink(2) on paths already mapped with map_path(); the defaults are those calls.
    virtual int file_open(const char *path, int flags, mode_t mode) { return ::open(path, flags, mode); }
    virtual ssize_t file_write(int fd, const void *buf, size_t n) { return ::write(fd, buf, n); }
    virtual int file_sync(int fd) { return ::fsync(fd); }
    virtual int file_rename(const char *from, const char *to) { return ::rename(from, to); }
    virtual int file_unlink(const char *path) { return ::unlink(path); }

    // The size in bytes of the flash partition behind a module device such as
    // "/dev/mtd5"; -1 when it cannot be told.
    virtual long long flash_size(const char *module_dev) = 0;

protected:
    // Platforms live for the whole process and are never deleted through this type.
    ~wifi_platform() = default;
};

// The platform in force. Set once, before the link threads start.
wifi_platform &wifi_plat();
void wifi_platform_set(wifi_platform *p);

// The target platform (the module's own), owned by platform_target.cpp.
wifi_platform *wifi_platform_target();

// Convenience: the mapped path of a module file, into a caller's buffer.
// Falls back to an empty text (which no open succeeds on) when it does not fit.
const char *wifi_path(const char *module_path, char *buf, size_t size);
