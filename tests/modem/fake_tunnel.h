#pragma once
// A scripted stand-in for a line's channel: each request sent takes the next step of the script
// (expect these bytes, answer with that reply, stay silent, refuse the send); when the script is
// used up, an optional responder answers (a small modem for the file tests).
#include <gtest/gtest.h>

#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cpelink/tunnel.h"
#include "modem/diag_frame.h"
#include "platform/clock.h"
#include "platform/trace.h"

using Bytes = std::vector<uint8_t>;

struct Step {
    enum Kind { Reply, Silent, Refuse };
    Kind kind = Reply;
    Bytes reply;            // as received (a frame, or any bytes)
    int delayMs = 0;        // the reply shows up this long after the send
    std::optional<Bytes> expect;
    int lengthOverride = -1;  // nLength reported instead of reply.size()
    std::vector<Bytes> ahead;  // frames queued under this request's number before its reply
};

inline Step ReplyFrame(const Bytes& payload, bool leadingFlag = false) {
    return Step{Step::Reply, EncodeFrame(payload, leadingFlag), 0, std::nullopt, -1, {}};
}
inline Step ReplyRaw(const Bytes& bytes) { return Step{Step::Reply, bytes, 0, std::nullopt, -1, {}}; }
inline Step Silent() { return Step{Step::Silent, {}, 0, std::nullopt, -1, {}}; }
inline Step Refuse() { return Step{Step::Refuse, {}, 0, std::nullopt, -1, {}}; }

class FakeTunnel : public ILinkTunnel {
public:
    // Answers a request payload (decoded) with a reply payload, or nothing (silence).
    using Responder = std::function<std::optional<Bytes>(const Bytes& request)>;

    std::deque<Step> steps;
    Responder responder;
    std::vector<Bytes> sent;          // every SendData call, refused ones included
    std::vector<int> sentOverride;    // the type override in force at each send
    std::vector<LinkRecord> posted;
    std::deque<std::pair<std::optional<LinkRecord>, int>> recordReplies;  // reply (or none), delay
    bool open = true;
    int slot = 0;
    int override = 0;
    int markedClosed = 0;
    int restarts = 0;
    std::vector<Bytes> queued;   // frames left in the queue: drained before the next request
    int drained = 0;

    int SlotIndex() const override { return slot; }
    bool IsOpen() const override { return open; }
    void MarkClosed() override {
        open = false;
        ++markedClosed;
    }
    int Attach(int) override { return open ? 1 : 0; }
    int Close() override {
        open = false;
        return 1;
    }

    int SendData(const uint8_t* bytes, int n) override {
        sent.emplace_back(bytes, bytes + n);
        sentOverride.push_back(override);
        m_pending.reset();
        Step step;
        if (!steps.empty()) {
            step = steps.front();
            steps.pop_front();
        } else if (responder) {
            const DecodedFrame req = DecodeFrame(sent.back(), false);
            EXPECT_TRUE(req.ok) << req.error;
            const std::optional<Bytes> answer = responder(req.payload);
            step = answer ? ReplyFrame(*answer) : Silent();
        } else {
            ADD_FAILURE() << "unexpected request #" << sent.size();
            step = Silent();
        }
        if (step.expect) {
            EXPECT_EQ(sent.back(), *step.expect) << "request #" << sent.size();
        }
        if (!open || step.kind == Step::Refuse) return 0;
        override = 0;  // the channel encodes the record: the override is used up
        for (const Bytes& a : step.ahead) m_ahead.push_back(a);
        if (step.kind == Step::Reply) {
            m_pending = step;
            m_readyAt = plat::TickMs() + step.delayMs;
        }
        return n;
    }
    int HasReply() override { return (!m_ahead.empty() || DataReady() || RecordReady()) ? 1 : 0; }
    int TakeData(std::span<uint8_t> dest, size_t zeroCount) override {
        if (!m_ahead.empty()) {
            std::fill_n(dest.begin(), std::min(zeroCount, dest.size()), 0);
            const Bytes r = m_ahead.front();
            m_ahead.pop_front();
            std::copy_n(r.begin(), std::min(r.size(), dest.size()), dest.begin());
            return static_cast<int>(r.size());
        }
        if (!DataReady()) return 0;
        std::fill_n(dest.begin(), std::min(zeroCount, dest.size()), 0);
        const Bytes& r = m_pending->reply;
        std::copy_n(r.begin(), std::min(r.size(), dest.size()), dest.begin());
        const int n = m_pending->lengthOverride >= 0 ? m_pending->lengthOverride : static_cast<int>(r.size());
        m_pending.reset();
        return n;
    }
    void SetTypeOverride(int value) override { override = value; }
    void DrainReplies(const std::function<void(std::span<const uint8_t>)>& each) override {
        for (const Bytes& b : queued) {
            ++drained;
            each(b);
        }
        queued.clear();
        m_ahead.clear();
    }

    int PostRecord(LinkRecord& record, int length) override {
        if (!open) return 0;
        record.nLength = static_cast<uint32_t>(length);
        posted.push_back(record);
        m_record.reset();
        if (!recordReplies.empty()) {
            m_record = recordReplies.front().first;
            m_recordAt = plat::TickMs() + recordReplies.front().second;
            recordReplies.pop_front();
        }
        m_pending.reset();
        return length;
    }
    int TakeReplyLocked(LinkRecord& out) override {
        out = LinkRecord{};
        if (!m_record || plat::TickMs() < m_recordAt) return 0;
        out = *m_record;
        m_record.reset();
        return static_cast<int>(out.nLength);
    }
    void RestartSequence() override { ++restarts; }

    bool DataReady() const { return m_pending && plat::TickMs() >= m_readyAt; }
    bool RecordReady() const { return m_record && plat::TickMs() >= m_recordAt; }

private:
    std::optional<Step> m_pending;
    std::deque<Bytes> m_ahead;
    int64_t m_readyAt = 0;
    std::optional<LinkRecord> m_record;
    int64_t m_recordAt = 0;
};

// Collects trace lines while alive.
class TraceCapture {
public:
    TraceCapture() {
        plat::SetTraceSink([this](const std::string& t) {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_lines.push_back(t);
        });
    }
    ~TraceCapture() { plat::SetTraceSink(nullptr); }
    std::vector<std::string> Lines() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_lines;
    }

private:
    std::mutex m_mutex;
    std::vector<std::string> m_lines;
};

struct ScaleGuard {
    explicit ScaleGuard(double f) { plat::SetTimeScale(f); }
    ~ScaleGuard() { plat::SetTimeScale(1.0); }
};
