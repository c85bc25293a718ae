#include "DriverSession.h"

#include <cstdio>

#include "Expected.h"

namespace blackbox {

void DriverSession::SetUp() {
    app_ = std::make_unique<App>();
    ASSERT_TRUE(app_->Started());
    HWND main = nullptr;
    HWND box = nullptr;
    WaitUntil(
        [&] {
            box = app_->FindDialog("tessaly", 0);
            main = app_->FindDialog("VLK Tessaly", 0);
            return box != nullptr || main != nullptr;
        },
        10000);
    if (box != nullptr) {
        GTEST_SKIP() << "the control device does not open in this prefix (the stand-in driver "
                        "is not installed): "
                     << WindowText(GetDlgItem(box, 0xFFFF));
    }
    ASSERT_NE(app_->Main(), nullptr);
}

void DriverSession::Run(const std::string& device, const std::string& path, int index,
                        int status_lines) {
    app().SetText(kDevice, device);
    app().SetText(kPath, path);
    ASSERT_TRUE(app().PickAndWait(index, status_lines))
        << "no report for command " << index << " on " << device << "/" << path;
    ASSERT_TRUE(app().Responsive(app().Main()));
}

void DriverSession::Picture(const std::string& name) {
    const std::wstring folder = GetOptions().shots;
    if (folder.empty()) {
        return;
    }
    // Without an X display the windows still work (Wine's null display driver), but there is no
    // screen to copy.
    if (!HasDisplay()) {
        std::printf("no X display: picture %s not taken\n", name.c_str());
        return;
    }
    CreateDirectoryW(folder.c_str(), nullptr);
    app().Responsive(app().Main());
    Sleep(300);  // let the windows finish painting
    const std::wstring path = folder + L"\\" + std::wstring(name.begin(), name.end()) + L".png";
    EXPECT_TRUE(SaveScreen(path)) << "picture " << name << " not saved";
}

void DriverSession::SetGroupMode(bool on) {
    HWND check = app().Item(kGroupCheck);
    if ((SendMessageW(check, BM_GETCHECK, 0, 0) == BST_CHECKED) != on) {
        app().Click(kGroupCheck);
    }
    ASSERT_TRUE(WaitUntil([&] { return app().Enabled(kGroupStart) == on; }));
    ASSERT_TRUE(app().Responsive(app().Main()));
}

void DriverSession::ExpectPainted(std::initializer_list<int> ids, HWND cover) {
    if (!HasDisplay()) {
        return;
    }
    app().Responsive(app().Main());
    for (int id : ids) {
        EXPECT_GT(DarkPixels(app().Item(id), cover), 0) << "nothing painted in control " << id;
    }
}

}  // namespace blackbox
