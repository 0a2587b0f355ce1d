// The recording platform of the unit, fuzz and Linux tests: module paths under a
// temporary root, and a record of every system operation, ioctl and sleep instead of
// doing them (interface requests may also be passed on to the kernel).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

#include "wifi_platform.h"

// One system operation as the daemon asked for it.
struct FakeOp {
    wifi_op op;
    std::string text = "";  // the VLAN words, the password, the file copied
    int mtd = -1;           // the partition copied to
    bool operator==(const FakeOp &o) const { return op == o.op && text == o.text && mtd == o.mtd; }
};
inline std::ostream &operator<<(std::ostream &os, const FakeOp &o) {
    os << wifi_op_name(o.op);
    if (!o.text.empty()) os << " " << o.text;
    if (o.mtd >= 0) os << " " << o.mtd;
    return os;
}
using FakeOps = std::vector<FakeOp>;

struct FakeIoctl {
    unsigned long request;
    std::string ifname;
    std::string addr;  // dotted address for SIOCSIFADDR/SIOCSIFNETMASK
    int flags;         // for SIOCSIFFLAGS
    std::string text;  // for wireless requests carrying text
    int length = -1;   // u.data.length and u.data.flags of wireless requests
    int data_flags = -1;
};

class FakePlatform final : public wifi_platform {
public:
    // Creates a fresh temporary root under `base`; removed by the destructor.
    explicit FakePlatform(const char *base = "/tmp");
    ~FakePlatform();

    const std::string &root() const { return root_; }
    // Path of a module file under the root.
    std::string path(const std::string &module_path) const { return root_ + module_path; }
    // The factory profile (at both its paths) and DHCP configuration.
    void seed_factory_files() const;
    // Writes a module file (creating its folders); reads one back ("" when missing).
    void write_file(const std::string &module_path, const std::string &content) const;
    std::string read_file(const std::string &module_path) const;
    bool exists(const std::string &module_path) const;

    // What the switch tool prints; the status every operation returns (but the two
    // whose output is read, which give 0, or -1 when `tools_fail`).
    std::string switch_output;
    int op_status = 0;
    bool tools_fail = false;
    bool flash = false;  // carry out the flash operations on the partitions' files under the root
    // Results of ioctls by request number (default 0); errno set to EIO on failure.
    std::map<unsigned long, int> ioctl_result;
    int interface_flags = 0x1043;                                    // what SIOCGIFFLAGS reports
    int channel = 6;                                                 // what SIOCGIWFREQ reports
    std::string mac_table;                                           // the bytes the association-table request returns
    unsigned char hwaddr[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};  // what SIOCGIFHWADDR reports
    bool socket_fails = false;
    // When set, interface and driver requests are recorded and then issued to the
    // kernel for real (tests on real interfaces, inside a network namespace).
    bool real_netif = false;
    time_t clock = 1000;
    // File times in whole seconds, as on the module's flash file system.
    bool coarse_file_times = false;

    FakeOps ops;  // every system operation, in order
    std::vector<FakeIoctl> ioctls;
    unsigned slept_ms = 0;
    std::function<void(unsigned ms)> on_sleep;    // called after each sleep is recorded
    std::function<void(const FakeOp &op)> on_op;  // called as each operation is asked for
    std::vector<int> link_events;

    int map_path(const char *module_path, char *out, size_t out_size) override;
    int file_stamp(const char *module_path, wifi_file_stamp *out) override;
    int run_op(wifi_op op) override { return record({op}); }
    int vlan_set(const char *words) override { return record({WIFI_OP_VLAN_SET, words}); }
    int root_password(const char *password) override { return record({WIFI_OP_ROOT_PASSWORD, password}); }
    int flash_copy(const char *module_file, int mtd) override { return record({WIFI_OP_FLASH_COPY, module_file, mtd}); }
    int switch_reg_read(char *out, size_t size) override;
    int netif_socket(int type) override;
    int netif_ioctl(int fd, unsigned long request, void *arg) override;
    void sleep_ms(unsigned ms) override;
    time_t now() override { return clock; }
    int64_t mono_ms = 0;  // the monotonic clock, moved on by every recorded sleep too
    int64_t monotonic_ms() override { return mono_ms + slept_ms; }
    int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) override;
    void bind_addr(wifi_port_id id, struct sockaddr_in *addr) override;
    void link_event(wifi_link_event ev) override;
    long long flash_size(const char *module_dev) override;  // the file's size under the root

private:
    int record(const FakeOp &op);
    void flash_op(const FakeOp &op);
    std::string root_;
    std::mutex mu_;
};

// Installs a FakePlatform for the lifetime of the object and restores the target
// platform and the process-wide state afterwards.
class FakePlatformScope {
public:
    FakePlatformScope();
    ~FakePlatformScope();
    FakePlatformScope(const FakePlatformScope &) = delete;
    FakePlatformScope &operator=(const FakePlatformScope &) = delete;
    FakePlatform &operator*() { return plat_; }
    FakePlatform *operator->() { return &plat_; }

private:
    FakePlatform plat_;
};

// The factory files shipped with the simulated module, for seeding a root.
std::string factory_profile_text();
std::string factory_dhcp_text();
