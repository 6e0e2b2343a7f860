#pragma once
// The boot and Linux image transfer over a line's open channel: a header record with the file
// length, the file's bytes unframed on the same connection, then one reply of the same type.
#include <functional>
#include <string>

class CLineChannel;

enum class ImageVariant {
    Boot,   // CMD_DOWN_BOOT 0x91, "uboot.img", progress 0..9
    Linux,  // CMD_DOWN_LINUX 0x01, "root_uImage", progress 10..89
};

struct TransferCallbacks {
    std::function<void(int percent)> progress;      // before the first piece and whenever the percentage changes
    std::function<void(const std::string&)> log;    // the line log
};

constexpr int IMAGE_BLOCK_SIZE = 1350;
// The file is read this many pieces at a time and written piece by piece.
constexpr int IMAGE_READ_BLOCKS = 48;
constexpr uint32_t IMAGE_HEADER_ARG1 = 1392;
constexpr int64_t IMAGE_START_PAUSE_MS = 5000;
constexpr int64_t IMAGE_HEADER_SENT_LIMIT_MS = 60000;
constexpr int64_t IMAGE_REPLY_TIMEOUT_MS = 480000;

// The variant's progress for `offset` of `total` bytes.
int ImageProgress(ImageVariant variant, long long offset, long long total);

// Checks the image file at `path` as the variant's U-Boot image (uboot_image.h): "" when it
// passes, else the status text naming the file and the failed check. The data is read in pieces.
std::string CheckImageFile(const std::string& path, ImageVariant variant);

// Sends the image file at `path`; true when the gateway confirmed it with a reply of the same
// type. Failures are written to the log callback. The file is read IMAGE_READ_BLOCKS pieces at a
// time and each piece written on its own, never the whole file held in memory.
bool SendImage(CLineChannel& channel, ImageVariant variant, const std::string& path, const TransferCallbacks& cb);
