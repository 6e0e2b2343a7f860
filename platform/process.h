#pragma once
// Starting other programs: the ARP flush, documents opened through the desktop, the uninstaller.
// Children are started and not waited for (on POSIX systems reaped so that no zombie stays).
#include <memory>
#include <string>
#include <vector>

namespace plat {

class IProcess {
public:
    virtual ~IProcess() = default;
    // Empties the ARP cache (ArpFlushCommand), not waited for.
    virtual void FlushArp(const std::string& gatewayAddress) = 0;
    // ShellExecute "Open" of a document.
    virtual void OpenDocument(const std::string& path) = 0;
    // ShellExecute "open" of a program.
    virtual void StartProgram(const std::string& path) = 0;
};

// Runs the real commands; FlushArp is skipped for a loopback gateway or when disabled.
class SystemProcess : public IProcess {
public:
    explicit SystemProcess(bool bArpFlushEnabled) : m_bArpFlush(bArpFlushEnabled) {}
    void FlushArp(const std::string& gatewayAddress) override;
    void OpenDocument(const std::string& path) override;
    void StartProgram(const std::string& path) override;

private:
    bool m_bArpFlush;
};

bool IsLoopbackAddress(const std::string& address);

// The ARP flush as started, program and arguments: on Windows the system's arp.exe by its full
// path with "-d" (the whole cache, no shell: cmd.exe would run the user's AutoRun command with
// our rights), elsewhere `ip neigh flush to <gateway>`.
std::vector<std::string> ArpFlushCommand(const std::string& gatewayAddress);

// Libraries loaded by name come from the system folder only (Windows; nothing to do elsewhere).
// Called first thing in main.
void RestrictLibrarySearch();

// Starts argv[0] with its arguments detached from this process; true when it was started. On
// Windows a bare name ("cmd.exe") is taken from the system folder, never searched for.
bool SpawnDetached(const char* const argv[]);

}  // namespace plat
