// Drives a running tessaly.exe from another process through window messages, the way a person
// would use it: typing, picking, pressing buttons and keys, answering message boxes, reading back.
#pragma once

#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace blackbox {

// Where the program under test and the picture folder are, in the form Windows sees them.
struct Options {
    std::wstring exe;
    std::wstring shots;
};
Options& GetOptions();

// Turns a path as the host sees it (/x/y) into the Windows form (Z:\x\y); leaves others alone.
std::wstring WindowsPath(const std::string& path);
// The other way: Z:\x\y becomes /x/y; empty for a path on another drive.
std::string HostPath(const std::wstring& path);

// The program's texts are single-byte; the controls hand them out as UTF-16.
std::string Narrow(const std::wstring& text);

// Polls the condition until it holds or the time runs out; returns its last value.
bool WaitUntil(const std::function<bool()>& condition, int timeout_ms = 5000);

// Control ids of the main dialog.
enum Id : int {
    kCommandList = 1000,
    kKey0 = 1001,
    kDevice = 1002,
    kPath = 1003,
    kGroupPath = 1004,
    kDataLog = 1008,
    kKey1 = 1009,
    kStatus = 1016,
    kGroupCheck = 1017,
    kGroupStart = 1018,
    kGroupEnd = 1019,
    kClearPrKeys = 1021,
    kCancel = 2,
    kHelp = 57670,
};

// The eight key fields in key byte order.
const std::vector<int>& KeyFieldIds();

// A top-level dialog of the program, found by its caption.
struct Box {
    HWND hwnd = nullptr;
    std::string text;  // static control 0xFFFF, the message of a message box
};

// One run of the program. The process is ended, whatever state it is in, when the object goes.
class App {
  public:
    explicit App(const std::wstring& exe = GetOptions().exe);
    ~App();
    App(const App&) = delete;
    App& operator=(const App&) = delete;

    bool Started() const { return process_.hProcess != nullptr; }
    DWORD ProcessId() const { return process_.dwProcessId; }

    // A visible top-level "#32770" window of this process with exactly this caption.
    HWND FindDialog(const std::string& caption, int timeout_ms = 5000) const;
    // Every top-level "#32770" window of this process (visible or not) with this caption.
    int CountDialogs(const std::string& caption) const;
    // The main dialog "VLK Tessaly", found once.
    HWND Main(int timeout_ms = 8000);
    // A message box with this caption; its text read from control 0xFFFF.
    std::optional<Box> WaitBox(const std::string& caption, int timeout_ms = 5000) const;
    // Presses OK of a dialog box and waits until it is gone.
    bool Answer(HWND box, int timeout_ms = 5000) const;
    // True when the process ended within the time.
    bool Exited(int timeout_ms = 5000) const;
    // The focused control of the program's user-interface thread.
    HWND Focus() const;

    // Reading the main dialog.
    HWND Item(int id);
    std::string Text(int id);
    std::vector<std::string> Lines(int list_id);
    int LineCount(int list_id);
    std::vector<std::string> ComboEntries();
    int ComboSelection();
    bool Enabled(int id);
    std::vector<std::string> KeyFields();

    // Acting on the main dialog.
    void Type(int id, const std::string& text);  // one WM_CHAR per character
    void SetText(int id, const std::string& text);
    void Pick(int index);  // select and notify, as a user's pick does
    void Click(int id);    // posted: the click may open a modal box
    // Scrolls a list so that its last line is at the bottom, as a person does with the scroll
    // bar; the lines stay as they are.
    void ShowLastLine(int list_id);
    bool Responsive(HWND hwnd, int timeout_ms = 3000) const;

    // Runs one command from the list and waits for its report lines.
    bool PickAndWait(int index, int status_lines, int log_lines = 20);

  private:
    PROCESS_INFORMATION process_{};
    HWND main_ = nullptr;
};

// Window texts of another process.
std::string WindowText(HWND hwnd);

// True when the windows are on an X display, which the pictures and pixel checks need (without
// one they still work, on Wine's null display driver).
bool HasDisplay();
// A picture of the screen, or of the part of it given in screen coordinates, taken with
// ImageMagick's import on the host and written to a PNG file (Windows path on drive Z:). False
// when there is no display or no picture came within 20 s.
bool SaveScreen(const std::wstring& path, const RECT* area = nullptr);
// The dark pixels (text) that the screen shows inside the client area of a window, leaving out
// the part that `cover` (a window over it) hides; -1 when the screen cannot be read.
int DarkPixels(HWND window, HWND cover = nullptr);
// Posts a key press and release to a window.
void PressKey(HWND target, UINT vk);
// Texts of the child windows of a window, in z-order.
std::vector<std::string> ChildTexts(HWND parent);

}  // namespace blackbox
