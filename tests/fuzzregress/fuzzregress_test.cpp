// Every fuzz target's entry function over the inputs kept under tests/data/fuzz/<target>/ (the
// findings of the fuzzing, each one fixed) and over its built-in seeds. A broken invariant of a
// target fails the test with the input's name; a crash or sanitizer report ends the program.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz/fuzz_support.h"

namespace {

namespace fs = std::filesystem;

const fs::path kDataRoot = fs::path(RK_TEST_DATA) / "fuzz";

std::vector<std::string> TargetNames() {
    std::vector<std::string> names;
    for (const rkfuzz::Target& t : rkfuzz::Targets()) names.push_back(t.name);
    return names;
}

rkfuzz::Bytes ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return rkfuzz::Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Runs one input and returns the invariants it broke.
std::vector<std::string> RunInput(const rkfuzz::Target& target, const rkfuzz::Bytes& input) {
    std::vector<std::string> broken;
    rkfuzz::SetCheckHandler([&broken](const std::string& what) { broken.push_back(what); });
    target.entry(input.data(), input.size());
    rkfuzz::SetCheckHandler(nullptr);
    return broken;
}

size_t OpenDescriptors() {
#ifdef _WIN32
    // Under Wine /proc/self/fd lists Wine's own Unix descriptors, which come and go; the Linux
    // builds check the leaks.
    return 0;
#endif
    std::error_code ec;
    size_t n = 0;
    for (fs::directory_iterator it("/proc/self/fd", ec), end; !ec && it != end; it.increment(ec)) ++n;
    return n;
}

std::string Joined(const std::vector<std::string>& texts) {
    std::string out;
    for (const auto& t : texts) out += "\n  " + t;
    return out;
}

class FuzzRegress : public ::testing::TestWithParam<std::string> {};

TEST_P(FuzzRegress, KeptInputsAndSeedsKeepEveryInvariant) {
    const rkfuzz::Target* target = rkfuzz::FindTarget(GetParam());
    ASSERT_NE(target, nullptr);

    std::vector<fs::path> files;
    std::error_code ec;
    for (fs::directory_iterator it(kDataRoot / target->name, ec), end; !ec && it != end; it.increment(ec))
        if (it->is_regular_file()) files.push_back(it->path());
    std::sort(files.begin(), files.end());
    for (const fs::path& f : files) {
        const auto broken = RunInput(*target, ReadFile(f));
        EXPECT_TRUE(broken.empty()) << f.filename().string() << ":" << Joined(broken);
    }

    ASSERT_NE(target->seeds, nullptr);
    const std::vector<rkfuzz::Bytes> seeds = target->seeds();
    EXPECT_FALSE(seeds.empty());
    for (size_t i = 0; i < seeds.size(); ++i) {
        const auto broken = RunInput(*target, seeds[i]);
        EXPECT_TRUE(broken.empty()) << "seed " << i << ":" << Joined(broken);
    }
    // A target leaves nothing behind: no file in its temporary folder, no open descriptor (the
    // process-wide loopback peer exists by now, so a second round opens nothing lasting).
    EXPECT_TRUE(fs::is_empty(rkfuzz::TempFolder(), ec)) << rkfuzz::TempFolder();
    const size_t before = OpenDescriptors();
    for (const auto& seed : seeds) RunInput(*target, seed);
    for (const fs::path& f : files) RunInput(*target, ReadFile(f));
    EXPECT_EQ(OpenDescriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(Targets, FuzzRegress, ::testing::ValuesIn(TargetNames()),
                         [](const ::testing::TestParamInfo<std::string>& info) { return info.param; });

TEST(FuzzRegressData, EveryInputFolderBelongsToATarget) {
    std::error_code ec;
    for (fs::directory_iterator it(kDataRoot, ec), end; !ec && it != end; it.increment(ec)) {
        if (!it->is_directory()) continue;
        EXPECT_NE(rkfuzz::FindTarget(it->path().filename().string()), nullptr)
            << "tests/data/fuzz/" << it->path().filename().string() << " has no fuzz target";
    }
}

TEST(FuzzRegressData, TheTargetsAreRegistered) {
    // One per reader of outside bytes; a target file that fails to register would drop silently.
    for (const char* name : {"diag_frame", "diag_reply", "efs_reply", "http_response", "parse_url",
                             "setting_check", "ini", "config_file", "link_record", "link_assembler",
                             "at_answer", "nv_file", "sim_stream", "sim_modem"})
        EXPECT_NE(rkfuzz::FindTarget(name), nullptr) << name;
}

}  // namespace
