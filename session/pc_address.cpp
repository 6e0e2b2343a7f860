#include "session/pc_address.h"

#include <cstdlib>
#include <sstream>

#include "platform/fs.h"
#include "platform/socket.h"
#include "platform/trace.h"

namespace pc_address {

namespace {

constexpr uint32_t SUBNET_24 = 0xFFFFFF00;

const plat::AdapterAddress* Find(const std::vector<plat::AdapterAddress>& adapters, const std::string& name) {
    for (const plat::AdapterAddress& a : adapters)
        if (a.name == name) return &a;
    return nullptr;
}

bool HasAddress(const std::vector<plat::AdapterAddress>& adapters, const std::string& name, uint32_t ip) {
    for (const plat::AdapterAddress& a : adapters)
        if (a.name == name && a.ip == ip) return true;
    return false;
}

}  // namespace

SystemOps RealOps() {
    SystemOps ops;
    ops.adapters = [] { return plat::ListAdapterAddresses(); };
    ops.mayChange = plat::MayChangeAddresses;
    ops.add = plat::AddAdapterAddress;
    ops.remove = plat::RemoveAdapterAddress;
    ops.answered = [](unsigned index, uint32_t ip) { return plat::AddressAnswered(index, ip, PROBE_MS); };
    ops.startTime = plat::ProcessStartTime;
    ops.watch = plat::WatchAddresses;
    ops.journal = plat::JoinPath(plat::JoinPath(plat::JoinPath(plat::MachineRoot(), "ProgramData"), "rk880t-tool"),
                                 "pc-address.txt");
    return ops;
}

std::vector<std::string> Candidates(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters) {
    std::vector<std::string> out;
    for (const plat::AdapterAddress& a : adapters)
        if (!a.bLoopback && a.ip != 0 && (a.ip & SUBNET_24) == (gateway & SUBNET_24)) return {};
    for (const plat::AdapterAddress& a : adapters) {
        if (!a.bEthernet || !a.bLinkUp || a.bLoopback) continue;
        bool bSeen = false;
        for (const std::string& n : out) bSeen = bSeen || n == a.name;
        if (!bSeen) out.push_back(a.name);
    }
    return out;
}

uint32_t ChooseAddress(uint32_t gateway, const std::function<bool(uint32_t)>& answered) {
    for (uint32_t host = 100; host <= 199; ++host) {
        const uint32_t ip = (gateway & SUBNET_24) | host;
        if (ip == gateway) continue;
        if (!answered(ip)) return ip;
    }
    return 0;
}

std::string DiagnoseLine(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                         const std::string& adapterOption, bool bMayChange) {
    for (const plat::AdapterAddress& a : adapters)
        if (!a.bLoopback && a.ip != 0 && (a.ip & SUBNET_24) == (gateway & SUBNET_24)) return {};
    std::vector<std::string> names = Candidates(gateway, adapters);
    if (!adapterOption.empty()) {
        bool bFound = false;
        for (const std::string& n : names) bFound = bFound || n == adapterOption;
        if (!bFound) return "set-address: cannot: " + adapterOption + " is no wired adapter with link";
        names = {adapterOption};
    }
    if (names.empty()) return "set-address: cannot: no wired adapter has a link";
    if (names.size() > 1) {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : ", ") + n;
        return "set-address: cannot choose among " + list + ": name one with --adapter";
    }
    if (!bMayChange) return "set-address: cannot: no right to change addresses (CAP_NET_ADMIN)";
    const uint32_t first = ChooseAddress(gateway, [](uint32_t) { return false; });
    return "set-address: would set " + plat::Ipv4Text(first) + "/24 on " + names.front() +
           " (the next free one up to .199 when another host answers for it)";
}

std::vector<JournalEntry> ReadJournal(const std::string& path) {
    std::vector<JournalEntry> out;
    std::FILE* f = plat::OpenFile(path, "rb");
    if (!f) return out;
    std::string text;
    char buf[512];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
    std::fclose(f);
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        // adapter TAB address TAB process id TAB start time
        std::vector<std::string> fields;
        std::istringstream split(line);
        for (std::string field; std::getline(split, field, '\t');) fields.push_back(field);
        JournalEntry e;
        if (fields.size() != 4 || fields[0].empty() || !plat::ParseIpv4(fields[1], e.ip)) continue;
        e.adapter = fields[0];
        e.pid = std::atoi(fields[2].c_str());
        e.start = std::strtoull(fields[3].c_str(), nullptr, 10);
        out.push_back(e);
    }
    return out;
}

bool WriteJournal(const std::string& path, const std::vector<JournalEntry>& entries) {
    if (entries.empty()) return !plat::IsRegularFile(path) || plat::RemoveFile(path);
    plat::EnsureFolderTree(plat::DirName(path));
    std::string text;
    for (const JournalEntry& e : entries)
        text += e.adapter + "\t" + plat::Ipv4Text(e.ip) + "\t" + std::to_string(e.pid) + "\t" + std::to_string(e.start) + "\n";
    return plat::WriteFileAtomic(path, {reinterpret_cast<const unsigned char*>(text.data()), text.size()});
}

void RecoverStale(const SystemOps& ops) {
    const std::vector<JournalEntry> entries = ReadJournal(ops.journal);
    if (entries.empty()) return;
    std::vector<JournalEntry> kept;
    std::vector<plat::AdapterAddress> adapters;
    bool bListed = false;
    for (const JournalEntry& e : entries) {
        if (e.pid > 0 && ops.startTime(e.pid) == e.start && e.start != 0) {
            kept.push_back(e);
            continue;
        }
        if (!bListed) adapters = ops.adapters(), bListed = true;
        // The adapter gone: so is its address.
        const plat::AdapterAddress* a = Find(adapters, e.adapter);
        if (a && HasAddress(adapters, e.adapter, e.ip)) {
            const plat::AddressResult r = ops.remove(a->index, e.ip, PREFIX);
            if (r.change != plat::AddressChange::Done && r.change != plat::AddressChange::AlreadyThere) {
                plat::TraceF("Left address %s on %s: %s\n", plat::Ipv4Text(e.ip).c_str(), e.adapter.c_str(), r.error.c_str());
                kept.push_back(e);  // tried again at the next start
                continue;
            }
        }
        plat::TraceF("Removed address %s left on %s by process %d\n", plat::Ipv4Text(e.ip).c_str(), e.adapter.c_str(), e.pid);
    }
    WriteJournal(ops.journal, kept);
}

bool CPcAddress::Offer(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                       const std::function<bool(const std::string&)>& ask, std::vector<std::string>& lines) {
    bool bHeld = false;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        bHeld = OfferLocked(gateway, adapters, ask, lines);
    }
    // The thread takes m_mutex in Keep: started (and stopped) without holding it.
    if (bHeld) StartKeeping();
    return bHeld;
}

bool CPcAddress::OfferLocked(uint32_t gateway, const std::vector<plat::AdapterAddress>& adapters,
                             const std::function<bool(const std::string&)>& ask, std::vector<std::string>& lines) {
    if (m_held.ip != 0) return true;
    if (m_config.mode == Mode::Off || m_bOffered) return false;
    m_bOffered = true;
    std::vector<std::string> names = Candidates(gateway, adapters);
    if (!m_config.adapter.empty()) {
        bool bFound = false;
        for (const std::string& n : names) bFound = bFound || n == m_config.adapter;
        if (!bFound) {
            lines.push_back(plat::Format(Text(NOT_CANDIDATE_CN, NOT_CANDIDATE_EN).c_str(), m_config.adapter.c_str()));
            return false;
        }
        names = {m_config.adapter};
    }
    if (names.empty()) {
        lines.push_back(Text(NONE_CN, NONE_EN));
        return false;
    }
    if (!m_ops.mayChange()) {
        lines.push_back(plat::Format(Text(NO_RIGHT_CN, NO_RIGHT_EN).c_str(), m_config.program.c_str()));
        return false;
    }
    if (m_config.mode == Mode::Set && names.size() > 1) {
        std::string list;
        for (const std::string& n : names) list += (list.empty() ? "" : English() ? ", " : "、") + n;
        lines.push_back(plat::Format(Text(SEVERAL_CN, SEVERAL_EN).c_str(), list.c_str()));
        return false;
    }
    // The question names the address the add is expected to take.
    const std::string advised = plat::Ipv4Text((gateway & SUBNET_24) | ((gateway & 0xFF) == 100 ? 101 : 100));
    for (const std::string& name : names) {
        if (m_config.mode == Mode::Ask) {
            const std::string q = English() ? plat::Format(ASK_EN, advised.c_str(), name.c_str())
                                                    : plat::Format(ASK_CN, name.c_str(), advised.c_str());
            if (!ask(q)) continue;
        }
        return SetOn(*Find(adapters, name), gateway, lines);
    }
    return false;
}

bool CPcAddress::SetOn(const plat::AdapterAddress& adapter, uint32_t gateway, std::vector<std::string>& lines) {
    std::vector<uint32_t> duplicates;  // Windows' detection found another host there
    for (int attempt = 0; attempt < 100; ++attempt) {
        const uint32_t ip = ChooseAddress(gateway, [&](uint32_t c) {
            for (uint32_t d : duplicates)
                if (d == c) return true;
            return m_ops.answered(adapter.index, c);
        });
        // A stop (window closed, Ctrl+C) cuts the probes short: their "free" means nothing.
        if (plat::StopRequested()) return false;
        if (ip == 0) {
            lines.push_back(plat::Format(Text(FAILED_CN, FAILED_EN).c_str(), adapter.name.c_str(), Text(NO_FREE_CN, NO_FREE_EN).c_str()));
            return false;
        }
        // The entry first: a crash between the add and the entry cannot leave an unknown address.
        JournalEntry entry{adapter.name, ip, plat::ProcessId(), m_ops.startTime(plat::ProcessId())};
        std::vector<JournalEntry> journal = ReadJournal(m_ops.journal);
        journal.push_back(entry);
        if (!WriteJournal(m_ops.journal, journal)) {
            lines.push_back(plat::Format(Text(FAILED_CN, FAILED_EN).c_str(), adapter.name.c_str(), ("journal " + m_ops.journal).c_str()));
            return false;
        }
        const plat::AddressResult r = m_ops.add(adapter.index, ip, PREFIX);
        if (r.change != plat::AddressChange::Done) {
            journal.pop_back();
            WriteJournal(m_ops.journal, journal);
            if (plat::StopRequested()) return false;
        }
        switch (r.change) {
            case plat::AddressChange::Done:
                m_held = entry;
                m_index = adapter.index;
                lines.push_back(English() ? plat::Format(SET_EN, plat::Ipv4Text(ip).c_str(), adapter.name.c_str())
                                                  : plat::Format(SET_CN, adapter.name.c_str(), plat::Ipv4Text(ip).c_str()));
                return true;
            case plat::AddressChange::Duplicate:
                duplicates.push_back(ip);
                continue;
            case plat::AddressChange::NoRight:
                lines.push_back(plat::Format(Text(NO_RIGHT_CN, NO_RIGHT_EN).c_str(), m_config.program.c_str()));
                return false;
            default:
                lines.push_back(plat::Format(Text(FAILED_CN, FAILED_EN).c_str(), adapter.name.c_str(), r.error.c_str()));
                return false;
        }
    }
    return false;
}

void CPcAddress::Keep() {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held.ip == 0) return;
    const std::vector<plat::AdapterAddress> adapters = m_ops.adapters();
    const plat::AdapterAddress* a = Find(adapters, m_held.adapter);
    if (!a || !a->bLinkUp || HasAddress(adapters, m_held.adapter, m_held.ip)) return;
    // The adapter may have come back under another index.
    m_index = a->index;
    const plat::AddressResult r = m_ops.add(m_index, m_held.ip, PREFIX);
    plat::TraceF("Address %s on %s put back: %s\n", plat::Ipv4Text(m_held.ip).c_str(), m_held.adapter.c_str(),
                 r.change == plat::AddressChange::Done ? "done" : r.error.c_str());
}

void CPcAddress::StartKeeping() {
    std::lock_guard<std::mutex> lock(m_keeperMutex);
    if (!m_ops.watch || m_keeper.Running()) return;
    m_watch = m_ops.watch();
    m_keeper.Start([this] {
        while (!plat::StopRequested()) {
            m_watch->Wait(KEEP_POLL_MS);
            if (plat::StopRequested()) break;
            Keep();
        }
    });
}

void CPcAddress::StopKeeping() {
    std::lock_guard<std::mutex> lock(m_keeperMutex);
    if (!m_keeper.Running()) return;
    m_keeper.RequestStop();
    m_watch->Wake();
    m_keeper.Join();
    m_watch.reset();
}

void CPcAddress::Release() {
    // Without m_mutex: the thread may be waiting for it in Keep.
    StopKeeping();
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_held.ip == 0) return;
    const plat::AddressResult r = m_ops.remove(m_index, m_held.ip, PREFIX);
    if (r.change == plat::AddressChange::Done || r.change == plat::AddressChange::AlreadyThere) {
        std::vector<JournalEntry> journal = ReadJournal(m_ops.journal), kept;
        for (const JournalEntry& e : journal)
            if (!(e.adapter == m_held.adapter && e.ip == m_held.ip && e.pid == m_held.pid)) kept.push_back(e);
        WriteJournal(m_ops.journal, kept);
    }
    m_held = {};
}

uint32_t CPcAddress::Address() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.ip;
}

std::string CPcAddress::Adapter() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_held.adapter;
}

}  // namespace pc_address
