#include "Harness.h"

#include <algorithm>
#include <vector>

namespace blackbox {
namespace {

constexpr UINT kSendTimeoutMs = 3000;

LRESULT Send(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    DWORD_PTR result = 0;
    if (SendMessageTimeoutW(hwnd, message, wparam, lparam, SMTO_ABORTIFHUNG, kSendTimeoutMs,
                            &result) == 0) {
        return -1;
    }
    return static_cast<LRESULT>(result);
}

std::wstring ClassName(HWND hwnd) {
    wchar_t name[64] = {};
    GetClassNameW(hwnd, name, 64);
    return name;
}

struct Search {
    DWORD pid;
    std::string caption;
    bool visible_only;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialogs(HWND hwnd, LPARAM lparam) {
    auto* search = reinterpret_cast<Search*>(lparam);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    if (pid != search->pid || ClassName(hwnd) != L"#32770") {
        return TRUE;
    }
    if (search->visible_only && !IsWindowVisible(hwnd)) {
        return TRUE;
    }
    if (WindowText(hwnd) == search->caption) {
        search->found.push_back(hwnd);
    }
    return TRUE;
}

BOOL CALLBACK CollectChildren(HWND hwnd, LPARAM lparam) {
    reinterpret_cast<std::vector<HWND>*>(lparam)->push_back(hwnd);
    return TRUE;
}

}  // namespace

Options& GetOptions() {
    static Options options;
    return options;
}

std::wstring WindowsPath(const std::string& path) {
    std::wstring result;
    if (!path.empty() && path[0] == '/') {
        result = L"Z:";
    }
    for (char c : path) {
        result.push_back(c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c)));
    }
    return result;
}

std::string HostPath(const std::wstring& path) {
    if (path.size() < 3 || (path[0] != L'Z' && path[0] != L'z') || path[1] != L':') {
        return {};
    }
    std::string result;
    for (wchar_t c : path.substr(2)) {
        result.push_back(c == L'\\' ? '/' : static_cast<char>(c));
    }
    return result;
}

std::string Narrow(const std::wstring& text) {
    std::string result;
    result.reserve(text.size());
    for (wchar_t c : text) {
        result.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    }
    return result;
}

bool WaitUntil(const std::function<bool()>& condition, int timeout_ms) {
    const ULONGLONG end = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms);
    while (!condition()) {
        if (GetTickCount64() >= end) {
            return condition();
        }
        Sleep(20);
    }
    return true;
}

const std::vector<int>& KeyFieldIds() {
    static const std::vector<int> ids = {1001, 1009, 1010, 1011, 1012, 1013, 1014, 1015};
    return ids;
}

std::string WindowText(HWND hwnd) {
    const LRESULT length = Send(hwnd, WM_GETTEXTLENGTH, 0, 0);
    if (length <= 0) {
        return {};
    }
    std::wstring buffer(static_cast<size_t>(length) + 1, L'\0');
    const LRESULT copied =
        Send(hwnd, WM_GETTEXT, buffer.size(), reinterpret_cast<LPARAM>(buffer.data()));
    buffer.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
    return Narrow(buffer);
}

void PressKey(HWND target, UINT vk) {
    const UINT scan = MapVirtualKeyW(vk, MAPVK_VK_TO_VSC);
    const LPARAM down = 1 | (static_cast<LPARAM>(scan) << 16);
    const LPARAM up = down | (LPARAM{1} << 30) | (LPARAM{1} << 31);
    PostMessageW(target, WM_KEYDOWN, vk, down);
    PostMessageW(target, WM_KEYUP, vk, up);
}

std::vector<std::string> ChildTexts(HWND parent) {
    std::vector<HWND> children;
    EnumChildWindows(parent, CollectChildren, reinterpret_cast<LPARAM>(&children));
    std::vector<std::string> texts;
    for (HWND child : children) {
        texts.push_back(WindowText(child));
    }
    return texts;
}

bool HasDisplay() {
    return GetEnvironmentVariableA("DISPLAY", nullptr, 0) != 0;
}

bool SaveScreen(const std::wstring& path, const RECT* area) {
    const std::string target = HostPath(path);
    if (!HasDisplay() || target.empty()) {
        return false;
    }
    DeleteFileW(path.c_str());
    // Wine starts a host program from its host path, but hands out no process handle to wait
    // on: import writes a file beside the target, renamed to it once complete.
    std::string crop;
    if (area != nullptr) {
        crop = " -crop " + std::to_string(area->right - area->left) + "x" +
               std::to_string(area->bottom - area->top) + "+" + std::to_string(area->left) + "+" +
               std::to_string(area->top) + " +repage";
    }
    const std::string partial = target + ".part.png";
    const std::string script = "import -window root" + crop + " '" + partial + "' && mv '" +
                               partial + "' '" + target + "'";
    std::wstring command = L"/bin/sh -c \"" + std::wstring(script.begin(), script.end()) + L"\"";
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(L"Z:\\bin\\sh", command.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        nullptr, &startup, &process)) {
        return false;
    }
    if (process.hProcess != nullptr) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }
    return WaitUntil([&] { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; },
                     20000);
}

int DarkPixels(HWND window, HWND cover) {
    RECT client{};
    if (!HasDisplay() || !GetClientRect(window, &client)) {
        return -1;
    }
    POINT origin{0, 0};
    ClientToScreen(window, &origin);
    const int width = client.right;
    const int height = client.bottom;
    RECT hidden{};
    if (cover != nullptr) {
        GetWindowRect(cover, &hidden);
    }
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof(info.bmiHeader);
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;  // top-down rows
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HBITMAP bitmap = CreateDIBSection(screen, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    int dark = -1;
    if (bitmap != nullptr) {
        HGDIOBJ old = SelectObject(memory, bitmap);
        if (BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY)) {
            dark = 0;
            const auto* pixels = static_cast<const unsigned char*>(bits);
            for (int y = 0; y < height; ++y) {
                for (int x = 0; x < width; ++x) {
                    const POINT at{origin.x + x, origin.y + y};
                    const unsigned char* bgrx = pixels + (static_cast<size_t>(y) * width + x) * 4;
                    if (!PtInRect(&hidden, at) && bgrx[0] + bgrx[1] + bgrx[2] < 3 * 100) {
                        ++dark;
                    }
                }
            }
        }
        SelectObject(memory, old);
        DeleteObject(bitmap);
    }
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    return dark;
}

App::App(const std::wstring& exe) {
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    std::wstring command = L"\"" + exe + L"\"";
    if (!CreateProcessW(exe.c_str(), command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr,
                        &startup, &process_)) {
        process_ = {};
    }
}

App::~App() {
    if (process_.hProcess != nullptr) {
        if (WaitForSingleObject(process_.hProcess, 0) != WAIT_OBJECT_0) {
            TerminateProcess(process_.hProcess, 1);
            WaitForSingleObject(process_.hProcess, 5000);
        }
        CloseHandle(process_.hThread);
        CloseHandle(process_.hProcess);
    }
}

HWND App::FindDialog(const std::string& caption, int timeout_ms) const {
    Search search{process_.dwProcessId, caption, true, {}};
    WaitUntil(
        [&] {
            search.found.clear();
            EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&search));
            return !search.found.empty();
        },
        timeout_ms);
    return search.found.empty() ? nullptr : search.found.front();
}

int App::CountDialogs(const std::string& caption) const {
    Search search{process_.dwProcessId, caption, false, {}};
    EnumWindows(CollectDialogs, reinterpret_cast<LPARAM>(&search));
    return static_cast<int>(search.found.size());
}

HWND App::Main(int timeout_ms) {
    if (main_ == nullptr) {
        main_ = FindDialog("VLK Tessaly", timeout_ms);
    }
    return main_;
}

std::optional<Box> App::WaitBox(const std::string& caption, int timeout_ms) const {
    HWND hwnd = FindDialog(caption, timeout_ms);
    if (hwnd == nullptr) {
        return std::nullopt;
    }
    Box box;
    box.hwnd = hwnd;
    if (HWND message = GetDlgItem(hwnd, 0xFFFF)) {
        box.text = WindowText(message);
    }
    return box;
}

bool App::Answer(HWND box, int timeout_ms) const {
    PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED), 0);
    return WaitUntil([&] { return !IsWindow(box); }, timeout_ms);
}

bool App::Exited(int timeout_ms) const {
    return process_.hProcess != nullptr &&
           WaitForSingleObject(process_.hProcess, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0;
}

HWND App::Focus() const {
    GUITHREADINFO info{};
    info.cbSize = sizeof(info);
    if (!GetGUIThreadInfo(process_.dwThreadId, &info)) {
        return nullptr;
    }
    return info.hwndFocus;
}

HWND App::Item(int id) {
    return GetDlgItem(Main(), id);
}

std::string App::Text(int id) {
    return WindowText(Item(id));
}

int App::LineCount(int list_id) {
    return static_cast<int>(Send(Item(list_id), LB_GETCOUNT, 0, 0));
}

std::vector<std::string> App::Lines(int list_id) {
    HWND list = Item(list_id);
    std::vector<std::string> lines;
    const LRESULT count = Send(list, LB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = Send(list, LB_GETTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring buffer(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        const LRESULT copied =
            Send(list, LB_GETTEXT, static_cast<WPARAM>(i), reinterpret_cast<LPARAM>(buffer.data()));
        buffer.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
        lines.push_back(Narrow(buffer));
    }
    return lines;
}

std::vector<std::string> App::ComboEntries() {
    HWND combo = Item(kCommandList);
    std::vector<std::string> entries;
    const LRESULT count = Send(combo, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        const LRESULT length = Send(combo, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0);
        std::wstring buffer(static_cast<size_t>(std::max<LRESULT>(length, 0)) + 1, L'\0');
        const LRESULT copied = Send(combo, CB_GETLBTEXT, static_cast<WPARAM>(i),
                                    reinterpret_cast<LPARAM>(buffer.data()));
        buffer.resize(copied > 0 ? static_cast<size_t>(copied) : 0);
        entries.push_back(Narrow(buffer));
    }
    return entries;
}

int App::ComboSelection() {
    return static_cast<int>(Send(Item(kCommandList), CB_GETCURSEL, 0, 0));
}

bool App::Enabled(int id) {
    return IsWindowEnabled(Item(id)) != FALSE;
}

std::vector<std::string> App::KeyFields() {
    std::vector<std::string> fields;
    for (int id : KeyFieldIds()) {
        fields.push_back(Text(id));
    }
    return fields;
}

void App::Type(int id, const std::string& text) {
    HWND edit = Item(id);
    for (char c : text) {
        Send(edit, WM_CHAR, static_cast<unsigned char>(c), 1);
    }
}

void App::SetText(int id, const std::string& text) {
    std::wstring wide(text.begin(), text.end());
    Send(Item(id), WM_SETTEXT, 0, reinterpret_cast<LPARAM>(wide.c_str()));
}

void App::Pick(int index) {
    HWND combo = Item(kCommandList);
    Send(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    PostMessageW(Main(), WM_COMMAND, MAKEWPARAM(kCommandList, CBN_SELCHANGE),
                 reinterpret_cast<LPARAM>(combo));
}

void App::Click(int id) {
    PostMessageW(Item(id), BM_CLICK, 0, 0);
}

void App::ShowLastLine(int list_id) {
    HWND list = Item(list_id);
    RECT client{};
    GetClientRect(list, &client);
    const LRESULT height = Send(list, LB_GETITEMHEIGHT, 0, 0);
    const LRESULT count = Send(list, LB_GETCOUNT, 0, 0);
    const LRESULT visible = height > 0 ? client.bottom / height : 1;
    Send(list, LB_SETTOPINDEX, static_cast<WPARAM>(std::max<LRESULT>(count - visible, 0)), 0);
}

bool App::Responsive(HWND hwnd, int timeout_ms) const {
    DWORD_PTR result = 0;
    return SendMessageTimeoutW(hwnd, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, static_cast<UINT>(timeout_ms),
                               &result) != 0;
}

bool App::PickAndWait(int index, int status_lines, int log_lines) {
    const int status_before = LineCount(kStatus);
    const int log_before = LineCount(kDataLog);
    Pick(index);
    return WaitUntil([&] {
        return LineCount(kStatus) >= status_before + status_lines &&
               LineCount(kDataLog) >= log_before + log_lines;
    });
}

}  // namespace blackbox
