#include "cpelink/line_channel.h"

#include <algorithm>
#include <cstring>

#include "cpelink/link_server.h"
#include "platform/clock.h"

namespace {

uint32_t ClampLength(uint32_t n) { return std::min<uint32_t>(n, LINK_DATA_SIZE); }

LinkRecord CommandRecord(uint8_t type) {
    LinkRecord r;
    r.sControl = type;
    r.nLength = 1;
    return r;
}

}  // namespace

CLineChannel::CLineChannel() {
    // The slot table outlives every channel.
    GetLinkSlot(0);
}

CLineChannel::~CLineChannel() { ReleaseConnection(); }

PostResult CLineChannel::Post(LinkRecord& r) {
    // Nothing is stamped for a connection that is gone: its queued replies stay takeable.
    if (!m_conn || IsLost()) return PostResult::NotBound;
    LinkMessage m{};
    m_nEncodedLength = static_cast<int>(
        EncodeChannelRecord(r, m_nSeq, m_nTypeOverride, std::span<uint8_t, LINK_MESSAGE_SIZE>(m)));
    return SlotPost(m_nSlot, m_conn.get(), m);
}

bool CLineChannel::WaitUntilSent(int64_t limitMs, bool bUnderSendLock) {
    const int64_t began = plat::TickMs();
    const int64_t limit = plat::Scaled(limitMs);
    if (!plat::SleepRaw(20)) return false;
    for (;;) {
        if (bUnderSendLock ? SlotIsSentLocked(m_nSlot) : SlotIsSent(m_nSlot)) return true;
        if (!plat::SleepRaw(100)) return false;
        if (plat::TickMs() - began > limit) return false;
        if (!plat::SleepRaw(20)) return false;
    }
}

bool CLineChannel::LookForReply(LinkRecord& out, int64_t postedAt) {
    out = LinkRecord{};
    const int slot = m_nSlot;
    const int64_t sent = SlotLastSentTick(slot);
    const int64_t since = sent >= postedAt ? sent : plat::TickMs();
    for (;;) {
        if (SlotTakeReply(slot, m_nSeq, out)) return true;
        if (plat::TickMs() - since >= REPLY_WINDOW_MS || IsLost()) return false;
        if (!plat::SleepRaw(5)) return false;
    }
}

bool CLineChannel::PostAndWait(int64_t limitMs, int64_t& postedAt) {
    postedAt = plat::TickMs();
    if (Post(m_record) != PostResult::Posted) return false;
    if (!WaitUntilSent(limitMs, false)) {
        m_bOpen = false;
        return false;
    }
    return true;
}

void CLineChannel::ReleaseConnection() {
    if (m_conn) {
        if (SlotRelease(m_nSlot, m_conn.get()))
            m_conn->GiveBack();
        else
            m_conn->Shutdown();
        m_conn.reset();
    }
    m_bOpen = false;
}

void CLineChannel::OnBye() {
    if (m_bOpen)
        Close();
    else
        ReleaseConnection();
}

int CLineChannel::Attach(int line) {
    if (!ValidLine(line)) return 0;
    if (m_bOpen && m_conn && !IsLost()) return 1;
    LinkConnectionPtr conn;
    if (TakePendingFromRunningServer(conn) != 0 || !conn) return 0;
    // Whatever this channel still held is let go before the new connection is bound.
    ReleaseConnection();
    m_nSlot = line;
    m_conn = conn;
    if (LinkConnectionPtr previous = SlotBind(line, conn)) previous->GiveBack();
    return Hello();
}

int CLineChannel::Hello() {
    if (m_bOpen && !IsLost()) return 1;
    if (!m_conn) return 0;
    if (IsLost()) {
        m_conn.reset();
        m_bOpen = false;
        return 0;
    }
    m_record = CommandRecord(CMD_HELLO);
    int64_t postedAt = 0;
    if (!PostAndWait(HELLO_TIMEOUT_MS, postedAt)) {
        m_bOpen = false;
        return 0;
    }
    const bool bGot = LookForReply(m_record, postedAt);
    if (bGot && m_record.sControl == CMD_BYE) {
        // The gateway refused the line.
        ReleaseConnection();
        return 0;
    }
    if (bGot && m_record.sControl == CMD_HELLO) {
        m_bOpen = true;
        RestartSequence();
        return 1;
    }
    plat::SleepRaw(100);
    m_bOpen = true;
    return 1;
}

int CLineChannel::GetText(std::string& text) {
    if (!m_conn) return 0;
    m_record = CommandRecord(CMD_GET_TEXT);
    int64_t postedAt = 0;
    if (!PostAndWait(QUERY_TIMEOUT_MS, postedAt)) return 0;
    LookForReply(m_record, postedAt);
    if (m_record.sControl == CMD_BYE) {
        OnBye();
        return 0;
    }
    if (m_record.nLength == 0) return 0;
    const auto* p = reinterpret_cast<const char*>(m_record.abData.data());
    text.assign(p, strnlen(p, LINK_DATA_SIZE));
    return 1;
}

int CLineChannel::GetData(std::span<uint8_t> out) {
    if (!m_conn) return 0;
    m_record = CommandRecord(CMD_GET_DATA);
    int64_t postedAt = 0;
    if (!PostAndWait(QUERY_TIMEOUT_MS, postedAt)) return 0;
    LookForReply(m_record, postedAt);
    if (m_record.sControl == CMD_BYE) {
        OnBye();
        return 0;
    }
    if (m_record.nLength == 0) return 0;
    const size_t n = std::min<size_t>(ClampLength(m_record.nLength), out.size());
    std::memcpy(out.data(), m_record.abData.data(), n);
    return 1;
}

int CLineChannel::GetDataText(std::string& text) {
    uint8_t buffer[MODEM_TEXT_BUFFER] = {};
    if (!GetData(buffer)) return 0;
    const auto* p = reinterpret_cast<const char*>(buffer);
    text.assign(p, strnlen(p, sizeof buffer));
    return 1;
}

int CLineChannel::ImagesDone() {
    if (!m_conn) return m_bOpen ? 1 : 0;
    m_record = CommandRecord(CMD_IMAGES_DONE);
    int64_t postedAt = 0;
    if (!PostAndWait(IMAGES_DONE_TIMEOUT_MS, postedAt)) return 0;
    const bool bGot = LookForReply(m_record, postedAt);
    if (bGot && m_record.sControl == CMD_BYE) {
        OnBye();
        return 0;
    }
    if (bGot && m_record.sControl == CMD_IMAGES_DONE) {
        m_bOpen = true;
        RestartSequence();
        return 1;
    }
    plat::SleepRaw(100);
    m_bOpen = true;
    return 1;
}

int CLineChannel::UpgradeEnd() {
    if (!m_conn) return 0;
    bool bSent = false;
    m_record = CommandRecord(CMD_UPGRADE_END);
    if (Post(m_record) == PostResult::Posted) bSent = WaitUntilSent(UPGRADE_END_TIMEOUT_MS, false);
    // Either way the connection is closed; a request still pending is dropped with the slot.
    ReleaseConnection();
    return bSent ? 1 : 0;
}

int CLineChannel::Close() {
    if (!m_bOpen) return 1;
    if (!m_conn || IsLost()) {
        // Lost meanwhile: nothing can go out any more.
        m_conn.reset();
        m_bOpen = false;
        return 1;
    }
    LinkRecord bye = CommandRecord(CMD_BYE);
    PostResult r = Post(bye);
    if (r == PostResult::Busy) {
        // An earlier request is still waiting: let it leave first, then post the bye.
        if (!WaitUntilSent(CLOSE_TIMEOUT_MS, true)) return 0;
        r = Post(bye);
    }
    if (r == PostResult::NotBound) {
        m_conn.reset();
        m_bOpen = false;
        return 1;
    }
    if (r != PostResult::Posted || !WaitUntilSent(CLOSE_TIMEOUT_MS, true)) return 0;
    ReleaseConnection();
    return 1;
}

int CLineChannel::PostRecord(LinkRecord& record, int length) {
    if (!m_bOpen || length < 0) return 0;
    record.nLength = static_cast<uint32_t>(length);
    if (Post(record) != PostResult::Posted) return 0;
    return static_cast<int>(record.nLength);
}

int CLineChannel::SendData(const uint8_t* bytes, int n) {
    if (!m_bOpen || !m_conn || IsLost()) return 0;
    if (n < 0 || static_cast<size_t>(n) > LINK_DATA_SIZE || (bytes == nullptr && n > 0)) return 0;
    m_record = LinkRecord{};
    m_record.sControl = CMD_DATA;
    if (n > 0) std::memcpy(m_record.abData.data(), bytes, static_cast<size_t>(n));
    m_record.nLength = static_cast<uint32_t>(n);
    if (Post(m_record) != PostResult::Posted) return 0;
    return n;
}

int CLineChannel::SendRaw(const uint8_t* bytes, int n) {
    if (!m_bOpen) return 0;
    if (!m_conn || IsLost() || n < 0 || (bytes == nullptr && n > 0)) {
        if (IsLost() || !m_conn) Close();
        return 0;
    }
    const plat::Socket& sock = m_conn->Sock();
    int sent = 0;
    bool bFailed = false;
    // A piece the socket takes at once costs one send, as on a plain socket; the clock starts
    // only when the socket's buffer is full, and restarts with each byte taken.
    int64_t since = -1;
    while (sent < n) {
        // A stop request (the program is closing) ends the raw bytes at once.
        if (plat::StopRequested()) {
            bFailed = true;
            break;
        }
        const std::ptrdiff_t r = sock.Send(bytes + sent, static_cast<size_t>(n - sent), plat::IoMode::NoWait);
        if (r > 0) {
            sent += static_cast<int>(r);
            since = -1;
            continue;
        }
        if (r != plat::IO_WOULD_BLOCK) {
            bFailed = true;
            break;
        }
        const int64_t now = plat::TickMs();
        if (since < 0) since = now;
        const int64_t left = plat::Scaled(RAW_SEND_STALL_MS) - (now - since);
        if (left <= 0 || IsLost()) {
            bFailed = true;
            break;
        }
        sock.Wait(plat::SOCKET_WRITABLE, std::min<int64_t>(left, 100));
    }
    if (bFailed) {
        // The stream is broken in the middle of the raw bytes: a bye would only be read as
        // image bytes, so the connection is closed straight away.
        ReleaseConnection();
        return 0;
    }
    return static_cast<int>(m_record.nLength);
}

int CLineChannel::HasReply() {
    if (!m_bOpen) return 0;
    return SlotHasReply(m_nSlot, m_nSeq) ? 1 : 0;
}

int CLineChannel::TakeReply(LinkRecord& out) {
    if (!m_bOpen) return 0;
    out = LinkRecord{};
    if (!SlotTakeReply(m_nSlot, m_nSeq, out)) return 0;
    if (out.sControl == CMD_BYE) {
        Close();
        return 0;
    }
    return static_cast<int>(ClampLength(out.nLength));
}

int CLineChannel::TakeReplyLocked(LinkRecord& out) { return TakeReply(out); }

int CLineChannel::TakeData(std::span<uint8_t> dest, size_t zeroCount) {
    if (!m_bOpen) return 0;
    if (!SlotTakeReply(m_nSlot, m_nSeq, m_record)) return 0;
    if (m_record.sControl == CMD_BYE) {
        Close();
        return 0;
    }
    std::fill_n(dest.begin(), std::min(zeroCount, dest.size()), uint8_t{0});
    const size_t n = std::min<size_t>(ClampLength(m_record.nLength), dest.size());
    std::memcpy(dest.data(), m_record.abData.data(), n);
    return static_cast<int>(n);
}

void CLineChannel::DrainReplies(const std::function<void(std::span<const uint8_t>)>& each) {
    if (!m_bOpen) return;
    for (const LinkRecord& r : SlotTakeAll(m_nSlot)) {
        if (r.sControl == CMD_BYE) {
            Close();
            return;
        }
        if (each) each(std::span<const uint8_t>(r.abData.data(), ClampLength(r.nLength)));
    }
}

void CLineChannel::RestartSequence() {
    m_nSeq = 1;
    SlotDiscardQueue(m_nSlot);
}

bool CLineChannel::RequestSent() const { return SlotIsSent(m_nSlot); }
