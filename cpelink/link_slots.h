#pragma once
// The process-wide line slots of the link server (one per line), the accepted connections and
// their count.
//
// Slot i serves line i. A slot has a send half (connection, request-pending flag, the outgoing
// 1440-byte message), a receive half (connection, the message being reassembled) and a receive
// queue of decoded records; a receive lock guards the receive half and the queue, a send lock the
// send half. When both are held the receive lock is taken first; the count lock is never held
// together with a slot lock.
//
// Ownership of a connection: whoever takes it out of a slot (release) or out of the pending queue
// gives it back to the count (GiveBack, exactly once, which also shuts it down); any other thread
// only shuts it down. The socket itself is closed when the last holder lets go, so a channel
// that still holds a connection lost meanwhile never writes to a handle reused by a newer
// connection.
#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <span>
#include <vector>

#include "cpelink/line_count.h"
#include "cpelink/link_record.h"
#include "platform/non_copyable.h"
#include "platform/socket.h"

constexpr int LINK_MAX_CONNECTIONS = 8;
// Records beyond this many in a slot's receive queue drop the oldest.
constexpr size_t LINK_QUEUE_LIMIT = 256;

class LinkConnection : private plat::NonCopyable {
public:
    explicit LinkConnection(plat::Socket socket) : m_socket(std::move(socket)) {}

    const plat::Socket& Sock() const { return m_socket; }
    // Ends the connection (both directions); the handle stays valid for its holders.
    void Shutdown();
    // Shuts the connection down and decrements the connection count, the first time only.
    // True for the call that did it.
    bool GiveBack();
    // The connection was let go (lost, released or cleared): nothing new goes out on it.
    bool IsGivenBack() const { return m_bGivenBack.load(std::memory_order_acquire); }

private:
    plat::Socket m_socket;  // closed with the last holder
    std::atomic<bool> m_bGivenBack{false};  // set with the count's decrement, under its lock
};

using LinkConnectionPtr = std::shared_ptr<LinkConnection>;

struct LinkSlot {
    std::mutex recvLock;
    std::mutex sendLock;
    // send half (send lock)
    LinkConnectionPtr sendConn;
    std::atomic<bool> bPending{false};
    LinkMessage outgoing{};
    size_t sentBytes = 0;                 // of the outgoing message, by the send thread
    std::atomic<int64_t> lastSentTick{0}; // when the last message left
    // receive half and queue (receive lock)
    LinkConnectionPtr recvConn;
    MessageAssembler incoming;
    std::deque<LinkRecord> queue;
};

// The slot table (0..7); it lives as long as the process.
LinkSlot& GetLinkSlot(int index);

// The connection count: accepted and not yet given back.
int32_t LinkConnectionCount();
void AddLinkConnection();
// True while the count gates accepting and announcing (8 or more, compared unsigned).
bool LinkConnectionsFull();

// Wake-ups of the server's worker threads (posts, binds, give-backs); harmless without a server.
void WakeLinkSender();
void WakeLinkReceiver();
plat::WakeUp& LinkSenderWake();
plat::WakeUp& LinkReceiverWake();

enum class PostResult { Posted, Busy, NotBound };

// bind: the connection goes into both halves; the slot's queue, buffers and pending flag are
// cleared. Returns the connection that was bound before (to be given back by the caller), if any
// other.
LinkConnectionPtr SlotBind(int index, LinkConnectionPtr conn);
// post: refused while a message is pending or when `conn` is no longer the slot's send connection.
PostResult SlotPost(int index, const LinkConnection* conn, std::span<const uint8_t> encoded);
// is-sent: the pending flag is clear (read without / under the send lock).
bool SlotIsSent(int index);
bool SlotIsSentLocked(int index);
int64_t SlotLastSentTick(int index);
// Clears the pending flag (a request given up).
void SlotClearPending(int index);
// Whether a record with this nSeq is queued.
bool SlotHasReply(int index, uint32_t seq);
// Finds the first record with this nSeq and removes it from the queue.
bool SlotTakeReply(int index, uint32_t seq, LinkRecord& out);
void SlotDiscardQueue(int index);
// Removes every queued record and hands them back in arrival order.
std::vector<LinkRecord> SlotTakeAll(int index);
size_t SlotQueueSize(int index);
// Appends a decoded record (receive lock held by the caller); the oldest beyond the limit drop.
void SlotAppendLocked(LinkSlot& slot, const LinkRecord& r);
// release: when the slot still holds `conn`, both halves are cleared (receive lock, then send
// lock) and true is returned: the caller then gives the connection back.
bool SlotRelease(int index, const LinkConnection* conn);
// Clears the slot whatever it holds (halves, buffers, pending flag, queue); returns the
// connection it held, for the caller to give back.
LinkConnectionPtr SlotClear(int index);
// The connection bound to the slot's send half (null when none).
LinkConnectionPtr SlotSendConnection(int index);
