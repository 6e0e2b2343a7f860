// The configuration file loader (CServiceToolDoc::OnNewDocument) with a program folder
// holding the input as "MG_RK880T_PDWA_CN_VEV1.00.00.cfg". Input: a flags byte (bit 0: the rest
// is the file as it stands, any size; else the rest is padded or cut to the eight records), then
// the file's bytes.
#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "model/document.h"
#include "fuzz/fuzz_support.h"
#include "platform/fs.h"
#include "platform/trace.h"

namespace {

using namespace rkfuzz;
namespace fs = std::filesystem;

class CountingUi : public plat::IUiPort {
public:
    plat::MsgResult MessageBox(const std::string& text, const std::string&, plat::MsgButtons, plat::MsgIcon) override {
        boxes.push_back(text);
        return plat::MsgResult::Ok;
    }
    std::optional<std::string> ChooseFile(const plat::FileDialogSpec&) override { return {}; }
    std::optional<std::string> ChooseFolder(const std::string&) override { return {}; }
    void PostClose() override {}
    std::vector<std::string> boxes;
};

constexpr TextField kTextFields[] = {
    LineField::VersionPackage, LineField::ThirdVersionFile, LineField::RootImage,
    LineField::BootImage,      LineField::VersionFolder,    LineField::NvDirectory,
    LineField::UpgradeSoftware, LineField::BootFile,        LineField::LoaderImage,
};

}  // namespace

RK_FUZZ_TARGET(config_file) {
    InputScope scope;
    Reader in(data, size);
    const bool raw = in.Bool();
    Bytes file = in.Rest();
    if (!raw) file.resize(CONFIG_FILE_SIZE, 0);

    const std::string folder = TempFolder() + "/program";
    std::error_code ec;
    fs::create_directories(folder, ec);
    const std::string previousRoot = plat::MachineRoot();
    plat::SetMachineRoot(TempFolder() + "/C");
    CServiceToolDoc doc;
    const std::string cfg = doc.ConfigFilePath(folder);
    {
        std::ofstream out(cfg, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
    }

    CountingUi ui;
    doc.OnNewDocument(folder, ui);

    const bool loaded = file.size() == CONFIG_FILE_SIZE;
    const std::string loader = plat::JoinPath(folder, "armprg.bin");
    if (!loaded) {
        Check(ui.boxes.size() == 1 && ui.boxes[0] == plat::Format(TEXT_CONFIG_WRONG_SIZE, cfg.c_str()),
              "a file of the wrong size gets its one message");
    } else {
        Check(ui.boxes.empty(), "a file of the right size is taken without a message");
    }
    // A refused file leaves zeroed records with the default baud rate.
    static const Bytes refused = [] {
        Bytes r(LINE_RECORD_SIZE, 0);
        for (size_t i = 0; i < 4; ++i) r[LineField::BaudRate + i] = static_cast<uint8_t>(115200u >> (8 * i));
        return r;
    }();
    constexpr size_t loaderBegin = LineField::LoaderImage.offset;
    constexpr size_t loaderEnd = LineField::LoaderImage.offset + LineField::LoaderImage.size;
    for (int line = 0; line < LINE_COUNT; ++line) {
        const LineRecord r = doc.GetRecord(line);
        const auto bytes = r.Bytes();
        // Compared as two ranges around the loader path (which the loader sets), not byte by byte:
        // an instrumented comparison per byte would cost more than the loader itself.
        const uint8_t* want = loaded ? file.data() + static_cast<size_t>(line) * LINE_RECORD_SIZE : refused.data();
        Check(std::memcmp(bytes.data(), want, loaderBegin) == 0 &&
                  std::memcmp(bytes.data() + loaderEnd, want + loaderEnd, LINE_RECORD_SIZE - loaderEnd) == 0,
              "the records are the file's bytes (zeroed when it is refused)");
        for (const TextField f : kTextFields) {
            const std::string text = doc.GetLineText(line, f);
            // A field without its NUL reads up to the field's end, never into the next field.
            Check(text.size() <= f.size && text.find('\0') == std::string::npos, "a text field's text ends inside it");
            doc.GetLinePath(line, f);
        }
        Check(doc.GetLineText(line, LineField::LoaderImage) == loader, "the loader path is set on every line");
        doc.GetLineInt(line, LineField::PortNumber);
        doc.GetLineInt(line, LineField::DiagPortFlag);
        doc.GetLineInt(line, LineField::BaudRate);
    }
    plat::SetMachineRoot(previousRoot);
    ClearTempFolder();
    return 0;
}

RK_FUZZ_SEEDS(config_file) {
    std::vector<Bytes> seeds;
    {  // eight records with texts, ports and a field without its NUL
        Bytes s = {0};
        Bytes file(CONFIG_FILE_SIZE, 0);
        for (int line = 0; line < LINE_COUNT; ++line) {
            const size_t base = static_cast<size_t>(line) * LINE_RECORD_SIZE;
            const std::string pkg = "C:\\Program Files\\Windows Service\\RK880TVersion\\v" + std::to_string(line);
            std::copy(pkg.begin(), pkg.end(), file.begin() + static_cast<std::ptrdiff_t>(base + LineField::VersionPackage.offset));
            std::fill_n(file.begin() + static_cast<std::ptrdiff_t>(base + LineField::NvDirectory.offset), LineField::NvDirectory.size, 'n');
            file[base + LineField::PortNumber] = static_cast<uint8_t>(line & 1);
        }
        s.insert(s.end(), file.begin(), file.end());
        seeds.push_back(s);
    }
    seeds.push_back({1});                                   // an empty file
    seeds.push_back({1, 'a', 'b', 'c'});                    // a short file
    {
        Bytes s = {1};
        s.resize(CONFIG_FILE_SIZE + 2, 0xFF);               // one byte too many
        seeds.push_back(s);
    }
    seeds.push_back({0, 'C', ':', '\\', 'x'});              // padded to size
    return seeds;
}
