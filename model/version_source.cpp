#include "model/version_source.h"


#include "model/document.h"
#include "platform/fs.h"
#include "platform/trace.h"
#include "resources/embedded_images.h"

namespace version_source {

bool EnsureMachineRoot() {
    return plat::EnsureFolderTree(plat::MachineRoot()) && plat::EnsureFolderTree(plat::SystemDirectory());
}

bool CreateVersionFolder() {
    const std::string root = plat::MachineRoot();
    return plat::EnsureFolder(root + "/Program Files") &&
           plat::EnsureFolder(root + "/Program Files/Windows Service") &&
           plat::EnsureFolder(plat::VersionFolder());
}

namespace {

const char* ExtractionReason(ImageExtraction e, bool bEnglish) {
    switch (e) {
        case ImageExtraction::Written: return "";
        case ImageExtraction::NoResource: return bEnglish ? "not in the program" : "程序中没有该镜像";
        case ImageExtraction::NoFolder: return bEnglish ? "no version folder" : "版本目录不存在";
        case ImageExtraction::ReadOnly: return bEnglish ? "the old file is read-only" : "旧文件只读，无法覆盖";
        case ImageExtraction::WriteFailed: return bEnglish ? "write error" : "写入失败";
    }
    return "";
}

// The same file, written with either separator (and on Windows in any case).
bool SamePath(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        char x = a[i] == '\\' ? '/' : a[i];
        char y = b[i] == '\\' ? '/' : b[i];
#ifdef _WIN32
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
#endif
        if (x != y) return false;
    }
    return true;
}

}  // namespace

ImageExtraction ExtractImage(int id, const std::string& folder, plat::IUiPort& ui) {
    const bool bRoot = id == res::kRootImageId;
    const std::string path = plat::JoinPath(folder, bRoot ? ROOT_IMAGE_NAME : BOOT_IMAGE_NAME);
    const char* failText = bRoot ? TEXT_READ_ROOT_FAIL : TEXT_READ_BOOT_FAIL;
    const auto bytes = res::FindImage(id);
    ImageExtraction result = ImageExtraction::Written;
    if (bytes.empty()) {
        result = ImageExtraction::NoResource;
    } else if (!plat::PathExists(folder)) {
        result = ImageExtraction::NoFolder;
    } else if (!plat::WriteFileAtomic(path, bytes)) {
        if (plat::IsReadOnlyFile(path)) {
            result = ImageExtraction::ReadOnly;  // kept: it cannot be deleted either
        } else {
            // A short write: remove whatever is there, so the Download check cannot pass on a
            // truncated or stale image.
            plat::DeleteFile(path);
            result = ImageExtraction::WriteFailed;
        }
    }
    if (result != ImageExtraction::Written) ui.MessageBox(failText);
    return result;
}

void DeleteImages(const std::string& folder) {
    for (const char* name : {ROOT_IMAGE_NAME, BOOT_IMAGE_NAME}) {
        const std::string path = plat::JoinPath(folder, name);
        if (plat::PathExists(path)) plat::DeleteFile(path);
    }
}

bool PrepareVersionSource(CServiceToolDoc& doc, plat::IUiPort& ui) {
    if (!EnsureMachineRoot() || !CreateVersionFolder()) return false;
    const std::string folder = plat::VersionFolder();
    doc.m_extraction[0] = ExtractImage(res::kRootImageId, folder, ui);
    doc.m_extraction[1] = ExtractImage(res::kBootImageId, folder, ui);
    doc.SetLineText(0, LineField::VersionFolder, folder, &ui);
    doc.SetLineText(0, LineField::RootImage, plat::JoinPath(folder, ROOT_IMAGE_NAME), &ui);
    doc.SetLineText(0, LineField::BootImage, plat::JoinPath(folder, BOOT_IMAGE_NAME), &ui);
    return true;
}

std::span<const uint8_t> OwnImage(const std::string& path) {
    const std::string folder = plat::VersionFolder();
    if (SamePath(path, plat::JoinPath(folder, ROOT_IMAGE_NAME))) return res::FindImage(res::kRootImageId);
    if (SamePath(path, plat::JoinPath(folder, BOOT_IMAGE_NAME))) return res::FindImage(res::kBootImageId);
    return {};
}

std::string DownloadRefusal(const CServiceToolDoc& doc, int line) {
    const std::string folder = plat::VersionFolder();
    const TextField fields[2] = {LineField::RootImage, LineField::BootImage};
    const char* names[2] = {ROOT_IMAGE_NAME, BOOT_IMAGE_NAME};
    for (size_t i = 0; i < 2; ++i) {
        const std::string path = doc.GetLinePath(line, fields[i]);
        if (doc.m_extraction[i] == ImageExtraction::Written || !SamePath(path, plat::JoinPath(folder, names[i])))
            continue;
        return plat::Format(doc.English() ? TEXT_NOT_EXTRACTED_EN : TEXT_NOT_EXTRACTED, path.c_str(),
                            ExtractionReason(doc.m_extraction[i], doc.English()));
    }
    return "";
}

}  // namespace version_source
