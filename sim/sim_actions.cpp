// The simulated module's system operations, carried out on its state and its flash
// and logged as events ("op dhcp-stop", "op vlan-set WORDS", "op flash-copy FILE N").
#include "sim_platform.h"

#include <stdio.h>
#include <unistd.h>

#include <fstream>
#include <thread>

#include "wifi_survey.h"
#include "wifi_util.h"

namespace {

const char kDefaultSwitchReg[] = "switch reg 0x80 value=06\n";
const char kDefaultSurvey[] = "ra0       get_site_survey:\nCh  SSID  BSSID  Security  Signal(%)  W-Mode\n";

// The operations whose output the daemon reads; they answer 0, or -1 when not started.
bool read_back(wifi_op op) { return op == WIFI_OP_SWITCH_READ || op == WIFI_OP_REBOOT; }

}  // namespace

int sim_platform::run_op(wifi_op op) {
    if (op == WIFI_OP_VLAN_SET || op == WIFI_OP_ROOT_PASSWORD || op == WIFI_OP_FLASH_COPY) return -1;
    return perform(op, "", -1, nullptr, 0);
}
int sim_platform::vlan_set(const char *words) { return perform(WIFI_OP_VLAN_SET, words, -1, nullptr, 0); }
int sim_platform::root_password(const char *password) {
    return perform(WIFI_OP_ROOT_PASSWORD, password, -1, nullptr, 0);
}
int sim_platform::flash_copy(const char *module_file, int mtd) {
    return perform(WIFI_OP_FLASH_COPY, module_file, mtd, nullptr, 0);
}
int sim_platform::switch_reg_read(char *out, size_t size) {
    return size < 1 ? -1 : perform(WIFI_OP_SWITCH_READ, "", -1, out, size);
}

int sim_platform::perform(wifi_op op, const std::string &value, int mtd, char *out, size_t out_size) {
    if (fault()) return read_back(op) ? -1 : 1 << 8;
    std::string line = std::string("op ") + wifi_op_name(op);
    if (!value.empty()) line += " " + value;
    if (mtd >= 0) line += " " + std::to_string(mtd);
    event(line);
    std::string text;
    int status = act(op, value, mtd, &text);
    if (!read_back(op)) {
        // Only errors are simulated; they go to standard error, as the tools' would.
        if (!text.empty()) fputs(text.c_str(), stderr);
        return status;
    }
    FILE *fp = tmpfile();
    if (fp == nullptr) return -1;
    fwrite(text.data(), 1, text.size(), fp);
    rewind(fp);
    if (out != nullptr) wifi_read_output(fp, out, out_size);
    fclose(fp);
    return 0;
}

int sim_platform::act(wifi_op op, const std::string &value, int mtd, std::string *output) {
    std::unique_lock<std::mutex> g(mu_);
    switch (op) {
        case WIFI_OP_DHCP_STOP:
        case WIFI_OP_DHCP_START:
            dhcp_running_ = op == WIFI_OP_DHCP_START;
            save_state();
            return 0;
        case WIFI_OP_VLAN_SET:
        case WIFI_OP_VLAN_CLEAR:
            vlan_ = op == WIFI_OP_VLAN_SET ? value : "none";
            save_state();
            return 0;
        case WIFI_OP_SSH_STOP:
        case WIFI_OP_SSH_START:
            ssh_ = op == WIFI_OP_SSH_START ? "running" : "stopped";
            save_state();
            return 0;
        case WIFI_OP_ROOT_PASSWORD:
            root_password_ = value;
            save_state();
            return 0;
        case WIFI_OP_SWITCH_READ: {
            bool ok = false;
            std::string reg = sim_file("switch-reg80", &ok);
            *output = ok ? reg : kDefaultSwitchReg;
            return 0;
        }
        case WIFI_OP_SURVEY_START:
            return 0;
        case WIFI_OP_SURVEY_LIST:
        case WIFI_OP_SURVEY_RELIST: {
            bool ok = false;
            std::string text = sim_file("survey", &ok);
            std::ofstream(module_file("/" WIFI_SCAN_FILE), std::ios::binary | std::ios::trunc)
                << (ok ? text : kDefaultSurvey);
            return 0;
        }
        case WIFI_OP_REBOOT: {
            // The module goes down shortly after; the supervisor starts a fresh daemon.
            unsigned delay = 1000 / (unsigned)opt_.time_scale;
            std::thread([delay] {
                usleep(delay * 1000);
                fflush(stdout);
                _exit(SIM_REBOOT_STATUS);
            }).detach();
            return 0;
        }
        default:
            break;
    }
    // The flash operations change no state kept here: they run, and take their time,
    // without the lock, so the driver's requests and other operations go on meanwhile.
    g.unlock();
    switch (op) {
        case WIFI_OP_FLASH_COPY:
            flash_delay();
            return flash_copy(value, "/dev/mtd" + std::to_string(mtd), true, output);
        case WIFI_OP_RECORD_ERASE:
            return flash_erase("/dev/mtd2", 0x10000, output);
        case WIFI_OP_RECORD_WRITE:
            return flash_copy("/tmp/mtd2_buf", "/dev/mtdblock2", false, output);
        default:
            return 127 << 8;
    }
}
