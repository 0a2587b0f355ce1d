// The simulated module's platform: module files under a root folder, and a module
// of its own (interfaces, DHCP service, driver) kept in memory, written to
// <root>/sim/state and logged line by line to <root>/sim/events. Its jobs have a file
// each: the state and events (sim_module.cpp), the system operations
// (sim_actions.cpp), the driver's requests (sim_driver.cpp) and the files its answers
// come from (sim_driver_files.cpp), the clock (sim_clock.cpp), and the storage with
// its power cuts (sim_platform.cpp).
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>

#include "sim_storage.h"
#include "wifi_platform.h"

struct sim_options {
    std::string root;
    std::string bind = "127.0.0.1";
    int udp_port = 8888;
    int upgrade_port = 9999;
    int time_scale = 1;
    std::string tty;  // the host end of the serial line, for the ready line
};

// The exit status with which a simulated daemon asks to be started again.
enum { SIM_REBOOT_STATUS = 75 };

class sim_platform final : public wifi_platform {
public:
    explicit sim_platform(const sim_options &opt);

    // The module as it comes up: radio up with the profile, bridge with the LAN address.
    void boot();

    int map_path(const char *module_path, char *out, size_t out_size) override;
    int run_op(wifi_op op) override;
    int vlan_set(const char *words) override;
    int root_password(const char *password) override;
    int flash_copy(const char *module_file, int mtd) override;
    int switch_reg_read(char *out, size_t size) override;
    int netif_socket(int type) override;
    int netif_ioctl(int fd, unsigned long request, void *arg) override;
    void sleep_ms(unsigned ms) override;
    void pause_ms(unsigned ms) override;
    time_t now() override;
    int64_t monotonic_ms() override;
    int poll(struct pollfd *fds, nfds_t nfds, int timeout_ms) override;
    void bind_addr(wifi_port_id id, struct sockaddr_in *addr) override;
    void link_event(wifi_link_event ev) override;
    void command_start() override;
    int file_open(const char *path, int flags, mode_t mode) override;
    ssize_t file_write(int fd, const void *buf, size_t n) override;
    int file_sync(int fd) override;
    int file_rename(const char *from, const char *to) override;
    int file_unlink(const char *path) override;
    long long flash_size(const char *module_dev) override;

private:
    // Power cuts and I/O errors on demand: DIR/sim/crash-at and DIR/sim/fail-at hold a
    // number N, read (and removed) at the first change to the outside world after a
    // command started. From then on every such call is counted, across threads, that
    // first one included; the Nth one of crash-at kills the daemon instead of being
    // made, the Nth one of fail-at fails with EIO. fault() is called before each such
    // call: true when it must fail. A cut runs `at_cut` first (a flash write notes the
    // block it leaves half-written), and leaves the storage as sim_storage tells.
    bool fault(const std::function<void()> &at_cut = nullptr);
    void load_faults();
    std::atomic<bool> check_faults_{false};
    std::atomic<long> effects_{0}, crash_at_{0}, fail_at_{0};
    struct timespec fault_dir_mtime_ {};

    struct netif {
        bool up = false;
        std::string addr = "-";
        std::string mask = "-";
    };

    void event(const std::string &line);
    void save_state();
    // One system operation: checked against the faults, logged, carried out by act(),
    // which returns its status and fills what it prints.
    int perform(wifi_op op, const std::string &value, int mtd, char *out, size_t out_size);
    int act(wifi_op op, const std::string &value, int mtd, std::string *output);
    void load_radio();
    std::string module_file(const std::string &module_path) const;
    std::string profile_value(const std::string &key) const;
    int wireless_request(unsigned long request, void *arg);
    // The simulated driver's answers (stations, WPS status, hardware address), from
    // the files under DIR/sim.
    std::string sim_file(const std::string &name, bool *ok = nullptr) const;
    void write_module_file(const std::string &module_path, const std::string &text) const;
    int driver_show(const std::string &name);
    void driver_mac_table(void *buf, size_t len) const;
    void hwaddr(unsigned char mac[6]) const;
    // The flash operations: a file copied to the start of a partition (refused, as by
    // flashcp, when it does not fit), an erase, the delay of DIR/sim/flash-delay-ms.
    int flash_copy(const std::string &src, const std::string &dev, bool must_fit, std::string *output);
    int flash_erase(const std::string &dev, size_t len, std::string *output);
    void flash_delay();

    sim_options opt_;
    sim_storage storage_{opt_.root};
    std::mutex mu_;
    std::map<std::string, netif> ifs_;
    bool dhcp_running_ = false;
    std::string vlan_ = "none";
    std::string radio_ssid_;
    int radio_channel_ = 0;
    std::string ssh_ = "running";
    std::string root_password_;
    bool serial_up_ = false, udp_up_ = false;
    struct timespec start_ {};
};
