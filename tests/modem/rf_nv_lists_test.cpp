#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "modem/rf_nv_lists.h"

namespace {

std::vector<int32_t> Entries(const std::string& key) {
    const auto e = RfNvEntries(key);
    return {e.begin(), e.end()};
}
std::vector<int32_t> Files(const std::vector<int32_t>& list) {
    std::vector<int32_t> f;
    for (int32_t v : list)
        if (v >= RF_NV_FILE_BASE) f.push_back(v);
    return f;
}
std::vector<int32_t> Range(int32_t a, int32_t b) {
    std::vector<int32_t> r;
    for (int32_t v = a; v <= b; ++v) r.push_back(v);
    return r;
}
std::vector<int32_t> Cat(std::initializer_list<std::vector<int32_t>> parts) {
    std::vector<int32_t> r;
    for (const auto& p : parts) r.insert(r.end(), p.begin(), p.end());
    return r;
}
int Repeats(const std::vector<int32_t>& list) {
    std::set<int32_t> seen;
    int n = 0;
    for (int32_t v : list) n += seen.insert(v).second ? 0 : 1;
    return n;
}
bool HasRun(const std::vector<int32_t>& list, int32_t a, int32_t b) {
    const auto run = Range(a, b);
    return std::search(list.begin(), list.end(), run.begin(), run.end()) != list.end();
}

TEST(TerminalTypeKey, FirstKeyInFixedOrder) {
    EXPECT_EQ(GetTerminalTypeKey("PD_WA_RK880T_RK19L_V1 RK19T"), "RK19T");
    EXPECT_EQ(GetTerminalTypeKey("xxRK18Gyy RK18B"), "RK18B");
    EXPECT_EQ(GetTerminalTypeKey("RK18G"), "RK18G");
    EXPECT_EQ(GetTerminalTypeKey("rk19t"), "");
    EXPECT_EQ(GetTerminalTypeKey(""), "");
}

TEST(RfNvList, BuildFillsEntriesSentinelAndZeros) {
    RfNvList list;
    list.fill(-7);
    EXPECT_EQ(BuildRfNvList("", list), -1);
    EXPECT_EQ(BuildRfNvList("rk19t", list), -1);
    EXPECT_EQ(BuildRfNvList("RK19T ", list), -1);
    EXPECT_TRUE(std::all_of(list.begin(), list.end(), [](int32_t v) { return v == -7; }));

    ASSERT_EQ(BuildRfNvList("RK18G", list), 0);
    const auto g = Entries("RK18G");
    EXPECT_TRUE(std::equal(g.begin(), g.end(), list.begin()));
    EXPECT_EQ(list[g.size()], RF_NV_LIST_END);
    EXPECT_TRUE(std::all_of(list.begin() + long(g.size()) + 1, list.end(), [](int32_t v) { return v == 0; }));

    RfNvList b{};
    ASSERT_EQ(BuildRfNvList("RK18B", b), 0);
    RfNvList l{};
    ASSERT_EQ(BuildRfNvList("RK19L", l), 0);
    EXPECT_EQ(b, l);
}

TEST(RfNvList, CountsFirstEntriesAndFiles) {
    struct Want {
        const char* key;
        size_t entries, items, files;
        std::vector<int32_t> first, fileList;
        int repeats;
    };
    const auto lFiles = Cat({{20274, 20278, 20279, 20294}, Range(20300, 20311), {20321, 20322, 20324},
                             {20144, 20148, 20149, 20164}, Range(20170, 20181), {20191, 20192, 20194}});
    const Want wants[] = {
        {"RK19T", 487, 468, 19, {23, 52, 550, 22, 543, 6861, 5479, 5065, 3969, 3970, 3971, 3972},
         Cat({{20215, 20216, 20384, 20388, 20389, 20404, 20410, 20412, 20413, 20414}, Range(20416, 20421),
              {20431, 20432, 20434}}),
         28},
        {"RK19L", 336, 298, 38, {23, 550, 22, 5479, 5065, 3969, 3970, 3971, 3972, 5059, 529, 530}, lFiles, 0},
        {"RK18B", 336, 298, 38, {23, 550, 22, 5479, 5065, 3969, 3970, 3971, 3972, 5059, 529, 530}, lFiles, 0},
        {"RK18G", 518, 478, 40, {22, 543, 6861, 5479, 5065, 3969, 3970, 3971, 3972, 5059, 529, 530},
         Cat({{20209, 20210, 20215, 20216, 20144, 20148, 20149, 20164}, Range(20170, 20181),
              {20191, 20192, 20194, 20384, 20388, 20389, 20404, 20410, 20412, 20413, 20414}, Range(20416, 20421),
              {20431, 20432, 20434}}),
         28},
    };
    for (const Want& w : wants) {
        const auto list = Entries(w.key);
        EXPECT_EQ(list.size(), w.entries) << w.key;
        EXPECT_EQ(Files(list), w.fileList) << w.key;
        EXPECT_EQ(list.size() - Files(list).size(), w.items) << w.key;
        EXPECT_TRUE(std::equal(w.first.begin(), w.first.end(), list.begin())) << w.key;
        EXPECT_EQ(Repeats(list), w.repeats) << w.key;
        for (int32_t v : list) {
            if (v >= RF_NV_FILE_BASE) continue;
            EXPECT_GE(v, 22) << w.key;
            EXPECT_LE(v, 8027) << w.key;
        }
        EXPECT_EQ(std::count(list.begin(), list.end(), RF_NV_LIST_END), 0) << w.key;
        // Largely runs: most items sit in a run of at least 8 consecutive numbers.
        size_t inRuns = 0;
        for (size_t i = 0; i < list.size();) {
            size_t j = i + 1;
            while (j < list.size() && list[j] < RF_NV_FILE_BASE && list[j] == list[j - 1] + 1) ++j;
            if (j - i >= 8) inRuns += j - i;
            i = j;
        }
        EXPECT_GT(inRuns * 10, w.items * 8) << w.key;
    }
}

TEST(RfNvList, MembershipRules) {
    const auto t = Entries("RK19T"), l = Entries("RK19L"), g = Entries("RK18G");
    auto has = [](const std::vector<int32_t>& v, int32_t x) { return std::find(v.begin(), v.end(), x) != v.end(); };
    EXPECT_TRUE(has(t, 550));
    EXPECT_TRUE(has(l, 550));
    EXPECT_FALSE(has(g, 550));
    for (int32_t v : g) {
        if (v != 20209 && v != 20210) {
            EXPECT_TRUE(has(t, v) || has(l, v)) << v;
        }
    }
    for (const auto& [a, b] : {std::pair{726, 733}, {6569, 6580}, {6674, 6685}, {8006, 8013}})
        EXPECT_TRUE(HasRun(t, a, b) || HasRun(l, a, b) || HasRun(g, a, b)) << a;
}

TEST(RfNvList, FileNames) {
    EXPECT_EQ(RfNvFileName(20144), "00020144");
    EXPECT_EQ(RfNvFilePath(20000), "/nv/item_files/rfnv/00020000");
    EXPECT_FALSE(IsRfNvFileEntry(19999));
    EXPECT_TRUE(IsRfNvFileEntry(20000));
}

}  // namespace
