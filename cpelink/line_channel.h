#pragma once
// CLineChannel: a line's channel to the gateway. It binds a pending connection of the link server
// to the line's slot, posts requests stamped with its sequence counter, matches replies by nSeq
// and closes the connection. It takes no lock of its own: its users run one request at a time.
//
// A connection lost meanwhile (its slot cleared by the worker threads or a restart of the server)
// still hands out the replies queued before the loss, but nothing new goes out on it.
#include <atomic>
#include <cstdint>
#include <span>
#include <string>

#include "cpelink/direct_connection.h"
#include "cpelink/link_record.h"
#include "cpelink/link_slots.h"
#include "cpelink/tunnel.h"

// Time-outs of the requests (scaled), and the window in which a reply is looked for after the
// request left (real time).
constexpr int64_t HELLO_TIMEOUT_MS = 20000;
constexpr int64_t QUERY_TIMEOUT_MS = 2000;
constexpr int64_t IMAGES_DONE_TIMEOUT_MS = 20000;
constexpr int64_t UPGRADE_END_TIMEOUT_MS = 60000;
constexpr int64_t CLOSE_TIMEOUT_MS = 60000;
constexpr int64_t REPLY_WINDOW_MS = 200;
// A raw send that makes no progress for this long fails (scaled).
constexpr int64_t RAW_SEND_STALL_MS = 60000;
// The connect thread's buffer for the modem version text.
constexpr size_t MODEM_TEXT_BUFFER = 672;

class CLineChannel : public ILinkTunnel {
public:
    CLineChannel();
    ~CLineChannel() override;
    CLineChannel(const CLineChannel&) = delete;
    CLineChannel& operator=(const CLineChannel&) = delete;

    // ILinkTunnel
    int SlotIndex() const override { return m_nSlot.load(); }
    bool IsOpen() const override { return m_bOpen.load(); }
    void MarkClosed() override { m_bOpen = false; }
    int Attach(int line) override;
    int Close() override;
    int SendData(const uint8_t* bytes, int n) override;
    int HasReply() override;
    int TakeData(std::span<uint8_t> dest, size_t zeroCount) override;
    void DrainReplies(const std::function<void(std::span<const uint8_t>)>& each) override;
    void SetTypeOverride(int value) override { m_nTypeOverride = value; }
    int PostRecord(LinkRecord& record, int length) override;
    int TakeReplyLocked(LinkRecord& out) override;
    void RestartSequence() override;

    // CMD_HELLO: 1 when the channel is open.
    int Hello();
    // CMD_GET_TEXT: the reply's NUL-terminated text (read within abData). 1 when answered.
    int GetText(std::string& text);
    // CMD_GET_DATA: copies the reply's nLength bytes (at most 1350 and at most out.size()) to out.
    // 1 when answered.
    int GetData(std::span<uint8_t> out);
    // GetData into a zeroed 672-byte buffer, read as a text within that buffer.
    int GetDataText(std::string& text);
    // CMD_IMAGES_DONE: 1 when the request left within 20000 ms.
    int ImagesDone();
    // CMD_UPGRADE_END, then the connection is closed in either case. 1 when the request left.
    int UpgradeEnd();
    // The bytes unframed, straight on the connection. The record buffer's nLength on success;
    // 0 on failure, after which the connection is closed.
    int SendRaw(const uint8_t* bytes, int n);
    // The matching reply (search and removal under the receive lock); its nLength, at most 1350.
    int TakeReply(LinkRecord& out);

    // The slot has sent the last request (pending flag clear).
    bool RequestSent() const;
    // A connection is held (a socket is open).
    bool HasConnection() const { return m_conn != nullptr; }
    // The held connection was lost (let go by another thread).
    bool IsLost() const { return m_conn && m_conn->IsGivenBack(); }
    uint32_t Sequence() const { return m_nSeq; }
    int LastEncodedLength() const { return m_nEncodedLength; }
    // The record buffer: the request being built; after a query, the reply taken.
    LinkRecord& Record() { return m_record; }
    DirectConnection& Direct() { return m_direct; }

private:
    PostResult Post(LinkRecord& r);
    // The waiting pattern: until the slot has sent the request, at most `limitMs` (scaled).
    bool WaitUntilSent(int64_t limitMs, bool bUnderSendLock);
    // Looks for the reply until it arrived or 200 ms passed since the request left; `out` is
    // zeroed first and stays zero when none came.
    bool LookForReply(LinkRecord& out, int64_t postedAt);
    // Runs `request` (record buffer already built) through post and wait; 1 sent, 0 refused or
    // timed out (open := 0 on a time-out).
    bool PostAndWait(int64_t limitMs, int64_t& postedAt);
    // A tool-side close: the slot is released and the connection given back (or, when another
    // thread let it go first, only dropped); socket none, closed.
    void ReleaseConnection();
    // A bye from the gateway closes the channel.
    void OnBye();

    DirectConnection m_direct;
    std::atomic<bool> m_bOpen{false};
    std::atomic<int> m_nSlot{-1};
    LinkConnectionPtr m_conn;
    LinkRecord m_record;
    int m_nEncodedLength = 0;
    int m_nTypeOverride = 0;
    uint32_t m_nSeq = 1;
};
