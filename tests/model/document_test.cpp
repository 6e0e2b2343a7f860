// The document's line records and configuration file, the path rules and the version source.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include "model/document.h"
#include "model/line_record.h"
#include "model/version_source.h"
#include "platform/fs.h"
#include "resources/embedded_images.h"
#include "tests/support/temp_folder.h"

namespace {

class RecordingUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string& text, const std::string&, plat::MsgButtons, plat::MsgIcon) override {
        texts.push_back(text);
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec&) override { return std::nullopt; }
    std::optional<std::string> ChooseFolder(const std::string&) override { return std::nullopt; }
    void PostClose() override {}
    std::vector<std::string> texts;
};

class TempDir {
public:
    TempDir() {
        path = test_support::MakeTempFolder("rk-app-");
        plat::SetMachineRoot(path + "/root");
    }
    ~TempDir() {
        plat::InjectWriteFailureAfter(-1);
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

std::vector<unsigned char> ReadAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void WriteAll(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

TEST(LineRecord, SizeAndFieldOffsets) {
    static_assert(LINE_RECORD_SIZE == 8056);
    static_assert(CONFIG_FILE_SIZE == 64448);
    struct Field {
        TextField f;
        size_t offset;
    };
    const Field fields[] = {
        {LineField::VersionPackage, 0},  {LineField::ThirdVersionFile, 260}, {LineField::RootImage, 520},
        {LineField::BootImage, 780},     {LineField::VersionFolder, 3348},   {LineField::NvDirectory, 6232},
        {LineField::UpgradeSoftware, 6488}, {LineField::BootFile, 6748},     {LineField::LoaderImage, 7008},
    };
    for (const Field& field : fields) {
        LineRecord r;
        ASSERT_TRUE(r.SetText(field.f, "AB"));
        const auto bytes = r.Bytes();
        EXPECT_EQ(bytes[field.offset], 'A') << field.offset;
        EXPECT_EQ(bytes[field.offset + 1], 'B') << field.offset;
        EXPECT_EQ(bytes[field.offset + 2], 0) << field.offset;
        if (field.offset > 0) {
            EXPECT_EQ(bytes[field.offset - 1], 0) << field.offset;
        }
        EXPECT_EQ(r.GetText(field.f), "AB");
    }
    LineRecord r;
    r.SetInt(LineField::PortNumber, 0x01020304);
    r.SetInt(LineField::DiagPortFlag, 1);
    r.SetInt(LineField::BaudRate, 115200);
    const auto bytes = r.Bytes();
    EXPECT_EQ(LineField::PortNumber, 7528u);
    EXPECT_EQ(LineField::DiagPortFlag, 7532u);
    EXPECT_EQ(LineField::BaudRate, 7536u);
    EXPECT_EQ(bytes[7528], 0x04);
    EXPECT_EQ(bytes[7531], 0x01);
    EXPECT_EQ(bytes[7532], 1);
    EXPECT_EQ(bytes[7536], 0x00);
    EXPECT_EQ(bytes[7537], 0xC2);
    EXPECT_EQ(bytes[7538], 0x01);
    // 259 characters fit a 260-byte field; 260 do not, and the field stays as it was.
    EXPECT_TRUE(r.SetText(LineField::RootImage, std::string(259, 'x')));
    EXPECT_FALSE(r.SetText(LineField::RootImage, std::string(260, 'y')));
    EXPECT_EQ(r.GetText(LineField::RootImage), std::string(259, 'x'));
}

TEST(Document, NewDocumentWithoutConfigurationFile) {
    TempDir dir;
    RecordingUi ui;
    CServiceToolDoc doc;
    doc.OnNewDocument(dir.path, ui);
    EXPECT_TRUE(ui.texts.empty());
    for (int line = 0; line < LINE_COUNT; ++line) {
        EXPECT_EQ(doc.GetLineInt(line, LineField::BaudRate), 115200);
        EXPECT_EQ(doc.GetLineText(line, LineField::LoaderImage), dir.path + "/armprg.bin");
    }
    EXPECT_EQ(doc.m_bLanguage.load(), 0);
    EXPECT_EQ(doc.m_nMode.load(), 0);
}

TEST(Document, ConfigurationFileOfTheRightSizeIsRead) {
    TempDir dir;
    std::vector<unsigned char> bytes(CONFIG_FILE_SIZE, 0);
    for (int line = 0; line < LINE_COUNT; ++line) {
        LineRecord r;
        r.SetText(LineField::VersionPackage, "pkg" + std::to_string(line));
        r.SetText(LineField::ThirdVersionFile, "C:\\third\\v" + std::to_string(line) + ".bin");
        r.SetInt(LineField::PortNumber, line == 2 ? 0 : 10 + line);
        r.SetInt(LineField::BaudRate, 9600);
        std::memcpy(bytes.data() + line * LINE_RECORD_SIZE, r.Bytes().data(), LINE_RECORD_SIZE);
    }
    const std::string cfg = dir.path + "/MG_RK880T_PDWA_CN_VEV1.00.00.cfg";
    WriteAll(cfg, bytes);
    RecordingUi ui;
    CServiceToolDoc doc;
    EXPECT_EQ(doc.ConfigFilePath(dir.path), cfg);
    doc.OnNewDocument(dir.path, ui);
    EXPECT_TRUE(ui.texts.empty());
    for (int line = 0; line < LINE_COUNT; ++line) {
        EXPECT_EQ(doc.GetLineText(line, LineField::VersionPackage), "pkg" + std::to_string(line));
        EXPECT_EQ(doc.GetLineInt(line, LineField::BaudRate), 9600);
        EXPECT_EQ(doc.GetLineText(line, LineField::LoaderImage), dir.path + "/armprg.bin");
    }
    EXPECT_EQ(doc.GetLineInt(7, LineField::PortNumber), 17);
    // A Windows-form path is opened below the machine root.
    EXPECT_EQ(doc.GetLinePath(1, LineField::ThirdVersionFile), dir.path + "/root/third/v1.bin");
}

TEST(Document, ConfigurationFileOfTheWrongSizeIsRefused) {
    TempDir dir;
    const std::string cfg = dir.path + "/MG_RK880T_PDWA_CN_VEV1.00.00.cfg";
    std::vector<unsigned char> bytes(CONFIG_FILE_SIZE - 1, 0x41);
    WriteAll(cfg, bytes);
    RecordingUi ui;
    CServiceToolDoc doc;
    doc.OnNewDocument(dir.path, ui);
    EXPECT_EQ(ui.texts, std::vector<std::string>{"配置文件大小不正确，已忽略：" + cfg});
    for (int line = 0; line < LINE_COUNT; ++line) {
        EXPECT_EQ(doc.GetLineText(line, LineField::VersionPackage), "");
        EXPECT_EQ(doc.GetLineInt(line, LineField::PortNumber), 0);
    }
}

TEST(Document, PathTooLongForItsFieldIsRefused) {
    TempDir dir;
    RecordingUi ui;
    CServiceToolDoc doc;
    doc.SetLineText(0, LineField::NvDirectory, "/old", nullptr);
    const std::string path = "/" + std::string(259, 'n');
    ASSERT_EQ(path.size(), 260u);
    EXPECT_FALSE(doc.SetLineText(0, LineField::NvDirectory, path, &ui));
    EXPECT_EQ(ui.texts, std::vector<std::string>{"路径过长：" + path});
    EXPECT_EQ(doc.GetLineText(0, LineField::NvDirectory), "/old");
    EXPECT_FALSE(doc.SetLineText(0, LineField::RootImage, path, &ui));
    EXPECT_TRUE(doc.SetLineText(0, LineField::RootImage, path.substr(1), &ui));

    // The NV directory's field holds 256 bytes: 255 characters and the NUL.
    ui.texts.clear();
    const std::string nv255 = "/" + std::string(254, 'v');
    EXPECT_TRUE(doc.SetLineText(0, LineField::NvDirectory, nv255, &ui));
    EXPECT_EQ(doc.GetLineText(0, LineField::NvDirectory), nv255);
    const std::string nv256 = nv255 + "w";
    EXPECT_FALSE(doc.SetLineText(0, LineField::NvDirectory, nv256, &ui));
    EXPECT_EQ(ui.texts, std::vector<std::string>{"路径过长：" + nv256});
    EXPECT_EQ(doc.GetLineText(0, LineField::NvDirectory), nv255);
}

TEST(PathRules, DriveRootsAndTrailingSeparators) {
    TempDir dir;
    EXPECT_TRUE(plat::PathExists("C:\\"));
    EXPECT_TRUE(plat::PathExists("Z:\\"));
    EXPECT_TRUE(plat::PathExists("C:/"));
    EXPECT_TRUE(plat::PathExists("/"));
#ifdef _WIN32
    EXPECT_TRUE(plat::PathExists("C:"));  // the drive named alone: its root, the default machine root
#else
    EXPECT_FALSE(plat::PathExists("C:"));  // here a relative name like any other
#endif
    EXPECT_TRUE(plat::PathExists(dir.path + "/"));
    const std::string file = dir.path + "/f.bin";
    WriteAll(file, {1, 2, 3});
    EXPECT_TRUE(plat::PathExists(file));
    EXPECT_TRUE(plat::PathExists(file + "/"));  // the separator goes, the look-up finds the file
    EXPECT_FALSE(plat::PathExists(dir.path + "/missing/"));
    EXPECT_FALSE(plat::PathExists(""));
    // The folder rule makes one level only.
    EXPECT_TRUE(plat::EnsureFolder(dir.path + "/a"));
    EXPECT_FALSE(plat::EnsureFolder(dir.path + "/b/c"));
}

class VersionSource : public ::testing::Test {
protected:
    std::string Image(const char* name) const { return plat::VersionFolder() + "/" + name; }
    TempDir dir;
    RecordingUi ui;
    CServiceToolDoc doc;
};

TEST_F(VersionSource, ExistingFolderGetsTheImagesRewritten) {
    ASSERT_TRUE(plat::EnsureFolderTree(plat::VersionFolder()));
    WriteAll(Image("root_uImage"), std::vector<unsigned char>(10000000, 0xEE));
    WriteAll(Image("uboot.img"), {1, 2});
    ASSERT_TRUE(version_source::PrepareVersionSource(doc, ui));
    EXPECT_TRUE(ui.texts.empty());
    const auto root = res::FindImage(res::kRootImageId);
    const auto boot = res::FindImage(res::kBootImageId);
    EXPECT_EQ(root.size(), 9306112u);
    EXPECT_EQ(boot.size(), 312980u);
    EXPECT_EQ(ReadAll(Image("root_uImage")), std::vector<unsigned char>(root.begin(), root.end()));
    EXPECT_EQ(ReadAll(Image("uboot.img")), std::vector<unsigned char>(boot.begin(), boot.end()));
    EXPECT_EQ(doc.GetLineText(0, LineField::VersionFolder), plat::VersionFolder());
    EXPECT_EQ(doc.GetLineText(0, LineField::BootImage), Image("uboot.img"));
    EXPECT_EQ(version_source::DownloadRefusal(doc, 0), "");
    // The version folder's own files are compared with what the program carries; any other file
    // (the operator's choice) is not.
    EXPECT_EQ(version_source::OwnImage(Image("root_uImage")).data(), root.data());
    EXPECT_EQ(version_source::OwnImage(Image("uboot.img")).data(), boot.data());
    EXPECT_TRUE(version_source::OwnImage(dir.path + "/root_uImage").empty());
    version_source::DeleteImages(plat::VersionFolder());
    EXPECT_FALSE(plat::PathExists(Image("root_uImage")));
    EXPECT_FALSE(plat::PathExists(Image("uboot.img")));
    EXPECT_TRUE(plat::PathExists(plat::VersionFolder()));
}

TEST_F(VersionSource, ReadOnlyRootImageIsKeptAndStartUpGoesOn) {
    ASSERT_TRUE(plat::EnsureFolderTree(plat::VersionFolder()));
    WriteAll(Image("root_uImage"), {'o', 'l', 'd'});
    test_support::MakeReadOnly(Image("root_uImage"));
    ASSERT_TRUE(version_source::PrepareVersionSource(doc, ui));
    EXPECT_EQ(ui.texts, std::vector<std::string>{"read root_uImage fail!"});
    EXPECT_EQ(ReadAll(Image("root_uImage")), (std::vector<unsigned char>{'o', 'l', 'd'}));
    EXPECT_EQ(plat::FileSize(Image("uboot.img")), 312980);
    // The Download check passes on the old file.
    EXPECT_TRUE(plat::PathExists(doc.GetLinePath(0, LineField::RootImage)));
}

TEST_F(VersionSource, ShortWriteRemovesTheFileAndSaysSo) {
    ASSERT_TRUE(plat::EnsureFolderTree(plat::VersionFolder()));
    WriteAll(Image("root_uImage"), {'o', 'l', 'd'});
    plat::InjectWriteFailureAfter(4096);
    ASSERT_TRUE(version_source::PrepareVersionSource(doc, ui));
    plat::InjectWriteFailureAfter(-1);
    EXPECT_EQ(ui.texts, (std::vector<std::string>{"read root_uImage fail!", "read uboot.img fail!"}));
    EXPECT_FALSE(plat::PathExists(Image("root_uImage")));
    EXPECT_FALSE(plat::PathExists(Image("uboot.img")));
    // No temporary file is left behind.
    EXPECT_TRUE(std::filesystem::is_empty(plat::VersionFolder()));
    // Download is refused, naming the first image and why.
    doc.m_bLanguage = 1;
    EXPECT_EQ(version_source::DownloadRefusal(doc, 0),
              "Image file write fail, can not download: " + Image("root_uImage") + " (write error)");
}

}  // namespace
