#pragma once
// The boot and Linux image transfer over a line's open channel: a header record with the file
// length, the file's bytes unframed on the same connection, then one reply of the same type.
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

class CLineChannel;

enum class ImageVariant {
    Boot,   // CMD_DOWN_BOOT 0x91, "uboot.img", progress 0..9
    Linux,  // CMD_DOWN_LINUX 0x01, "root_uImage", progress 10..89
};

struct TransferCallbacks {
    std::function<void(int percent)> progress;      // before the first piece and whenever the percentage changes
    std::function<void(const std::string&)> log;    // the line log
    std::function<void(int64_t maxMs)> awaiting;    // the reply wait begins (its bound) and ends (0)
};

constexpr int IMAGE_BLOCK_SIZE = 1350;
constexpr uint32_t IMAGE_HEADER_ARG1 = 1392;
constexpr int64_t IMAGE_START_PAUSE_MS = 5000;
constexpr int64_t IMAGE_HEADER_SENT_LIMIT_MS = 60000;
constexpr int64_t IMAGE_REPLY_TIMEOUT_MS = 480000;

// The status of an image that is not the one the program carries: the path.
constexpr const char* IMAGE_NOT_OWN = "镜像文件与本程序所带的不一致：%s";
constexpr const char* IMAGE_NOT_OWN_EN = "Image file differs from the one in the program: %s";

// The variant's progress for `offset` of `total` bytes.
int ImageProgress(ImageVariant variant, long long offset, long long total);

// The whole image file, read once: what is checked is then what is sent. False when the file
// cannot be opened or read, is larger than a header can announce, or ends before its size.
bool ReadImageFile(const std::string& path, std::vector<uint8_t>& image);

// Checks an image read whole as the variant's U-Boot image (uboot_image.h) and, when `own` is
// given (the bytes the program carries for that file), byte for byte against it, the root file
// system behind the Linux kernel included. "" when it passes, else the status text naming the
// file and what failed.
std::string CheckImage(const std::string& path, std::span<const uint8_t> image, ImageVariant variant,
                       std::span<const uint8_t> own, bool bEnglish);

// Sends `image`; true when the gateway confirmed it with a reply of the same type. Failures are
// written to the log callback; a stop request ends it at once.
bool SendImage(CLineChannel& channel, ImageVariant variant, std::span<const uint8_t> image,
               const TransferCallbacks& cb);
// The same for the file at `path`, read whole first ("error: open %s file\n" when it cannot be).
bool SendImage(CLineChannel& channel, ImageVariant variant, const std::string& path, const TransferCallbacks& cb);
