// The form model of dialog 101: controls, visibility, labels, radio groups and change reports.
#include <gtest/gtest.h>

#include <atomic>
#include <set>
#include <thread>
#include <vector>

#include "form/control_ids.h"
#include "form/form_model.h"
#include "form/pictures.h"

namespace {

TEST(FormModel, VisibleControlsAreExactlyThoseTheFormShows) {
    CFormModel form;
    const std::vector<int> visible = form.VisibleIds();
    EXPECT_EQ(std::set<int>(visible.begin(), visible.end()),
              (std::set<int>{1032, 1172, 1024, 1101, 1173, 1123, 1008, 1176, 1177, 1199, 1300}));
}

TEST(FormModel, EveryNamedControlExistsWithItsKind) {
    CFormModel form;
    struct Expect {
        int id;
        ControlKind kind;
    };
    const Expect table[] = {
        {1000, ControlKind::Edit},     {1007, ControlKind::Edit},     {1008, ControlKind::Button},
        {1015, ControlKind::Button},   {1016, ControlKind::Button},   {1023, ControlKind::Button},
        {1024, ControlKind::Progress}, {1031, ControlKind::Progress}, {1032, ControlKind::Edit},
        {1039, ControlKind::Edit},     {1040, ControlKind::Radio},    {1046, ControlKind::Radio},
        {1047, ControlKind::Edit},     {1048, ControlKind::Radio},    {1052, ControlKind::Edit},
        {1073, ControlKind::Radio},    {1074, ControlKind::Edit},     {1079, ControlKind::Edit},
        {1080, ControlKind::Edit},     {1081, ControlKind::Button},   {1099, ControlKind::Button},
        {1100, ControlKind::Button},   {1101, ControlKind::Static},   {1108, ControlKind::Static},
        {1109, ControlKind::Button},   {1121, ControlKind::Button},   {1122, ControlKind::Edit},
        {1123, ControlKind::Picture},  {1130, ControlKind::Picture},  {1131, ControlKind::Radio},
        {1133, ControlKind::Radio},    {1134, ControlKind::CheckBox}, {1136, ControlKind::Button},
        {1138, ControlKind::Radio},    {1140, ControlKind::Button},   {1148, ControlKind::Button},
        {1154, ControlKind::Button},   {1155, ControlKind::Edit},     {1164, ControlKind::Radio},
        {1169, ControlKind::Radio},    {1174, ControlKind::GroupBox}, {1181, ControlKind::Edit},
        {1186, ControlKind::Edit},     {1187, ControlKind::Button},   {1199, ControlKind::Static},
    };
    for (const Expect& e : table) {
        ASSERT_TRUE(form.Has(e.id)) << e.id;
        EXPECT_EQ(form.Get(e.id).kind, e.kind) << e.id;
    }
    EXPECT_FALSE(form.Has(1166));
    EXPECT_EQ(form.Get(1166).id, 0);
    // The counter group is created hidden and disabled.
    for (int id : {1178, 1179, 1181, 1182, 1183, 1184, 1185, 1186, 1187}) {
        EXPECT_FALSE(form.Get(id).bVisible) << id;
        EXPECT_FALSE(form.IsEnabled(id)) << id;
    }
}

TEST(FormModel, LabelTablesOfBothLanguages) {
    CFormModel form;
    form.ApplyLabels(false);
    EXPECT_EQ(form.GetText(1008), "执行");
    EXPECT_EQ(form.GetText(1170), "Modem版本号：");
    EXPECT_EQ(form.GetText(1171), "CPE版本号：");
    EXPECT_EQ(form.GetText(1172), "管理信息：");
    EXPECT_EQ(form.GetText(1173), "管理进度显示：");
    EXPECT_EQ(form.GetText(1176), "1：如有重要信息需要备份，请在开始执行前备份。");
    EXPECT_EQ(form.GetText(1177), "2：WIFI用户名和密码将恢复出厂设置。");
    EXPECT_EQ(form.GetText(1199), "3：执行过程中请不要关闭程序，否则可能会导致设备无法使用。");
    EXPECT_EQ(ChineseLabels().size(), 8u);
    form.ApplyLabels(true);
    EXPECT_EQ(form.GetText(1008), "Download");
    EXPECT_EQ(form.GetText(1171), "Integre Num:");
    EXPECT_EQ(form.GetText(1177), "2: Don't close the program when the tool is downloading.");
    // 1199 has no English text: it keeps what it had.
    EXPECT_EQ(form.GetText(1199), "3：执行过程中请不要关闭程序，否则可能会导致设备无法使用。");
    EXPECT_EQ(EnglishLabels().size(), 18u);
}

TEST(FormModel, MenusCarryTheCommands) {
    const auto& menus = FormMenus();
    ASSERT_EQ(menus.size(), 2u);
    EXPECT_EQ(menus[0].id, 128);
    EXPECT_STREQ(menus[0].popup, "选项");
    std::vector<int> cmds;
    for (const auto& item : menus[0].items) cmds.push_back(item.command);
    EXPECT_EQ(cmds, (std::vector<int>{32785, 32786, 32790, 32781}));
    cmds.clear();
    for (const auto& item : menus[1].items) cmds.push_back(item.command);
    EXPECT_EQ(cmds, (std::vector<int>{32785, 32786, 32790, 32791, 32781}));
    EXPECT_STREQ(menus[1].items[4].text, "EXIT");
}

TEST(FormModel, RadioGroupsCheckOneAtATime) {
    CFormModel form;
    form.CheckRadio(1165);
    form.CheckRadio(1168);
    EXPECT_FALSE(form.IsChecked(1165));
    EXPECT_TRUE(form.IsChecked(1168));
    EXPECT_EQ(form.CheckedIndex({1164, 1165, 1168, 1169}), 2);
    // The NV option group includes 1138 but not the check box 1134 between them.
    form.SetCheck(1134, true);
    form.CheckRadio(1133);
    form.CheckRadio(1138);
    EXPECT_FALSE(form.IsChecked(1133));
    EXPECT_TRUE(form.IsChecked(1134));
    // Each line's task radios are a group of their own.
    form.CheckRadio(1040);
    form.CheckRadio(1048);
    EXPECT_TRUE(form.IsChecked(1040));
    form.CheckRadio(1043);
    EXPECT_FALSE(form.IsChecked(1040));
    EXPECT_EQ(form.CheckedIndex({1164, 1165}), -1);
}

TEST(FormModel, ListenersHearChangesOnlyAndMayReadTheModel) {
    CFormModel form;
    std::vector<ControlEvent> events;
    std::string seenText;
    const int token = form.AddListener([&](const ControlEvent& e) {
        events.push_back(e);
        // Called without the model's lock: reading back works.
        seenText = form.GetText(e.id);
    });
    form.SetText(1032, "a");
    form.SetText(1032, "a");  // no change, no report
    form.Enable(1008, true);  // already enabled
    form.Enable(1008, false);
    form.SetPicture(1123, 2);
    form.SetPicture(1123, 2);  // pictures: every set is reported
    form.SetProgressPos(1024, 150);
    form.SetText(99999, "x");  // no such control
    ASSERT_EQ(events.size(), 5u);
    EXPECT_EQ(events[0].what, ControlChange::Text);
    EXPECT_EQ(events[1].what, ControlChange::Enabled);
    EXPECT_EQ(events[2].what, ControlChange::Picture);
    EXPECT_EQ(events[4].what, ControlChange::Progress);
    EXPECT_EQ(form.Get(1024).nPos, 100);  // clamped to the range
    form.RemoveListener(token);
    form.SetText(1032, "b");
    EXPECT_EQ(events.size(), 5u);
}

TEST(FormModel, ConcurrentWritersAndReaders) {
    CFormModel form;
    std::atomic<int> reports{0};
    form.AddListener([&](const ControlEvent&) { ++reports; });
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&form, t] {
            for (int i = 0; i < 500; ++i) {
                form.SetText(1032 + t, std::to_string(i));
                form.SetProgressPos(1024 + t, i % 100);
                form.CheckRadio(i % 2 ? 1164 : 1165);
                (void)form.Get(1032 + (t + 1) % 4);
            }
        });
    for (auto& th : threads) th.join();
    EXPECT_EQ(form.GetText(1032), "499");
    EXPECT_GT(reports.load(), 2000);
}

TEST(Pictures, GreyBackgroundWithTheKindsColourAndSymbol) {
    const uint32_t colours[5] = {0xFF006400, 0xFFFF00FF, 0xFF00FF00, 0xFFFF0000, 0xFF8B0000};
    // Without the colours: the kinds' pictures still differ, in the symbol's black or white
    // pixels (white on the dark marks, black on the light green).
    std::set<std::vector<bool>> shapes;
    for (int kind = 0; kind < 5; ++kind) {
        const PicturePixels px = MakePicture(kind);
        EXPECT_EQ(px[1 * PICTURE_WIDTH + 2], PICTURE_BACKGROUND) << kind;
        EXPECT_EQ(px[8 * PICTURE_WIDTH + 16], colours[kind]) << kind;
        std::vector<bool> shape;
        for (uint32_t p : px) shape.push_back(p == (kind == PIC_PASS ? 0xFF000000u : 0xFFFFFFFFu));
        shapes.insert(shape);
    }
    EXPECT_EQ(shapes.size(), 5u);
    EXPECT_EQ(MakePicture(9), MakePicture(PIC_OFFLINE));
    EXPECT_EQ(PictureBitmapId(0), 151);
    EXPECT_EQ(PictureBitmapId(1), 152);
    EXPECT_EQ(PictureBitmapId(2), 150);
    EXPECT_EQ(PictureBitmapId(3), 149);
    EXPECT_EQ(PictureBitmapId(4), 160);
    EXPECT_EQ(PictureBitmapId(9), 160);
    EXPECT_NE(MakeIcon(140), MakeIcon(141));
}

}  // namespace
