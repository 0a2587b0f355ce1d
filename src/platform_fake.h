// The recording platform of the unit, fuzz and Linux tests: module paths under a
// temporary root, and a record of every shell line, ioctl and sleep instead of doing
// them (interface requests may also be passed on to the kernel).
#pragma once

#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "wifi_platform.h"

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

    // What the shell prints for a command line (after " 2>&1" is stripped).
    std::map<std::string, std::string> shell_output;
    int shell_status = 0;
    bool flash = false;  // carry out the flash lines on the partitions' files under the root
    bool shell_open_fails = false;
    // Results of ioctls by request number (default 0); errno set to EIO on failure.
    std::map<unsigned long, int> ioctl_result;
    int interface_flags = 0x1043;  // what SIOCGIFFLAGS reports
    int channel = 6;               // what SIOCGIWFREQ reports
    std::string mac_table;         // the bytes the association-table request returns
    unsigned char hwaddr[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};  // what SIOCGIFHWADDR reports
    bool socket_fails = false;
    // When set, interface and driver requests are recorded and then issued to the
    // kernel for real (tests on real interfaces, inside a network namespace).
    bool real_netif = false;
    time_t clock = 1000;
    // File times in whole seconds, as on the module's flash file system.
    bool coarse_file_times = false;

    std::vector<std::string> shell_lines;  // every line run or opened, in order
    std::vector<FakeIoctl> ioctls;
    unsigned slept_ms = 0;
    std::function<void(unsigned ms)> on_sleep;  // called after each sleep is recorded
    std::function<void(const std::string &line)> on_shell;  // called as each line is run
    std::vector<int> link_events;

    int map_path(const char *module_path, char *out, size_t out_size) override;
    int file_stamp(const char *module_path, wifi_file_stamp *out) override;
    int shell_run(const char *cmdline) override;
    FILE *shell_open(const char *cmdline) override;
    int shell_close(FILE *fp) override;
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
    void flash_line(const std::string &line);
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
