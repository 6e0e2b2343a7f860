#pragma once
// The version folder and the two firmware images the program carries: written at every start,
// deleted when sent or when the window goes.
#include <cstdint>
#include <span>
#include <string>

#include "platform/ui_port.h"

class CServiceToolDoc;
enum class ImageExtraction;

namespace version_source {

constexpr const char* ROOT_IMAGE_NAME = "root_uImage";
constexpr const char* BOOT_IMAGE_NAME = "uboot.img";
constexpr const char* TEXT_SOURCE_PATH_ERROR = "source file path error!";
constexpr const char* TEXT_READ_ROOT_FAIL = "read root_uImage fail!";
constexpr const char* TEXT_READ_BOOT_FAIL = "read uboot.img fail!";
constexpr const char* TEXT_VERSION_PATH_ERROR = "版本路径错误!";
// Download refused: an image of the version folder was not written at start-up (the path, why).
constexpr const char* TEXT_NOT_EXTRACTED = "镜像文件未能释放，不能管理：%s（%s）";
constexpr const char* TEXT_NOT_EXTRACTED_EN = "Image file write fail, can not download: %s (%s)";

// The machine root and its system directory, made when missing (they always exist on Windows).
bool EnsureMachineRoot();
// "C:\Program Files", "C:\Program Files\Windows Service", then the version folder, each only if
// missing, one level at a time. False when one of them cannot be created.
bool CreateVersionFolder();

// Writes embedded resource `id` (164 root_uImage, 165 uboot.img) into `folder`. Every write and
// the final size are checked; on any failure no partial file is left and the failure message is
// shown. A read-only file already there is left as it is (the file cannot be created).
ImageExtraction ExtractImage(int id, const std::string& folder, plat::IUiPort& ui);

// Deletes root_uImage and uboot.img from `folder` when they are there.
void DeleteImages(const std::string& folder);

// Start-up steps 13 to 15: folder, both images (how each ended kept in the document), line 0's
// paths. False when the folder cannot be made (the caller shows "source file path error!" and
// ends the process with exit code 0).
bool PrepareVersionSource(CServiceToolDoc& doc, plat::IUiPort& ui);

// The bytes the program carries for `path` when it is the version folder's root_uImage or
// uboot.img; empty for any other file (one the operator chose, say).
std::span<const uint8_t> OwnImage(const std::string& path);

// Why a CPE upgrade of `line` may not start: "" when it may; else the text naming the first of
// its image paths that is the version folder's own and was not written at start-up, and why (a
// file left there is not the program's image).
std::string DownloadRefusal(const CServiceToolDoc& doc, int line);

}  // namespace version_source
