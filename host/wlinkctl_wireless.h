// wlinkctl verbs for the wireless side: stations, site survey and WPS.
#pragma once

#include <functional>
#include <optional>
#include <string>

namespace wlinkctl {

// Sends one command and gives its reply, or nullopt (already reported) when none came.
using Send = std::function<std::optional<std::string>(const std::string& cmd)>;

// Each returns the tool's exit status: 0, 2 when a reply was "+ERR", 1 when one never came.
int run_stations(const Send& send);
int run_scan(const Send& send);
// Starts WPS and asks for its status every poll_ms until the run ends.
int run_wps(const Send& send, int poll_ms);

}  // namespace wlinkctl
