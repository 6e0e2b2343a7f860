// Addresses on Linux: rtnetlink messages written directly on a NETLINK_ROUTE socket (one request,
// one acknowledgement, and the change notifications of two groups: a library for it would add a
// dependency for that little), an ARP probe on a packet socket, capabilities from /proc/self/status.
#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <net/if.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/address.h"
#include "platform/clock.h"

namespace plat {

namespace {

constexpr int CAP_NET_ADMIN_BIT = 12;
// The longest the ARP probe waits between two looks at the thread's stop request.
constexpr int PROBE_SLICE_MS = 50;
constexpr int PROBES = 3;

struct Fd {
    int fd;
    explicit Fd(int f) : fd(f) {}
    ~Fd() {
        if (fd >= 0) ::close(fd);
    }
};

void AddAttr(char* buf, nlmsghdr* h, unsigned short type, const void* data, size_t len) {
    auto* rta = reinterpret_cast<rtattr*>(buf + NLMSG_ALIGN(h->nlmsg_len));
    rta->rta_type = type;
    rta->rta_len = static_cast<unsigned short>(RTA_LENGTH(len));
    std::memcpy(RTA_DATA(rta), data, len);
    h->nlmsg_len = NLMSG_ALIGN(h->nlmsg_len) + RTA_ALIGN(rta->rta_len);
}

// One RTM_NEWADDR or RTM_DELADDR and its acknowledgement (within 2 s).
AddressResult Change(int type, unsigned index, uint32_t ip, int prefix) {
    AddressResult r;
    Fd s(::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC, NETLINK_ROUTE));
    if (s.fd < 0) {
        r.error = std::string("netlink: ") + std::strerror(errno);
        return r;
    }
    alignas(nlmsghdr) char buf[256] = {};
    auto* h = reinterpret_cast<nlmsghdr*>(buf);
    h->nlmsg_len = NLMSG_LENGTH(sizeof(ifaddrmsg));
    h->nlmsg_type = static_cast<unsigned short>(type);
    h->nlmsg_flags = NLM_F_REQUEST | NLM_F_ACK | (type == RTM_NEWADDR ? NLM_F_CREATE | NLM_F_EXCL : 0);
    h->nlmsg_seq = 1;
    auto* ifa = reinterpret_cast<ifaddrmsg*>(NLMSG_DATA(h));
    ifa->ifa_family = AF_INET;
    ifa->ifa_prefixlen = static_cast<unsigned char>(prefix);
    ifa->ifa_scope = RT_SCOPE_UNIVERSE;
    ifa->ifa_index = index;
    const uint32_t net = htonl(ip);
    AddAttr(buf, h, IFA_LOCAL, &net, 4);
    AddAttr(buf, h, IFA_ADDRESS, &net, 4);
    if (type == RTM_NEWADDR && prefix < 31) {
        const uint32_t bcast = htonl(ip | (prefix == 0 ? ~0u : ~(~0u << (32 - prefix))));
        AddAttr(buf, h, IFA_BROADCAST, &bcast, 4);
    }
    sockaddr_nl kernel{};
    kernel.nl_family = AF_NETLINK;
    if (::sendto(s.fd, buf, h->nlmsg_len, 0, reinterpret_cast<sockaddr*>(&kernel), sizeof kernel) < 0) {
        r.error = std::string("netlink: ") + std::strerror(errno);
        return r;
    }
    pollfd p{s.fd, POLLIN, 0};
    if (::poll(&p, 1, 2000) <= 0) {
        r.error = "netlink: no answer";
        return r;
    }
    alignas(nlmsghdr) char reply[1024];
    const ssize_t n = ::recv(s.fd, reply, sizeof reply, MSG_DONTWAIT);
    auto* rh = reinterpret_cast<nlmsghdr*>(reply);
    if (n < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(nlmsgerr))) || rh->nlmsg_type != NLMSG_ERROR) {
        r.error = "netlink: unexpected answer";
        return r;
    }
    const int err = -reinterpret_cast<nlmsgerr*>(NLMSG_DATA(rh))->error;
    r.error = err ? std::strerror(err) : "";
    if (err == 0) r.change = AddressChange::Done;
    else if (err == EPERM || err == EACCES) r.change = AddressChange::NoRight;
    else if ((type == RTM_NEWADDR && err == EEXIST) || (type == RTM_DELADDR && err == EADDRNOTAVAIL))
        r.change = AddressChange::AlreadyThere;
    return r;
}

}  // namespace

bool MayChangeAddresses() {
    std::ifstream f("/proc/self/status");
    std::string line;
    while (std::getline(f, line)) {
        if (line.rfind("CapEff:", 0) != 0) continue;
        const unsigned long long caps = std::stoull(line.substr(7), nullptr, 16);
        return (caps >> CAP_NET_ADMIN_BIT) & 1;
    }
    return false;
}

AddressResult AddAdapterAddress(unsigned index, uint32_t ip, int prefix) { return Change(RTM_NEWADDR, index, ip, prefix); }
AddressResult RemoveAdapterAddress(unsigned index, uint32_t ip, int prefix) { return Change(RTM_DELADDR, index, ip, prefix); }

bool AddressAnswered(unsigned index, uint32_t ip, int waitMs) {
    Fd s(::socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_ARP)));
    if (s.fd < 0) return false;
    char name[IF_NAMESIZE] = {};
    if (!if_indextoname(index, name)) return false;
    ifreq ifr{};
    std::memcpy(ifr.ifr_name, name, sizeof ifr.ifr_name);
    if (::ioctl(s.fd, SIOCGIFHWADDR, &ifr) != 0) return false;
    sockaddr_ll to{};
    to.sll_family = AF_PACKET;
    to.sll_protocol = htons(ETH_P_ARP);
    to.sll_ifindex = static_cast<int>(index);
    to.sll_halen = ETH_ALEN;
    std::memset(to.sll_addr, 0xFF, ETH_ALEN);
    if (::bind(s.fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) return false;
    // The probe: a request for `ip` from sender address 0.
    unsigned char probe[28] = {0, 1, 8, 0, 6, 4, 0, 1};
    std::memcpy(probe + 8, ifr.ifr_hwaddr.sa_data, 6);
    const uint32_t target = htonl(ip);
    std::memcpy(probe + 24, &target, 4);
    // PROBES probes evenly spaced from the start of the wait, in case some are lost; the waits are
    // cut into slices so that a stop request ends the probe at once.
    const auto start = std::chrono::steady_clock::now();
    const auto end = start + std::chrono::milliseconds(waitMs);
    int sent = 0;
    for (;;) {
        if (StopRequested()) return false;
        const auto now = std::chrono::steady_clock::now();
        if (now >= end) return false;
        const auto next = sent < PROBES ? start + std::chrono::milliseconds(waitMs * sent / PROBES) : end;
        if (sent < PROBES && now >= next) {
            if (::sendto(s.fd, probe, sizeof probe, MSG_DONTWAIT, reinterpret_cast<sockaddr*>(&to), sizeof to) < 0 && sent == 0)
                return false;
            ++sent;
            continue;
        }
        const int ms = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(next - now).count()) + 1;
        pollfd p{s.fd, POLLIN, 0};
        if (::poll(&p, 1, std::min(ms, PROBE_SLICE_MS)) <= 0) continue;
        unsigned char in[64];
        const ssize_t n = ::recv(s.fd, in, sizeof in, MSG_DONTWAIT);
        // A reply, or another host's probe or request, whose sender address is `ip`.
        if (n >= 28 && in[6] == 0 && (in[7] == 1 || in[7] == 2) && std::memcmp(in + 14, &target, 4) == 0) return true;
    }
}

namespace {

// A NETLINK_ROUTE socket in the groups of IPv4 addresses and links, and an eventfd for Wake.
class NetlinkWatch : public AddressWatch {
public:
    NetlinkWatch() {
        m_wake = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        m_nl = ::socket(AF_NETLINK, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_ROUTE);
        sockaddr_nl groups{};
        groups.nl_family = AF_NETLINK;
        groups.nl_groups = RTMGRP_IPV4_IFADDR | RTMGRP_LINK;
        if (m_nl >= 0 && ::bind(m_nl, reinterpret_cast<sockaddr*>(&groups), sizeof groups) != 0) {
            ::close(m_nl);
            m_nl = -1;  // the caller's poll alone
        }
    }
    ~NetlinkWatch() override {
        if (m_nl >= 0) ::close(m_nl);
        if (m_wake >= 0) ::close(m_wake);
    }
    void Wait(int waitMs) override {
        pollfd p[2] = {{m_wake, POLLIN, 0}, {m_nl, POLLIN, 0}};  // a negative descriptor is skipped
        if (::poll(p, 2, waitMs) <= 0) return;
        // What the notifications say is not read: the caller looks at the adapters again. An
        // overflowed socket (ENOBUFS) says the same.
        char buf[8192];
        if (p[1].revents) {
            for (int i = 0; i < 64 && ::recv(m_nl, buf, sizeof buf, MSG_DONTWAIT) != -1; ++i) {}
        }
        if (p[0].revents) {
            uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(m_wake, &count, sizeof count);
        }
    }
    void Wake() override {
        const uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(m_wake, &one, sizeof one);
    }

private:
    int m_nl = -1;
    int m_wake = -1;
};

}  // namespace

std::unique_ptr<AddressWatch> WatchAddresses() { return std::make_unique<NetlinkWatch>(); }

uint64_t ProcessStartTime(int pid) {
    std::ifstream f("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    const size_t close = text.rfind(')');
    if (close == std::string::npos) return 0;
    // Fields after the command: state is field 3, starttime field 22.
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    for (int i = 3; i <= 22 && rest >> field; ++i)
        if (i == 22) return std::stoull(field);
    return 0;
}

}  // namespace plat
