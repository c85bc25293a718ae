// Brings the real tessaly.exe, on the stand-in driver's default disks, into the states that the
// documentation shows and takes a picture of each with ImageMagick's import:
//   dialog.png        the dialog as it starts;
//   about.png         the About box over it;
//   group-clear.png   after a group clear over devices 0 to 5 on path 0, both lists scrolled from
//                     outside (as a person does with the scroll bar) to their last lines.
//   tessaly_pictures --exe=PATH --out=FOLDER          (host paths: /x/y)
// scripts/pictures.sh runs it on a private X display.
#include <cstdio>
#include <string>

#include "Harness.h"

namespace {

using namespace blackbox;

bool Take(App& app, const std::wstring& folder, const char* name) {
    app.Responsive(app.Main());
    Sleep(500);  // let the windows finish painting
    RECT area{};
    GetWindowRect(app.Main(), &area);
    const std::string file(name);
    if (!SaveScreen(folder + L"\\" + std::wstring(file.begin(), file.end()), &area)) {
        std::fprintf(stderr, "no picture %s\n", name);
        return false;
    }
    std::printf("%s\n", name);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    std::wstring exe;
    std::wstring folder;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--exe=", 0) == 0) {
            exe = WindowsPath(arg.substr(6));
        } else if (arg.rfind("--out=", 0) == 0) {
            folder = WindowsPath(arg.substr(6));
        }
    }
    if (exe.empty() || folder.empty() || !HasDisplay()) {
        std::fprintf(stderr, "usage: %s --exe=PATH --out=FOLDER (on an X display)\n", argv[0]);
        return 2;
    }
    CreateDirectoryW(folder.c_str(), nullptr);

    App app(exe);
    if (!app.Started() || app.Main(15000) == nullptr || app.FindDialog("tessaly", 0) != nullptr) {
        std::fprintf(stderr, "the dialog did not come up on the driver\n");
        return 1;
    }
    if (!Take(app, folder, "dialog.png")) {
        return 1;
    }

    PostMessageW(app.Main(), WM_SYSCOMMAND, 0x10, 0);
    HWND about = app.FindDialog("About Tessaly");
    if (about == nullptr || !Take(app, folder, "about.png") || !app.Answer(about)) {
        std::fprintf(stderr, "no About box\n");
        return 1;
    }

    app.Click(kGroupCheck);
    if (!WaitUntil([&] { return app.Enabled(kGroupStart); })) {
        return 1;
    }
    app.Type(kGroupStart, "0");
    app.Type(kGroupEnd, "5");
    app.Type(kGroupPath, "0");
    app.Click(kClearPrKeys);
    // Three data log blocks of 20 lines a device.
    if (!WaitUntil([&] { return app.LineCount(kDataLog) >= 360; }, 20000)) {
        std::fprintf(stderr, "the group clear did not finish\n");
        return 1;
    }
    app.Responsive(app.Main());
    app.ShowLastLine(kStatus);
    app.ShowLastLine(kDataLog);
    if (!Take(app, folder, "group-clear.png")) {
        return 1;
    }
    PostMessageW(app.Main(), WM_COMMAND, IDCANCEL, 0);
    app.Exited();
    return 0;
}
