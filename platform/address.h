#pragma once
// Adding and removing an IPv4 address of one of the PC's adapters, for the running system only
// (nothing stored: a restart of the PC forgets it), and the checks around it: whether this process
// may do so, whether another host answers for an address, and a process's start time (to tell a
// living owner of an address from a reused process id). address_posix.cpp speaks rtnetlink,
// address_win.cpp the IP Helper functions of the system directory's iphlpapi.dll.
#include <cstdint>
#include <memory>
#include <string>

namespace plat {

enum class AddressChange {
    Done,         // added (removed)
    AlreadyThere, // the adapter already had it (add); it was not there (remove)
    NoRight,      // the process lacks the right to change addresses
    Unavailable,  // the system offers no way to do it (the IP Helper functions are missing)
    Duplicate,    // another host holds the address (Windows' duplicate-address detection)
    Failed,
};

struct AddressResult {
    AddressChange change = AddressChange::Failed;
    std::string error;  // the system's reason, when not Done
};

// Linux: CAP_NET_ADMIN in the effective set. Windows: true (the call itself says).
bool MayChangeAddresses();
// ip/prefix (host order) on the adapter with interface index `index`. Windows waits up to 5 s
// for the duplicate-address detection and removes the address again when it ends in Duplicate.
AddressResult AddAdapterAddress(unsigned index, uint32_t ip, int prefix);
AddressResult RemoveAdapterAddress(unsigned index, uint32_t ip, int prefix);
// Another host on the adapter's segment answers for `ip` within `waitMs` (Linux: ARP probes with
// sender address 0, which change no host's cache). False when no probe can be sent (no
// CAP_NET_RAW), on Windows, where the detection comes with the add, and at once when the calling
// thread is asked to stop (the caller checks for that before it uses the answer).
bool AddressAnswered(unsigned index, uint32_t ip, int waitMs);

// Changes of the PC's IPv4 addresses and links as the system reports them (Linux: the rtnetlink
// groups of IPv4 addresses and links; Windows: NotifyUnicastIpAddressChange where iphlpapi.dll has
// it). Where the system reports nothing, Wait simply waits out its time: the caller polls.
class AddressWatch {
public:
    virtual ~AddressWatch() = default;
    // Returns when a change was reported, Wake was called or `waitMs` passed.
    virtual void Wait(int waitMs) = 0;
    // Ends the current or the next Wait at once; any thread.
    virtual void Wake() = 0;
};
std::unique_ptr<AddressWatch> WatchAddresses();
// When the process `pid` started (a value only compared for equality); 0 when it is gone.
uint64_t ProcessStartTime(int pid);

}  // namespace plat
