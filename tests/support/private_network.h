#pragma once
// A private virtual network for one test (scripts/netns): a gateway namespace and a PC namespace
// joined by one veth pair and nothing else, made by the test and removed when it ends.
//
// Network rule of the tests: in the host's own namespace every test talks to 127.0.0.1 on ports
// the system picks — never 192.168.x.x, never a broadcast address, never the real ARP flush.
// Those (the tool's real defaults: 192.168.0.1, ports 80, 3535, 4536, the UDP broadcast to
// 255.255.255.255:3536, the ARP flush) are used only inside a network made here, whose namespaces
// hold nothing but each other: gateway 192.168.0.1/24, PC 192.168.0.100/24, no default route (and
// with `wan` a third namespace behind a second adapter of the PC that carries its default route).
// Where namespaces cannot be made (not root, no `ip`), Skip() gives the one line to skip with.
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>

#include "platform/non_copyable.h"
#include "tests/support/tool_harness.h"

namespace private_network {

inline const std::string kScript = std::string(RK_SOURCE_DIR) + "/scripts/netns";

// Empty when namespaces can be made here, else why not.
inline std::string CannotMake() {
    static const std::string why = [] {
        std::string out = tool_harness::Shell(kScript + " check 2>&1");
        while (!out.empty() && out.back() == '\n') out.pop_back();
        return out;
    }();
    return why;
}

class Network : private plat::NonCopyable {
public:
    // `options`: scripts/netns up options ("--wan", "--pc-address 10.0.0.100/24").
    explicit Network(const std::string& options = "") {
        static std::atomic<int> counter{0};
        name = "rkn-" + std::to_string(::getpid()) + "-n" + std::to_string(counter++);
        const std::string command = kScript + " up " + name + " " + options + " 2>&1";
        error = tool_harness::Shell(command);
        bUp = tool_harness::Shell(kScript + " exec " + name + " pc cat /sys/class/net/eth0/operstate 2>/dev/null") == "up\n";
    }
    ~Network() { std::system((kScript + " down " + name).c_str()); }

    // "NAME-gw", "NAME-pc", "NAME-wan".
    std::string Namespace(const std::string& side) const { return name + "-" + side; }
    // The command line that runs `program args` inside a side's namespace.
    std::vector<std::string> Inside(const std::string& side, const std::string& program,
                                    const std::vector<std::string>& args) const {
        std::vector<std::string> full = {"netns", "exec", Namespace(side), program};
        full.insert(full.end(), args.begin(), args.end());
        return full;
    }

    std::string name;
    bool bUp = false;
    std::string error;  // the script's output when it failed
};

// Runs `program args` in a side's namespace in the sandbox (SpawnProgram's environment).
inline tool_harness::Child Spawn(const Network& net, const std::string& side, const tool_harness::Sandbox& box,
                                 const std::string& program, const std::vector<std::string>& args,
                                 const std::string& tag, const std::map<std::string, std::string>& env = {}) {
    return tool_harness::SpawnProgram(box, "/usr/sbin/ip", net.Inside(side, program, args), tag, env);
}

}  // namespace private_network

// Skips the test when no private network can be made here, with the reason in one line.
#define RK_NEED_PRIVATE_NETWORK()                                                              \
    do {                                                                                       \
        const std::string why_ = private_network::CannotMake();                                \
        if (!why_.empty()) GTEST_SKIP() << "private network namespaces cannot be made: " << why_; \
    } while (0)
