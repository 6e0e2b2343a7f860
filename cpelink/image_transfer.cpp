#include "cpelink/image_transfer.h"

#include <algorithm>

#include "cpelink/line_channel.h"
#include "cpelink/uboot_image.h"
#include "platform/clock.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

void Log(const TransferCallbacks& cb, const std::string& text) {
    if (cb.log) cb.log(text);
}

}  // namespace

int ImageProgress(ImageVariant variant, long long offset, long long total) {
    if (total <= 0) return variant == ImageVariant::Boot ? 0 : 10;
    return variant == ImageVariant::Boot ? static_cast<int>(offset * 10 / total)
                                         : static_cast<int>(offset * 80 / total + 10);
}

bool ReadImageFile(const std::string& path, std::vector<uint8_t>& image) {
    // A file that is shorter when read than its size said fails here, before anything is sent.
    return plat::ReadFileBytes(path, image, 0xFFFFFFFFLL);
}

std::string CheckImage(const std::string& path, std::span<const uint8_t> image, ImageVariant variant,
                       std::span<const uint8_t> own, bool bEnglish) {
    const UbootExpectation& expected = variant == ImageVariant::Boot ? BOOT_IMAGE_EXPECTED : LINUX_IMAGE_EXPECTED;
    const UbootCheck check = CheckUbootImage(image, expected);
    if (check != UbootCheck::Ok) return UbootCheckStatus(path, check);
    // The header's CRC covers the kernel only: a changed byte in the root file system behind it,
    // or a valid image of another build, shows only against the program's own bytes.
    if (!own.empty() && !std::equal(image.begin(), image.end(), own.begin(), own.end()))
        return plat::Format(bEnglish ? IMAGE_NOT_OWN_EN : IMAGE_NOT_OWN, path.c_str());
    return "";
}

bool SendImage(CLineChannel& channel, ImageVariant variant, const std::string& path, const TransferCallbacks& cb) {
    std::vector<uint8_t> image;
    if (!ReadImageFile(path, image)) {
        Log(cb, plat::Format("error: open %s file\n", path.c_str()));
        return false;
    }
    return SendImage(channel, variant, image, cb);
}

bool SendImage(CLineChannel& channel, ImageVariant variant, std::span<const uint8_t> image,
               const TransferCallbacks& cb) {
    const bool bBoot = variant == ImageVariant::Boot;
    const uint8_t type = bBoot ? CMD_DOWN_BOOT : CMD_DOWN_LINUX;
    const int64_t headerPause = bBoot ? 100 : 300;
    const long long total = static_cast<long long>(image.size());
    if (total > 0xFFFFFFFFLL) {
        Log(cb, plat::Format("error: send data at: %d", 0));  // more than a header can announce
        return false;
    }
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

    // Every byte the header announced, in 1350-byte pieces and a short last one.
    int shown = -1;
    for (long long offset = 0; offset < total;) {
        const int percent = ImageProgress(variant, offset, total);
        if (percent != shown) {
            shown = percent;
            if (cb.progress) cb.progress(percent);
        }
        const int n = static_cast<int>(std::min<long long>(IMAGE_BLOCK_SIZE, total - offset));
        if (channel.SendRaw(image.data() + offset, n) == 0) {
            Log(cb, plat::Format("error: send data at: %d", static_cast<int>(offset)));
            return false;
        }
        offset += n;
    }

    // Reply wait.
    const int64_t start = plat::TickMs();
    const int64_t limit = plat::Scaled(IMAGE_REPLY_TIMEOUT_MS);
    bool bSeen = false;
    if (cb.awaiting) cb.awaiting(limit);
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
    if (cb.awaiting) cb.awaiting(0);
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
