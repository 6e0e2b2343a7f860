#include "cpelink/image_transfer.h"

#include <algorithm>
#include <cstdio>
#include <memory>
#include <vector>

#include "cpelink/line_channel.h"
#include "cpelink/uboot_image.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};

void Log(const TransferCallbacks& cb, const std::string& text) {
    if (cb.log) cb.log(text);
}

}  // namespace

int ImageProgress(ImageVariant variant, long long offset, long long total) {
    if (total <= 0) return variant == ImageVariant::Boot ? 0 : 10;
    return variant == ImageVariant::Boot ? static_cast<int>(offset * 10 / total)
                                         : static_cast<int>(offset * 80 / total + 10);
}

std::string CheckImageFile(const std::string& path, ImageVariant variant) {
    const UbootExpectation& expected = variant == ImageVariant::Boot ? BOOT_IMAGE_EXPECTED : LINUX_IMAGE_EXPECTED;
    std::unique_ptr<std::FILE, FileCloser> file(plat::OpenFile(path, "rb"));
    const long long size = file ? plat::OpenFileSize(file.get()) : -1;
    if (size < 0) return UbootCheckStatus(path, UbootCheck::Unreadable);
    std::vector<uint8_t> buffer(static_cast<size_t>(IMAGE_BLOCK_SIZE) * IMAGE_READ_BLOCKS);
    const size_t got = std::fread(buffer.data(), 1, UBOOT_HEADER_SIZE, file.get());
    const std::span<const uint8_t> start(buffer.data(), got);
    UbootCheck check = CheckUbootHeader(start, size, expected);
    if (check != UbootCheck::Ok) return UbootCheckStatus(path, check);
    const UbootHeader header = ParseUbootHeader(start);
    uint32_t crc = 0;
    for (uint32_t left = header.size; left > 0 && check == UbootCheck::Ok;) {
        const size_t n = std::fread(buffer.data(), 1, std::min<size_t>(left, buffer.size()), file.get());
        if (n == 0) check = UbootCheck::Unreadable;  // shorter now than a moment ago, or a read error
        crc = Crc32(std::span<const uint8_t>(buffer.data(), n), crc);
        left -= static_cast<uint32_t>(n);
    }
    if (check == UbootCheck::Ok && crc != header.dcrc) check = UbootCheck::DataCrc;
    return check == UbootCheck::Ok ? std::string() : UbootCheckStatus(path, check);
}

bool SendImage(CLineChannel& channel, ImageVariant variant, const std::string& path, const TransferCallbacks& cb) {
    const bool bBoot = variant == ImageVariant::Boot;
    const uint8_t type = bBoot ? CMD_DOWN_BOOT : CMD_DOWN_LINUX;
    const int64_t headerPause = bBoot ? 100 : 300;

    std::unique_ptr<std::FILE, FileCloser> file(plat::OpenFile(path, "rb"));
    const long long total = file ? plat::OpenFileSize(file.get()) : -1;
    if (total < 0 || total > 0xFFFFFFFFLL) {
        Log(cb, plat::Format("error: open %s file\n", path.c_str()));
        return false;
    }
    long long offset = 0;
    // A stop request during the pause (the program is closing) sends nothing at all.
    if (!plat::Sleep(IMAGE_START_PAUSE_MS)) return false;

    // The header is built in the channel's record buffer: the raw sends report its nLength.
    LinkRecord& header = channel.Record();
    header = LinkRecord{};
    header.sControl = type;
    header.nArg1 = IMAGE_HEADER_ARG1;
    header.nBlock = 0;
    header.nTotal = static_cast<uint32_t>(total);
    if (channel.PostRecord(header, IMAGE_BLOCK_SIZE) == 0) {
        // Not open, lost, or an earlier request still waiting in the slot.
        Log(cb, plat::Format("error: send data at: %d", 0));
        return false;
    }
    // The header leaves from the send thread; the raw bytes must follow it, not overtake it.
    const int64_t began = plat::TickMs();
    while (!channel.RequestSent()) {
        if (plat::TickMs() - began > plat::Scaled(IMAGE_HEADER_SENT_LIMIT_MS) || !plat::SleepRaw(10)) {
            Log(cb, plat::Format("error: send data at: %d", 0));
            return false;
        }
    }
    plat::SleepRaw(headerPause);

    // Whole reads of IMAGE_READ_BLOCKS pieces (the stream unbuffered: the reads go straight into
    // the buffer), each piece written on its own as it always was. Every read starts on a piece
    // boundary, so the writes are the same 1350-byte pieces and the same short last one as with a
    // read per piece; a file that became shorter ends the loop after its last bytes.
    std::setvbuf(file.get(), nullptr, _IONBF, 0);
    std::vector<uint8_t> buffer(static_cast<size_t>(IMAGE_BLOCK_SIZE) * IMAGE_READ_BLOCKS);
    int shown = -1;
    bool bShorter = false;
    while (offset < total && !bShorter) {
        const size_t want = static_cast<size_t>(std::min<long long>(static_cast<long long>(buffer.size()), total - offset));
        const size_t got = std::fread(buffer.data(), 1, want, file.get());
        bShorter = got < want;
        for (size_t at = 0; at < got;) {
            const int percent = ImageProgress(variant, offset, total);
            if (percent != shown) {
                shown = percent;
                if (cb.progress) cb.progress(percent);
            }
            const int n = static_cast<int>(std::min<size_t>(IMAGE_BLOCK_SIZE, got - at));
            if (channel.SendRaw(buffer.data() + at, n) == 0) {
                Log(cb, plat::Format("error: send data at: %d", static_cast<int>(offset)));
                return false;
            }
            at += static_cast<size_t>(n);
            offset += n;
        }
    }
    file.reset();

    // Reply wait.
    const int64_t start = plat::TickMs();
    const int64_t limit = plat::Scaled(IMAGE_REPLY_TIMEOUT_MS);
    bool bSeen = false;
    plat::SleepRaw(20);
    for (;;) {
        if (channel.HasReply()) {
            bSeen = true;
            break;
        }
        // A lost connection brings nothing more (a reply queued just before the loss still
        // counts); a stop request ends the wait.
        if (channel.IsLost() || !channel.IsOpen()) {
            bSeen = channel.HasReply();
            break;
        }
        if (!plat::SleepRaw(10)) break;
        if (plat::TickMs() - start > limit) break;
        if (!plat::SleepRaw(20)) break;
    }
    if (!bSeen) {
        Log(cb, "error: receive time out");
        return false;
    }
    LinkRecord reply;
    channel.TakeReply(reply);
    if (reply.sControl == type) {
        Log(cb, "End DownloadLinux");
        return true;
    }
    Log(cb, bBoot ? "error: sControl != CMD_DOWN_BOOT" : "error: sControl != CMD_DOWN_LINUX");
    return false;
}
