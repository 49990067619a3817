// ycan bridge --all: every adapter plugged in becomes its interfaces, each
// adapter bridged by a process of its own (see bridge_supervisor.cpp).
#pragma once

#include <string>

namespace ycantool {

struct SupervisorOptions {
    std::string configPath = YCAN_BRIDGES_CONF;
    bool configGiven = false;  // a missing file is then an error
    bool create = false;       // the bridges make missing interfaces
    bool checkOnly = false;    // read the configuration, say whether it is good
};

// Until SIGINT or SIGTERM (0); 2 for a bad configuration, 1 when USB cannot
// be used.
int bridgeAll(const SupervisorOptions& o);

}  // namespace ycantool
