#pragma once
// The simulated gateway's behaviour and fault knobs. A plain value: GatewaySim keeps one copy under
// its lock and hands a snapshot to every request it answers, so knobs may change while it runs.
#include <cstdint>
#include <map>
#include <set>
#include <string>

// In a set or map keyed by DIAG command code: every code.
constexpr int SIM_ANY = 0x100;

struct SimKnobs {
    // --- Texts -----------------------------------------------------------------------------------
    std::string cpeVersion = "RK19T_V1.0.0";                // CMD_GET_TEXT answer
    std::string modemVersion = "PD_WA_RK880T_V1.0.0";       // CMD_GET_DATA answer
    std::string gmrVersion;                                 // "AT+GMR" version; empty: modemVersion

    // --- Link connection -------------------------------------------------------------------------
    bool bNeverConnect = false;        // announcements are recorded, never answered by a connection
    bool bConnectAfterUpgrade = false; // after CMD_UPGRADE_END the gateway reboots: no new connection
    int upgradeEndCloseMs = 200;       // CMD_UPGRADE_END: the link is closed this long after (real ms)

    // --- Replies, by request type (sControl as received, e.g. 0x04 or 0xF0) ----------------------
    std::set<uint8_t> silentTypes;              // no reply at all
    std::map<uint8_t, int> replyDelayMs;        // reply this many real ms late
    std::map<uint8_t, uint8_t> wrongReplyType;  // reply carries this type instead
    std::map<uint8_t, uint32_t> seqOffset;      // reply nSeq = request nSeq + offset
    std::set<uint8_t> byeInsteadTypes;          // a bye (0xFF, same nSeq) instead of the reply
    std::set<uint8_t> hangUpAfterTypes;         // close the connection right after that reply
    std::map<uint8_t, uint32_t> replyLength;    // nLength written into the reply (e.g. 5000)
    int enterDownloadAgain = 0;  // the first N 0x20 requests (since the knobs were set) get 0x21
    int exitDownloadAgain = 0;   // the first N 0x30 requests get 0x31

    // --- Image transfer (raw bytes after a CMD_DOWN_BOOT / CMD_DOWN_LINUX header) ----------------
    int64_t disconnectAfterImageBytes = -1;  // close once an image has this many bytes (-1: off)
    uint8_t disconnectImageType = 0;         // ... of this type only (0: any image)
    int64_t stopReadingAfterImageBytes = -1; // stop reading the socket at this many image bytes
    uint8_t stopReadingImageType = 0;        // ... of this type only (0: any image)

    // --- Modem tunnel ----------------------------------------------------------------------------
    bool bSilentAt = false;                   // AT commands get no answer
    std::set<int> silentDiagCodes;            // DIAG command codes left unanswered (SIM_ANY: all)
    std::map<int, uint8_t> diagErrorReplies;  // code -> first reply byte (0x13..0x47)
    std::set<int> badCrcReplyCodes;           // replies to these codes carry a wrong FCS
    std::set<int> noEndFlagReplyCodes;        // replies to these codes lack the closing 0x7E
    std::map<uint16_t, uint16_t> nvStatus;    // NV item -> status in read and write replies
    // The modem answers the first read of these NV items late, and the gateway relays its serial
    // output as it comes: that answer goes out when the next tunnel request arrives (the tool's
    // resend), under that request's sequence number; the modem, busy meanwhile, answers that
    // request in turn only when the one after it arrives, under the later number.
    std::set<uint16_t> lateNvReads;
    std::map<std::string, uint32_t> efsWriteErrorAt;  // EFS path -> offset: that write gets EIO, nothing stored
    bool bAnswerBadRequests = true;           // a request with a bad FCS or no flag gets 0x13
    uint16_t downloaderNakReason = 0;         // boot downloader reset: 0 ACK, else NAK + reason
    std::string spc = "000000";               // the service programming code that unlocks writes
    uint32_t esn = 0x80A1B2C3;
};
