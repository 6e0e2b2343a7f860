#include "cpelink/image_transfer.h"

#include <cstdio>
#include <memory>
#include <sys/stat.h>

#include "cpelink/line_channel.h"
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

bool SendImage(CLineChannel& channel, ImageVariant variant, const std::string& path, const TransferCallbacks& cb) {
    const bool bBoot = variant == ImageVariant::Boot;
    const uint8_t type = bBoot ? CMD_DOWN_BOOT : CMD_DOWN_LINUX;
    const int64_t headerPause = bBoot ? 100 : 300;

    std::unique_ptr<std::FILE, FileCloser> file(plat::OpenFile(path, "rb"));
    struct stat st {};
    if (!file || fstat(fileno(file.get()), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > 0xFFFFFFFFLL) {
        Log(cb, plat::Format("error: open %s file\n", path.c_str()));
        return false;
    }
    const long long total = st.st_size;
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

    uint8_t block[IMAGE_BLOCK_SIZE];
    while (offset < total) {
        if (cb.progress) cb.progress(ImageProgress(variant, offset, total));
        const size_t want = static_cast<size_t>(std::min<long long>(IMAGE_BLOCK_SIZE, total - offset));
        const size_t n = std::fread(block, 1, want, file.get());
        if (n == 0) break;  // the file became shorter
        if (channel.SendRaw(block, static_cast<int>(n)) == 0) {
            Log(cb, plat::Format("error: send data at: %d", static_cast<int>(offset)));
            return false;
        }
        offset += static_cast<long long>(n);
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
