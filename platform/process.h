#pragma once
// Starting other programs: the ARP flush, documents opened through the desktop, the uninstaller.
// Children are started and not waited for (on POSIX systems reaped so that no zombie stays).
#include <memory>
#include <string>

namespace plat {

class IProcess {
public:
    virtual ~IProcess() = default;
    // Empties the ARP cache ("cmd.exe /c arp -d" on Windows, `ip neigh flush to <gateway>` here),
    // not waited for.
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
    // Starts the system's flush command (one file per platform).
    static void StartArpFlush(const std::string& gatewayAddress);
    bool m_bArpFlush;
};

bool IsLoopbackAddress(const std::string& address);

// Libraries loaded by name come from the system folder only (Windows; nothing to do elsewhere).
// Called first thing in main.
void RestrictLibrarySearch();

// Starts argv[0] with its arguments detached from this process; true when it was started. On
// Windows a bare name ("cmd.exe") is taken from the system folder, never searched for.
bool SpawnDetached(const char* const argv[]);

}  // namespace plat
