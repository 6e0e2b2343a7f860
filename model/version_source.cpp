#include "model/version_source.h"


#include "model/document.h"
#include "platform/fs.h"
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

}  // namespace

bool ExtractImage(int id, const std::string& folder, plat::IUiPort& ui) {
    const bool bRoot = id == res::kRootImageId;
    const std::string path = plat::JoinPath(folder, bRoot ? ROOT_IMAGE_NAME : BOOT_IMAGE_NAME);
    const char* failText = bRoot ? TEXT_READ_ROOT_FAIL : TEXT_READ_BOOT_FAIL;
    const auto bytes = res::FindImage(id);
    bool ok = !bytes.empty() && plat::PathExists(folder);
    if (ok && !plat::WriteFileAtomic(path, bytes)) {
        // A short write: remove whatever is there, so the Download check cannot pass on a
        // truncated or stale image.
        plat::DeleteFile(path);
        ok = false;
    }
    if (!ok) ui.MessageBox(failText);
    return ok;
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
    ExtractImage(res::kRootImageId, folder, ui);
    ExtractImage(res::kBootImageId, folder, ui);
    doc.SetLineText(0, LineField::VersionFolder, folder, &ui);
    doc.SetLineText(0, LineField::RootImage, plat::JoinPath(folder, ROOT_IMAGE_NAME), &ui);
    doc.SetLineText(0, LineField::BootImage, plat::JoinPath(folder, BOOT_IMAGE_NAME), &ui);
    return true;
}

}  // namespace version_source
