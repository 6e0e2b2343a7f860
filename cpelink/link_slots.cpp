#include "cpelink/link_slots.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "platform/clock.h"

namespace {

std::array<LinkSlot, LINE_COUNT>& Slots() {
    static std::array<LinkSlot, LINE_COUNT> slots;
    return slots;
}

std::mutex g_countLock;
int32_t g_nConnections = 0;

struct Wakes {
    plat::WakeUp sender;
    plat::WakeUp receiver;
};

Wakes& Wake() {
    static Wakes wakes;
    return wakes;
}

// Clears both halves; both slot locks are held by the caller.
void ClearHalvesLocked(LinkSlot& s) {
    s.recvConn.reset();
    s.incoming.Reset();
    s.sendConn.reset();
    s.outgoing.fill(0);
    s.sentBytes = 0;
    s.bPending.store(false, std::memory_order_release);
}

// Empties the slot (both halves and the reply queue) and gives back the connection it held; both
// slot locks are held by the caller.
LinkConnectionPtr EmptyLocked(LinkSlot& s) {
    LinkConnectionPtr held = s.sendConn ? s.sendConn : s.recvConn;
    ClearHalvesLocked(s);
    s.queue.clear();
    return held;
}

}  // namespace

void LinkConnection::Shutdown() { m_socket.Shutdown(); }

bool LinkConnection::GiveBack() {
    {
        // Marked and taken off the count together: whoever sees it given back finds the count
        // already down.
        std::lock_guard<std::mutex> lock(g_countLock);
        if (m_bGivenBack.exchange(true, std::memory_order_acq_rel)) return false;
        --g_nConnections;
    }
    Shutdown();
    WakeLinkReceiver();
    return true;
}

LinkSlot& GetLinkSlot(int index) { return Slots()[static_cast<size_t>(index)]; }

int32_t LinkConnectionCount() {
    std::lock_guard<std::mutex> lock(g_countLock);
    return g_nConnections;
}

void AddLinkConnection() {
    std::lock_guard<std::mutex> lock(g_countLock);
    ++g_nConnections;
}

bool LinkConnectionsFull() {
    return static_cast<uint32_t>(LinkConnectionCount()) >= static_cast<uint32_t>(LINK_MAX_CONNECTIONS);
}

void WakeLinkSender() { Wake().sender.Signal(); }
void WakeLinkReceiver() { Wake().receiver.Signal(); }
plat::WakeUp& LinkSenderWake() { return Wake().sender; }
plat::WakeUp& LinkReceiverWake() { return Wake().receiver; }

LinkConnectionPtr SlotBind(int index, LinkConnectionPtr conn) {
    if (!ValidLine(index)) return nullptr;
    LinkSlot& s = GetLinkSlot(index);
    LinkConnectionPtr previous;
    {
        std::lock_guard<std::mutex> r(s.recvLock);
        std::lock_guard<std::mutex> w(s.sendLock);
        previous = EmptyLocked(s);
        s.recvConn = conn;
        s.sendConn = conn;
    }
    WakeLinkReceiver();
    WakeLinkSender();
    if (previous == conn) previous.reset();
    return previous;
}

PostResult SlotPost(int index, const LinkConnection* conn, std::span<const uint8_t> encoded) {
    if (!ValidLine(index)) return PostResult::NotBound;
    LinkSlot& s = GetLinkSlot(index);
    {
        std::lock_guard<std::mutex> w(s.sendLock);
        if (!s.sendConn || s.sendConn.get() != conn || conn->IsGivenBack()) return PostResult::NotBound;
        if (s.bPending.load(std::memory_order_acquire)) return PostResult::Busy;
        s.outgoing.fill(0);
        std::memcpy(s.outgoing.data(), encoded.data(), std::min(encoded.size(), LINK_MESSAGE_SIZE));
        s.sentBytes = 0;
        s.bPending.store(true, std::memory_order_release);
    }
    WakeLinkSender();
    return PostResult::Posted;
}

bool SlotIsSent(int index) {
    return !ValidLine(index) || !GetLinkSlot(index).bPending.load(std::memory_order_acquire);
}

bool SlotIsSentLocked(int index) {
    if (!ValidLine(index)) return true;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> w(s.sendLock);
    return !s.bPending.load(std::memory_order_acquire);
}

int64_t SlotLastSentTick(int index) {
    return ValidLine(index) ? GetLinkSlot(index).lastSentTick.load() : 0;
}

void SlotClearPending(int index) {
    if (!ValidLine(index)) return;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> w(s.sendLock);
    s.bPending.store(false, std::memory_order_release);
    s.sentBytes = 0;
}

bool SlotHasReply(int index, uint32_t seq) {
    if (!ValidLine(index)) return false;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    return std::any_of(s.queue.begin(), s.queue.end(), [seq](const LinkRecord& x) { return x.nSeq == seq; });
}

bool SlotTakeReply(int index, uint32_t seq, LinkRecord& out) {
    if (!ValidLine(index)) return false;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    auto it = std::find_if(s.queue.begin(), s.queue.end(), [seq](const LinkRecord& x) { return x.nSeq == seq; });
    if (it == s.queue.end()) return false;
    out = *it;
    s.queue.erase(it);
    return true;
}

void SlotDiscardQueue(int index) {
    if (!ValidLine(index)) return;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    s.queue.clear();
}

std::vector<LinkRecord> SlotTakeAll(int index) {
    if (!ValidLine(index)) return {};
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    std::vector<LinkRecord> all(s.queue.begin(), s.queue.end());
    s.queue.clear();
    return all;
}

size_t SlotQueueSize(int index) {
    if (!ValidLine(index)) return 0;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    return s.queue.size();
}

void SlotAppendLocked(LinkSlot& slot, const LinkRecord& r) {
    slot.queue.push_back(r);
    while (slot.queue.size() > LINK_QUEUE_LIMIT) slot.queue.pop_front();
}

bool SlotRelease(int index, const LinkConnection* conn) {
    if (!ValidLine(index) || conn == nullptr) return false;
    LinkSlot& s = GetLinkSlot(index);
    bool released = false;
    {
        std::lock_guard<std::mutex> r(s.recvLock);
        std::lock_guard<std::mutex> w(s.sendLock);
        if (s.sendConn.get() == conn || s.recvConn.get() == conn) {
            ClearHalvesLocked(s);
            released = true;
        }
    }
    if (released) {
        WakeLinkReceiver();
        WakeLinkSender();
    }
    return released;
}

LinkConnectionPtr SlotClear(int index) {
    if (!ValidLine(index)) return nullptr;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> r(s.recvLock);
    std::lock_guard<std::mutex> w(s.sendLock);
    return EmptyLocked(s);
}

LinkConnectionPtr SlotSendConnection(int index) {
    if (!ValidLine(index)) return nullptr;
    LinkSlot& s = GetLinkSlot(index);
    std::lock_guard<std::mutex> w(s.sendLock);
    return s.sendConn;
}
