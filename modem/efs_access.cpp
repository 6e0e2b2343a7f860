// EFS2 file access through the DIAG file system subsystem, and the copies between the modem's
// file system and the PC.

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <vector>

#include "modem/diag_client.h"
#include "platform/byte_order.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

constexpr const char* kOpenFailed = "open file operation failed, Since %s";
constexpr const char* kWriteFailed = "Write file sequence block operation failed, Since %s";
constexpr const char* kCloseFailed = "close file operation failed, Since %s";
constexpr int kEfsAttempts = 1;
constexpr int kEfsTimeoutMs = 2000;

// Reply lengths (header of 4 bytes, then 32-bit fields).
constexpr size_t kOpenReply = 12;   // descriptor, error number
constexpr size_t kCloseReply = 8;   // error number
constexpr size_t kReadReply = 20;   // descriptor, offset, bytes read, error number, data
constexpr size_t kWriteReply = 20;  // descriptor, offset, bytes written, error number
constexpr size_t kFstatReply = 32;  // error number, mode, size, nlink, atime, mtime, ctime


class Request {
public:
    explicit Request(uint16_t subCommand) {
        m_bytes = {DIAG_SUBSYS_CMD_F, DIAG_SUBSYS_FS};
        plat::AppendLe16(m_bytes, subCommand);
    }
    Request& U32(uint32_t v) {
        plat::AppendLe32(m_bytes, v);
        return *this;
    }
    Request& Bytes(std::span<const uint8_t> data) {
        m_bytes.insert(m_bytes.end(), data.begin(), data.end());
        return *this;
    }
    std::span<const uint8_t> Span() const { return m_bytes; }

private:
    std::vector<uint8_t> m_bytes;
};

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A PC file written under a temporary name and renamed into place once complete; removed when
// abandoned.
class PendingFile {
public:
    explicit PendingFile(const std::string& path) : m_path(path), m_tmp(plat::TempPathFor(path)) {
        m_file.Open(m_tmp);
    }
    ~PendingFile() { Abandon(); }
    PendingFile(const PendingFile&) = delete;
    PendingFile& operator=(const PendingFile&) = delete;

    bool IsOpen() const { return m_file.IsOpen(); }
    bool Write(std::span<const uint8_t> data) { return m_file.Write(data); }
    bool Commit() {
        if (!m_file.IsOpen()) return false;
        bool ok = m_file.Sync();
        ok = m_file.Close() && ok;
        if (ok && plat::RenameOver(m_tmp, m_path)) {
            m_bDone = true;
            return true;
        }
        Abandon();
        return false;
    }
    void Abandon() {
        m_file.Close();
        if (!m_bDone) plat::RemoveFile(m_tmp);
        m_bDone = true;
    }

private:
    std::string m_path;
    std::string m_tmp;
    plat::OutFile m_file;
    bool m_bDone = false;
};

}  // namespace

bool DiagClient::EfsFail() {
    m_nMode = ModeDiag;
    return false;
}

bool DiagClient::EfsExchange(std::span<const uint8_t> payload, size_t minReply, const char* failText) {
    ClearRequest();
    if (!SetPreparedRequest(payload)) {
        Fail(plat::Format(failText, "The Request packet has an invalid length"));
        return EfsFail();
    }
    if (!RxTxPacket(kEfsAttempts, kEfsTimeoutMs)) {
        Fail(plat::Format(failText, m_strLastError.c_str()));
        return EfsFail();
    }
    // The reply must answer this request: same subsystem header, long enough for its fields.
    // Anything else (a DIAG error reply, say) counts as a failed exchange.
    const std::span<const uint8_t> reply = ReplyPayload();
    if (reply.size() < minReply || reply[0] != payload[0] || reply[1] != payload[1] ||
        reply[2] != payload[2] || reply[3] != payload[3]) {
        Fail(plat::Format(failText, DiagErrorText(reply.empty() ? 0 : reply[0])));
        return EfsFail();
    }
    return true;
}

int DiagClient::EfsOpen(const std::string& path, bool forReading, int32_t& descriptor, int32_t* errorNumber) {
    if (errorNumber) *errorNumber = 0;
    descriptor = -1;
    if (path.size() > EFS_PATH_MAX) {
        Fail(plat::Format("路径过长：%s", path.c_str()));
        return EfsFail();
    }
    Request req(EFS2_DIAG_OPEN);
    req.U32(forReading ? EFS_OPEN_READ_FLAGS : EFS_OPEN_WRITE_FLAGS)
        .U32(forReading ? EFS_OPEN_READ_MODE : EFS_OPEN_WRITE_MODE)
        .Bytes({reinterpret_cast<const uint8_t*>(path.c_str()), path.size() + 1});
    if (!EfsExchange(req.Span(), kOpenReply, kOpenFailed)) return 0;
    const auto reply = ReplyPayload();
    descriptor = static_cast<int32_t>(plat::GetLe32(reply, 4));
    const auto err = static_cast<int32_t>(plat::GetLe32(reply, 8));
    if (errorNumber) *errorNumber = err;
    if (err != 0 || descriptor != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsFstat(int32_t descriptor, uint32_t& size) {
    size = 0;
    Request req(EFS2_DIAG_FSTAT);
    req.U32(static_cast<uint32_t>(descriptor));
    if (!EfsExchange(req.Span(), kFstatReply, kOpenFailed)) return 0;
    const auto reply = ReplyPayload();
    if (plat::GetLe32(reply, 4) != 0) return EfsFail();
    size = plat::GetLe32(reply, 12);
    return 1;
}

int DiagClient::EfsRead(int32_t descriptor, uint32_t count, uint32_t offset, uint32_t& bytesRead,
                        std::span<uint8_t> data) {
    bytesRead = 0;
    if (count > data.size()) return EfsFail();
    Request req(EFS2_DIAG_READ);
    req.U32(static_cast<uint32_t>(descriptor)).U32(count).U32(offset);
    if (!EfsExchange(req.Span(), kReadReply, kOpenFailed)) return 0;
    const auto reply = ReplyPayload();
    const uint32_t got = plat::GetLe32(reply, 12);
    // Never more than asked for, nor more than the reply carries, nor another offset.
    if (got > count || got > reply.size() - kReadReply || plat::GetLe32(reply, 8) != offset) {
        Fail(plat::Format(kOpenFailed, DiagErrorText(reply[0])));
        return EfsFail();
    }
    bytesRead = got;
    std::copy_n(reply.begin() + kReadReply, got, data.begin());
    if (plat::GetLe32(reply, 16) != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsWrite(uint32_t offset, std::span<const uint8_t> data, uint32_t* bytesWritten) {
    if (bytesWritten) *bytesWritten = 0;
    if (data.size() > EFS_BLOCK_SIZE) return EfsFail();
    Request req(EFS2_DIAG_WRITE);
    req.U32(0).U32(offset).Bytes(data);
    if (!EfsExchange(req.Span(), kWriteReply, kWriteFailed)) return 0;
    const auto reply = ReplyPayload();
    if (bytesWritten) *bytesWritten = plat::GetLe32(reply, 12);
    if (plat::GetLe32(reply, 16) != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsClose() {
    Request req(EFS2_DIAG_CLOSE);
    req.U32(0);
    if (!EfsExchange(req.Span(), kCloseReply, kCloseFailed)) return 0;
    if (plat::GetLe32(ReplyPayload(), 4) != 0) return EfsFail();
    return 1;
}

EfsCopyResult DiagClient::CopyEfsFileToPc(const std::string& pcPath, const std::string& efsPath) {
    int32_t fd = -1;
    int32_t err = 0;
    if (!EfsOpen(efsPath, true, fd, &err)) return err != 0 ? EfsCopyResult::NoFile : EfsCopyResult::Failed;

    auto fail = [this] {
        EfsClose();
        return EfsCopyResult::Failed;
    };
    uint32_t size = 0;
    if (!EfsFstat(fd, size)) return fail();
    if (size == 0) {
        // Nothing to keep: no PC file, as for a file the modem does not have.
        EfsClose();
        return EfsCopyResult::Empty;
    }
    PendingFile file(pcPath);
    if (!file.IsOpen()) return fail();

    std::array<uint8_t, EFS_BLOCK_SIZE> piece{};
    uint32_t offset = 0;
    while (offset < size) {
        const uint32_t want = std::min<uint32_t>(size - offset, EFS_BLOCK_SIZE);
        uint32_t got = 0;
        if (!EfsRead(fd, want, offset, got, piece)) return fail();
        if (got == 0) return fail();  // the file ended early: no progress is possible
        if (!file.Write({piece.data(), got})) return fail();
        offset += got;
    }
    if (!file.Commit()) return fail();
    EfsClose();  // the data is complete on the PC whatever the close says
    return EfsCopyResult::Done;
}

bool DiagClient::CopyPcFileToEfs(const std::string& pcPath, const std::string& efsPath) {
    const std::unique_ptr<std::FILE, FileCloser> in(plat::OpenFile(pcPath, "rb"));
    if (!in) return false;
    const long long length = plat::FileSize(pcPath);
    if (length < 0 || length > static_cast<long long>(UINT32_MAX)) return false;

    int32_t fd = -1;
    if (!EfsOpen(efsPath, false, fd)) return false;

    std::array<uint8_t, EFS_BLOCK_SIZE> piece{};
    uint64_t remaining = static_cast<uint64_t>(length);
    uint32_t offset = 0;
    do {
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(remaining, EFS_BLOCK_SIZE));
        const size_t got = n == 0 ? 0 : std::fread(piece.data(), 1, n, in.get());
        uint32_t written = 0;
        if (got != n || !EfsWrite(offset, {piece.data(), n}, &written) || written != n) {
            EfsClose();
            return false;
        }
        offset += n;
        remaining -= n;
    } while (remaining > 0);
    // A failed close may leave the written data unsettled in the modem.
    return EfsClose() != 0;
}
