#pragma once
// The gateway's address and the ports of the way to it: the command line fills them in, the
// layers that talk to the gateway read them.
#include <string>

namespace plat {

// Every address and port the program uses. The defaults are the real gateway's.
struct Endpoints {
    std::string gateway = "192.168.0.1";  // replaced by --gateway
    bool bGatewayOverridden = false;
    int webPort = 80;
    int settingPort = 3535;
    int linkPort = 4536;                  // 0: the system picks
    std::string announceHost = "255.255.255.255";
    int announcePort = 3536;
    std::string announceAddress;          // empty: the host's own address
};

}  // namespace plat
