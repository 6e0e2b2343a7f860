#pragma once
// The part of a line's channel that the modem service uses: CMD_DATA requests, replies matched by
// sequence number, and whole records for the gateway's own commands. CLineChannel implements it;
// tests give the modem service a scripted stand-in.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>

#include "cpelink/link_record.h"

class ILinkTunnel {
public:
    virtual ~ILinkTunnel() = default;

    // The line's slot index (the number in trace texts); -1 before the line was attached.
    virtual int SlotIndex() const = 0;
    virtual bool IsOpen() const = 0;
    // Marks the channel closed without closing its connection (a request timed out).
    virtual void MarkClosed() = 0;
    // The document's open-port operation: Attach(line). 1 when the channel is open.
    virtual int Attach(int line) = 0;
    // CMD_BYE and release; 1 when the channel was not open or was closed now.
    virtual int Close() = 0;

    // A CMD_DATA record with `n` bytes; n when posted, 0 when refused (not open, slot busy).
    virtual int SendData(const uint8_t* bytes, int n) = 0;
    // 1 when a record carrying the sequence number of the last request is queued.
    virtual int HasReply() = 0;
    // Takes the matching reply; zeroes `zeroCount` bytes of `dest` (at most its size) first and
    // copies at most dest.size() data bytes. Returns nLength (0: nothing, or a bye closed it).
    virtual int TakeData(std::span<uint8_t> dest, size_t zeroCount) = 0;
    // Takes every reply still queued (answers that came after their request was given up) and
    // hands the data of each to `each`, oldest first; a bye among them closes the channel. A
    // stand-in without a queue has nothing to drain.
    virtual void DrainReplies(const std::function<void(std::span<const uint8_t>)>& each) { (void)each; }
    // 1, 2 or 3: the next CMD_DATA record goes out as 0xF0, 0xF1 or 0xF2.
    virtual void SetTypeOverride(int value) = 0;

    // Posts a whole record with nLength := length; nLength when posted, else 0.
    virtual int PostRecord(LinkRecord& record, int length) = 0;
    // The locked form of TakeReply: the matching reply, removed from the queue; its nLength
    // (0 when none; a bye closes the channel and gives 0).
    virtual int TakeReplyLocked(LinkRecord& out) = 0;
    // The sequence counter restarts at 1 (queued records of the slot are discarded).
    virtual void RestartSequence() = 0;
};
