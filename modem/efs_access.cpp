// EFS2 file access through the DIAG file system subsystem, and the copies between the modem's
// file system and the PC.

#include <algorithm>
#include <cstdio>
#include <memory>

#include "modem/diag_client.h"
#include "platform/fs.h"
#include "platform/non_copyable.h"
#include "platform/trace.h"

namespace {

constexpr const char* kOpenFailed = "open file operation failed, Since %s";
constexpr const char* kWriteFailed = "Write file sequence block operation failed, Since %s";
constexpr const char* kCloseFailed = "close file operation failed, Since %s";
constexpr int kEfsAttempts = 1;
constexpr int kEfsTimeoutMs = 2000;

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

// A PC file written under a temporary name and renamed into place once complete; removed when
// abandoned.
class PendingFile : private plat::NonCopyable {
public:
    explicit PendingFile(const std::string& path) : m_path(path), m_tmp(plat::TempPathFor(path)) {
        m_file.Open(m_tmp);
    }
    ~PendingFile() { Abandon(); }

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

int DiagClient::EfsFail() {
    m_mode = DiagMode::Diag;
    return 0;
}

template <typename Parse>
auto DiagClient::EfsCommand(std::span<const uint8_t> request, const char* failText, Parse parse)
    -> decltype(parse(std::span<const uint8_t>{})) {
    decltype(parse(std::span<const uint8_t>{})) result;
    // A reply that does not answer this request (a DIAG error reply, say) fails the exchange with
    // the DIAG text of its first byte.
    const int ok = RxTxPacket(request, DiagMode::Prepared, kEfsAttempts, kEfsTimeoutMs,
                              [&](std::span<const uint8_t> reply) {
                                  result = parse(reply);
                                  return result ? nullptr : DiagErrorText(reply.empty() ? 0 : reply[0]);
                              });
    if (!ok || !result) {
        result = {};
        Fail(plat::Format(failText, m_strLastError.c_str()));
        EfsFail();
    }
    return result;
}

int DiagClient::EfsOpen(const std::string& path, bool forReading, int32_t& descriptor, int32_t* errorNumber) {
    if (errorNumber) *errorNumber = 0;
    descriptor = -1;
    if (path.size() > EFS_PATH_MAX) {
        Fail(plat::Format("路径过长：%s", path.c_str()));
        return EfsFail();
    }
    const auto reply = EfsCommand(BuildEfsOpenRequest(path, forReading), kOpenFailed, ParseEfsOpenReply);
    if (!reply) return 0;
    descriptor = reply->descriptor;
    if (errorNumber) *errorNumber = reply->error;
    if (reply->error != 0 || reply->descriptor != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsFstat(int32_t descriptor, uint32_t& size) {
    size = 0;
    const auto reply = EfsCommand(BuildEfsFstatRequest(descriptor), kOpenFailed, ParseEfsFstatReply);
    if (!reply) return 0;
    if (reply->error != 0) return EfsFail();
    size = reply->size;
    return 1;
}

int DiagClient::EfsRead(int32_t descriptor, uint32_t count, uint32_t offset, uint32_t& bytesRead,
                        std::span<uint8_t> data) {
    bytesRead = 0;
    if (count > data.size()) return EfsFail();
    const auto parse = [count, offset](std::span<const uint8_t> r) { return ParseEfsReadReply(r, count, offset); };
    const auto reply = EfsCommand(BuildEfsReadRequest(descriptor, count, offset), kOpenFailed, parse);
    if (!reply) return 0;
    bytesRead = reply->bytesRead;
    std::copy(reply->data.begin(), reply->data.end(), data.begin());
    if (reply->error != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsWrite(uint32_t offset, std::span<const uint8_t> data, uint32_t* bytesWritten) {
    if (bytesWritten) *bytesWritten = 0;
    if (data.size() > EFS_BLOCK_SIZE) return EfsFail();
    // The reply echoes the offset; another one answers another piece.
    const auto parse = [offset](std::span<const uint8_t> r) {
        std::optional<EfsWriteReply> reply = ParseEfsWriteReply(r);
        if (reply && reply->offset != offset) reply.reset();
        return reply;
    };
    const auto reply = EfsCommand(BuildEfsWriteRequest(offset, data), kWriteFailed, parse);
    if (!reply) return 0;
    if (bytesWritten) *bytesWritten = reply->bytesWritten;
    if (reply->error != 0) return EfsFail();
    return 1;
}

int DiagClient::EfsClose() {
    const auto reply = EfsCommand(BuildEfsCloseRequest(), kCloseFailed, ParseEfsCloseReply);
    if (!reply) return 0;
    if (*reply != 0) return EfsFail();
    return 1;
}

EfsCopyResult DiagClient::CopyEfsFileToPc(const std::string& pcPath, const std::string& efsPath) {
    int32_t fd = -1;
    int32_t err = 0;
    if (!EfsOpen(efsPath, true, fd, &err)) return err == EFS_ENOENT ? EfsCopyResult::NoFile : EfsCopyResult::Failed;

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
