#include "sim/modem_sim.h"

#include <algorithm>
#include <cctype>
#include <cstring>

#include "modem/diag_frame.h"
#include "modem/rf_nv_lists.h"
#include "platform/byte_order.h"
#include "sim/locked_copy.h"
#include "sim/sim_frame.h"

namespace {

constexpr uint8_t DIAG_ESN = 0x01;
constexpr uint8_t DIAG_BAD_CMD = 0x13;
constexpr uint8_t DIAG_BAD_LEN = 0x15;
constexpr uint8_t DIAG_NV_READ = 0x26;
constexpr uint8_t DIAG_NV_WRITE = 0x27;
constexpr uint8_t DIAG_CONTROL = 0x29;
constexpr uint8_t DIAG_SPC = 0x41;
constexpr uint8_t DIAG_BAD_SPC_MODE = 0x42;
constexpr uint8_t DIAG_SUBSYS = 0x4B;
constexpr uint8_t SUBSYS_EFS2 = 0x13;

constexpr uint16_t EFS2_OPEN = 2;
constexpr uint16_t EFS2_CLOSE = 3;
constexpr uint16_t EFS2_READ = 4;
constexpr uint16_t EFS2_WRITE = 5;
constexpr uint16_t EFS2_FSTAT = 17;
constexpr uint32_t EFS_READ_MAX = 512;  // keeps a read reply inside one tunnel record

constexpr uint32_t O_ACCMODE_ = 3;
constexpr uint32_t O_WRONLY_ = 1;
constexpr uint32_t O_RDWR_ = 2;
constexpr uint32_t O_CREAT_ = 0x40;
constexpr uint32_t O_TRUNC_ = 0x200;
constexpr uint32_t S_IFREG_0644 = 0100644;
constexpr uint32_t EFS_FILE_TIME = 1262304000;  // the times every file reports

constexpr uint8_t DLOAD_ACK = 0x02;
constexpr uint8_t DLOAD_NAK = 0x03;
constexpr uint8_t DLOAD_NOP = 0x06;
constexpr uint8_t DLOAD_RESET = 0x0A;
constexpr uint16_t NAK_INVALID_FCS = 1;
constexpr uint16_t NAK_UNKNOWN_CMD = 6;

// Requests echoed in a rejection are cut to this many bytes, so that the framed answer (every
// byte escaped at worst) always fits one tunnel record.
constexpr size_t REJECT_ECHO_MAX = 640;

// DIAG's generic rejection: the error code followed by the request as received.
std::vector<uint8_t> Reject(uint8_t error, const std::vector<uint8_t>& req) {
    const size_t n = std::min(req.size(), REJECT_ECHO_MAX);
    std::vector<uint8_t> out(n + 1);
    out[0] = error;
    std::copy_n(req.begin(), n, out.begin() + 1);
    return out;
}

template <typename Set>
bool Matches(const Set& set, int code) {
    return set.count(code) != 0 || set.count(SIM_ANY) != 0;
}

std::vector<uint8_t> Text(const std::string& s) { return {s.begin(), s.end()}; }

}  // namespace

ModemSim::ModemSim() = default;

bool ModemSim::IsAtCommand(std::span<const uint8_t> data) {
    size_t n = data.size();
    while (n > 0 && data[n - 1] == 0) --n;
    return n >= 3 && data[0] == 'A' && data[1] == 'T' && data[n - 1] == '\r';
}

std::optional<std::vector<uint8_t>> ModemSim::Handle(std::span<const uint8_t> request, const SimKnobs& knobs,
                                                     bool* late) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_bAnswerLate = false;
    std::optional<std::vector<uint8_t>> answer = HandleLocked(request, knobs);
    if (late) *late = answer && m_bAnswerLate;
    return answer;
}

std::optional<std::vector<uint8_t>> ModemSim::HandleLocked(std::span<const uint8_t> request, const SimKnobs& knobs) {
    if (IsAtCommand(request)) {
        size_t n = request.size();
        while (n > 0 && request[n - 1] == 0) --n;
        return HandleAt(std::string(request.begin(), request.begin() + static_cast<long>(n) - 1),
                        knobs);
    }
    if (!request.empty() && request[0] == DIAG_FLAG) return HandleDownloader(request, knobs);
    return HandleDiag(request, knobs);
}

std::optional<std::vector<uint8_t>> ModemSim::HandleAt(std::string command, const SimKnobs& knobs) {
    m_events.push_back({ModemEvent::Kind::At, 0, command});
    if (knobs.bSilentAt) return std::nullopt;
    std::string upper = command;
    for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));

    if (upper == "AT") return Text("\r\nOK\r\n");
    if (upper == "AT+GMR") {
        const std::string& v = knobs.gmrVersion.empty() ? knobs.modemVersion : knobs.gmrVersion;
        return Text("\r\n+GMR: " + v + " B01\r\n\r\nOK\r\n");
    }
    if (upper == "AT+KDIAG?") return Text("\r\n+KDIAG: " + std::to_string(m_nAtMode) + "\r\n\r\nOK\r\n");
    const std::string set = "AT+KDIAG=";
    if (upper.compare(0, set.size(), set) == 0) {
        const std::string digits = upper.substr(set.size());
        const bool bNumber = !digits.empty() && digits.size() <= 2 &&
                             std::all_of(digits.begin(), digits.end(),
                                         [](char c) { return c >= '0' && c <= '9'; });
        if (bNumber) {
            m_nAtMode = std::stoi(digits);
            return Text("\r\nOK\r\n");
        }
    }
    return Text("\r\nERROR\r\n");
}

std::optional<std::vector<uint8_t>> ModemSim::HandleDownloader(std::span<const uint8_t> frame,
                                                               const SimKnobs& knobs) {
    const DecodedFrame decoded = DecodeFrame(frame, true);
    std::vector<uint8_t> reply;
    int code = -1;
    if (!decoded.ok || decoded.payload.empty()) {
        m_events.push_back({ModemEvent::Kind::BadFrame, 0, {}});
        if (!knobs.bAnswerBadRequests) return std::nullopt;
        reply = {DLOAD_NAK, 0, static_cast<uint8_t>(NAK_INVALID_FCS)};
    } else {
        code = decoded.payload[0];
        m_events.push_back({ModemEvent::Kind::Downloader, decoded.payload[0], {}});
        if (Matches(knobs.silentDiagCodes, code)) return std::nullopt;
        if (code == DLOAD_RESET) {
            if (knobs.downloaderNakReason == 0) {
                reply = {DLOAD_ACK};
                ++m_nDownloaderResets;
            } else {
                reply = {DLOAD_NAK, static_cast<uint8_t>(knobs.downloaderNakReason >> 8),
                         static_cast<uint8_t>(knobs.downloaderNakReason)};
            }
        } else if (code == DLOAD_NOP) {
            reply = {DLOAD_ACK};
        } else {
            reply = {DLOAD_NAK, 0, static_cast<uint8_t>(NAK_UNKNOWN_CMD)};
        }
    }
    return Frame(reply, code, true, knobs);
}

std::optional<std::vector<uint8_t>> ModemSim::HandleDiag(std::span<const uint8_t> frame,
                                                         const SimKnobs& knobs) {
    const DecodedFrame decoded = DecodeFrame(frame, false);
    if (!decoded.ok || decoded.payload.empty()) {
        m_events.push_back({ModemEvent::Kind::BadFrame, 0, {}});
        if (!knobs.bAnswerBadRequests) return std::nullopt;
        std::vector<uint8_t> raw(frame.begin(), frame.end());
        return Frame(Reject(DIAG_BAD_CMD, raw), -1, false, knobs);
    }
    const std::vector<uint8_t>& req = decoded.payload;
    const int code = req[0];
    m_events.push_back({ModemEvent::Kind::Diag, req[0], {}});
    if (Matches(knobs.silentDiagCodes, code)) return std::nullopt;
    auto err = knobs.diagErrorReplies.find(code);
    if (err == knobs.diagErrorReplies.end()) err = knobs.diagErrorReplies.find(SIM_ANY);
    if (err != knobs.diagErrorReplies.end()) return Frame(Reject(err->second, req), code, false, knobs);
    return Frame(Answer(req, knobs), code, false, knobs);
}

std::vector<uint8_t> ModemSim::Frame(const std::vector<uint8_t>& payload, int code,
                                     bool bLeadingFlag, const SimKnobs& knobs) const {
    std::vector<uint8_t> frame = EncodeFrame(payload, bLeadingFlag);
    if (code >= 0 && Matches(knobs.badCrcReplyCodes, code)) sim::CorruptFcs(frame);
    if (code >= 0 && Matches(knobs.noEndFlagReplyCodes, code) && !frame.empty()) frame.pop_back();
    return frame;
}

std::vector<uint8_t> ModemSim::Answer(const std::vector<uint8_t>& req, const SimKnobs& knobs) {
    const uint8_t code = req[0];
    switch (code) {
        case DIAG_ESN: {
            std::vector<uint8_t> out{DIAG_ESN};
            plat::AppendLe32(out, knobs.esn);
            return out;
        }
        case DIAG_NV_READ:
        case DIAG_NV_WRITE:
            return AnswerNv(req, knobs);
        case DIAG_CONTROL: {
            if (req.size() < 3) return Reject(DIAG_BAD_LEN, req);
            const uint16_t mode = plat::GetLe16(req, 1);
            m_controlModes.push_back(mode);
            if (mode == 1) m_bOffline = true;
            if (mode == 2) {
                // A reset: the modem comes back online, locked, with no file open.
                ++m_nResets;
                m_bOffline = false;
                m_bSpcUnlocked = false;
                m_open.clear();
            }
            std::vector<uint8_t> out{DIAG_CONTROL};
            plat::AppendLe16(out, mode);
            return out;
        }
        case DIAG_SPC: {
            if (req.size() < 7) return Reject(DIAG_BAD_LEN, req);
            const std::string given(req.begin() + 1, req.begin() + 7);
            const bool bOk = given == knobs.spc;
            if (bOk) m_bSpcUnlocked = true;
            return {DIAG_SPC, static_cast<uint8_t>(bOk ? 1 : 0)};
        }
        case DIAG_SUBSYS:
            if (req.size() < 4) return Reject(DIAG_BAD_LEN, req);
            if (req[1] != SUBSYS_EFS2) return Reject(DIAG_BAD_CMD, req);
            return AnswerEfs(req, knobs);
        default:
            return Reject(DIAG_BAD_CMD, req);
    }
}

std::vector<uint8_t> ModemSim::AnswerNv(const std::vector<uint8_t>& req, const SimKnobs& knobs) {
    constexpr size_t kReqSize = 1 + 2 + SIM_NV_DATA_SIZE + 2;
    if (req.size() < kReqSize) return Reject(DIAG_BAD_LEN, req);
    const uint8_t code = req[0];
    if (code == DIAG_NV_WRITE && !m_bSpcUnlocked) return Reject(DIAG_BAD_SPC_MODE, req);
    const uint16_t item = plat::GetLe16(req, 1);
    auto it = m_nv.find(item);
    const auto forced = knobs.nvStatus.find(item);

    std::array<uint8_t, SIM_NV_DATA_SIZE> data{};
    std::copy_n(req.begin() + 3, SIM_NV_DATA_SIZE, data.begin());
    uint16_t status;
    if (code == DIAG_NV_READ) {
        if (knobs.lateNvReads.count(item) && m_lateGiven.insert(item).second) m_bAnswerLate = true;
        // A read-only item reads like any active one.
        status = it == m_nv.end() ? SIM_NV_NOTACTIVE : it->second.status;
        if (status == SIM_NV_READONLY) status = SIM_NV_DONE;
        if (forced != knobs.nvStatus.end()) status = forced->second;
        if (status == SIM_NV_DONE && it != m_nv.end()) data = it->second.data;
        // Any other status echoes the request data, as the modem does.
    } else {
        status = (it != m_nv.end() && it->second.status == SIM_NV_READONLY) ? SIM_NV_READONLY
                                                                             : SIM_NV_DONE;
        if (forced != knobs.nvStatus.end()) status = forced->second;
        if (status == SIM_NV_DONE) m_nv[item] = SimNvItem{data, SIM_NV_DONE};
    }
    std::vector<uint8_t> out{code};
    plat::AppendLe16(out, item);
    out.insert(out.end(), data.begin(), data.end());
    plat::AppendLe16(out, status);
    return out;
}

std::vector<uint8_t> ModemSim::AnswerEfs(const std::vector<uint8_t>& req, const SimKnobs& knobs) {
    const uint16_t sub = plat::GetLe16(req, 2);
    std::vector<uint8_t> out(req.begin(), req.begin() + 4);
    auto need = [&](size_t n) { return req.size() >= n; };

    switch (sub) {
        case EFS2_OPEN: {
            if (!need(13)) return Reject(DIAG_BAD_LEN, req);
            const uint32_t flags = plat::GetLe32(req, 4);
            const auto nul = std::find(req.begin() + 12, req.end(), 0);
            if (nul == req.end()) return Reject(DIAG_BAD_LEN, req);
            const std::string path(req.begin() + 12, nul);
            const std::string folder = RF_NV_FILE_FOLDER;
            const bool bInFolder = path.size() > folder.size() &&
                                   path.compare(0, folder.size(), folder) == 0 &&
                                   path.find('/', folder.size()) == std::string::npos;
            const uint32_t acc = flags & O_ACCMODE_;
            const bool bWrite = acc == O_WRONLY_ || acc == O_RDWR_;
            uint32_t error = 0;
            auto file = m_efs.find(path);
            if (!bInFolder) {
                error = SIM_ENOENT;
            } else if (file == m_efs.end()) {
                if (bWrite && (flags & O_CREAT_)) file = m_efs.emplace(path, std::vector<uint8_t>{}).first;
                else error = SIM_ENOENT;
            }
            if (error == 0 && bWrite && (flags & O_TRUNC_)) file->second.clear();
            uint32_t fd = 0xFFFFFFFF;
            if (error == 0) {
                fd = 0;
                while (m_open.count(fd)) ++fd;
                m_open[fd] = OpenFile{path, bWrite};
            }
            plat::AppendLe32(out, fd);
            plat::AppendLe32(out, error);
            return out;
        }
        case EFS2_CLOSE: {
            if (!need(8)) return Reject(DIAG_BAD_LEN, req);
            const bool bOpen = m_open.erase(plat::GetLe32(req, 4)) != 0;
            plat::AppendLe32(out, bOpen ? 0 : SIM_EBADF);
            return out;
        }
        case EFS2_READ: {
            if (!need(16)) return Reject(DIAG_BAD_LEN, req);
            const uint32_t fd = plat::GetLe32(req, 4);
            const uint32_t count = std::min(plat::GetLe32(req, 8), EFS_READ_MAX);
            const uint32_t offset = plat::GetLe32(req, 12);
            auto of = m_open.find(fd);
            std::vector<uint8_t> bytes;
            uint32_t error = 0;
            if (of == m_open.end()) {
                error = SIM_EBADF;
            } else {
                const std::vector<uint8_t>& content = m_efs[of->second.path];
                if (offset < content.size()) {
                    const size_t n = std::min<size_t>(count, content.size() - offset);
                    bytes.assign(content.begin() + offset, content.begin() + offset + n);
                }
            }
            plat::AppendLe32(out, fd);
            plat::AppendLe32(out, offset);
            plat::AppendLe32(out, static_cast<uint32_t>(bytes.size()));
            plat::AppendLe32(out, error);
            out.insert(out.end(), bytes.begin(), bytes.end());
            return out;
        }
        case EFS2_WRITE: {
            if (!need(12)) return Reject(DIAG_BAD_LEN, req);
            const uint32_t fd = plat::GetLe32(req, 4);
            const uint32_t offset = plat::GetLe32(req, 8);
            const size_t n = req.size() - 12;
            auto of = m_open.find(fd);
            uint32_t error = 0;
            uint32_t written = 0;
            if (of == m_open.end() || !of->second.bWrite) {
                error = SIM_EBADF;
            } else if (offset > (1u << 24)) {
                error = SIM_EINVAL;
            } else if (auto fault = knobs.efsWriteErrorAt.find(of->second.path);
                       fault != knobs.efsWriteErrorAt.end() && fault->second == offset) {
                error = SIM_EIO;
            } else {
                std::vector<uint8_t>& content = m_efs[of->second.path];
                if (content.size() < offset + n) content.resize(offset + n);
                std::copy(req.begin() + 12, req.end(), content.begin() + offset);
                written = static_cast<uint32_t>(n);
            }
            plat::AppendLe32(out, fd);
            plat::AppendLe32(out, offset);
            plat::AppendLe32(out, written);
            plat::AppendLe32(out, error);
            return out;
        }
        case EFS2_FSTAT: {
            if (!need(8)) return Reject(DIAG_BAD_LEN, req);
            auto of = m_open.find(plat::GetLe32(req, 4));
            if (of == m_open.end()) {
                plat::AppendLe32(out, SIM_EBADF);
                for (int i = 0; i < 6; ++i) plat::AppendLe32(out, 0);
                return out;
            }
            plat::AppendLe32(out, 0);
            plat::AppendLe32(out, S_IFREG_0644);
            plat::AppendLe32(out, static_cast<uint32_t>(m_efs[of->second.path].size()));
            plat::AppendLe32(out, 1);
            for (int i = 0; i < 3; ++i) plat::AppendLe32(out, EFS_FILE_TIME);
            return out;
        }
        default:
            return Reject(DIAG_BAD_CMD, req);
    }
}

// --- Store access ----------------------------------------------------------------------------------

void ModemSim::SetNvItem(uint16_t item, std::span<const uint8_t> data, uint16_t status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    SimNvItem& nv = m_nv[item];
    nv.data.fill(0);
    std::copy_n(data.begin(), std::min(data.size(), SIM_NV_DATA_SIZE), nv.data.begin());
    nv.status = status;
}

void ModemSim::SetNvStatus(uint16_t item, uint16_t status) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nv[item].status = status;
}

std::optional<SimNvItem> ModemSim::NvItem(uint16_t item) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_nv.find(item);
    if (it == m_nv.end()) return std::nullopt;
    return it->second;
}

std::map<uint16_t, SimNvItem> ModemSim::NvItems() const { return LockedCopy(m_mutex, m_nv); }

void ModemSim::WipeNv() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nv.clear();
}

bool ModemSim::SetImei(const std::string& digits) {
    if (digits.size() != 15 ||
        !std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; }))
        return false;
    std::array<uint8_t, SIM_NV_DATA_SIZE> data{};
    auto d = [&](size_t i) { return static_cast<uint8_t>(digits[i] - '0'); };
    data[0] = 8;
    data[1] = static_cast<uint8_t>((d(0) << 4) | 0x0A);
    for (size_t k = 1; k <= 7; ++k)
        data[1 + k] = static_cast<uint8_t>(d(2 * k - 1) | (d(2 * k) << 4));
    SetNvItem(SIM_NV_IMEI_ITEM, data, SIM_NV_DONE);
    return true;
}

std::string ModemSim::Imei() const {
    const auto item = NvItem(SIM_NV_IMEI_ITEM);
    if (!item) return {};
    std::string text(1, static_cast<char>((item->data[1] >> 4) + 0x30));
    for (size_t i = 2; i <= 8; ++i) {
        text += static_cast<char>((item->data[i] & 0x0F) + 0x30);
        text += static_cast<char>((item->data[i] >> 4) + 0x30);
    }
    return text;
}

void ModemSim::SetEfsFile(const std::string& path, std::vector<uint8_t> bytes) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_efs[path] = std::move(bytes);
}

std::optional<std::vector<uint8_t>> ModemSim::EfsFile(const std::string& path) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto it = m_efs.find(path);
    if (it == m_efs.end()) return std::nullopt;
    return it->second;
}

std::map<std::string, std::vector<uint8_t>> ModemSim::EfsFiles() const { return LockedCopy(m_mutex, m_efs); }

void ModemSim::WipeEfs() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_efs.clear();
    m_open.clear();
}

int ModemSim::OpenEfsFiles() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return static_cast<int>(m_open.size());
}

int ModemSim::AtDiagMode() const { return LockedCopy(m_mutex, m_nAtMode); }

void ModemSim::SetAtDiagMode(int mode) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_nAtMode = mode;
}

bool ModemSim::SpcUnlocked() const { return LockedCopy(m_mutex, m_bSpcUnlocked); }

bool ModemSim::Offline() const { return LockedCopy(m_mutex, m_bOffline); }

std::vector<uint16_t> ModemSim::ControlModes() const { return LockedCopy(m_mutex, m_controlModes); }

int ModemSim::Resets() const { return LockedCopy(m_mutex, m_nResets); }

int ModemSim::DownloaderResets() const { return LockedCopy(m_mutex, m_nDownloaderResets); }

std::vector<ModemEvent> ModemSim::Events() const { return LockedCopy(m_mutex, m_events); }

void ModemSim::ClearEvents() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_events.clear();
    m_controlModes.clear();
    m_nResets = 0;
    m_nDownloaderResets = 0;
}
