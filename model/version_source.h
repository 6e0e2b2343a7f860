#pragma once
// The version folder and the two firmware images the program carries: written at every start,
// deleted when sent or when the window goes.
#include <string>

#include "platform/ui_port.h"

class CServiceToolDoc;

namespace version_source {

constexpr const char* ROOT_IMAGE_NAME = "root_uImage";
constexpr const char* BOOT_IMAGE_NAME = "uboot.img";
constexpr const char* TEXT_SOURCE_PATH_ERROR = "source file path error!";
constexpr const char* TEXT_READ_ROOT_FAIL = "read root_uImage fail!";
constexpr const char* TEXT_READ_BOOT_FAIL = "read uboot.img fail!";
constexpr const char* TEXT_VERSION_PATH_ERROR = "版本路径错误!";

// The machine root and its system directory, made when missing (they always exist on Windows).
bool EnsureMachineRoot();
// "C:\Program Files", "C:\Program Files\Windows Service", then the version folder, each only if
// missing, one level at a time. False when one of them cannot be created.
bool CreateVersionFolder();

// Writes embedded resource `id` (164 root_uImage, 165 uboot.img) into `folder`. Every write and
// the final size are checked; on any failure no partial file is left and the failure message is
// shown. A read-only file already there is left as it is (the file cannot be created).
bool ExtractImage(int id, const std::string& folder, plat::IUiPort& ui);

// Deletes root_uImage and uboot.img from `folder` when they are there.
void DeleteImages(const std::string& folder);

// Start-up steps 13 to 15: folder, both images, line 0's paths. False when the folder cannot be
// made (the caller shows "source file path error!" and ends the process with exit code 0).
bool PrepareVersionSource(CServiceToolDoc& doc, plat::IUiPort& ui);

}  // namespace version_source
