#include "ModalWatcher.h"

#include <utility>

namespace {
std::vector<ModalWatcher*> g_watchers;
}

std::string WindowText(HWND window) {
    char buffer[512] = {};
    ::GetWindowTextA(window, buffer, static_cast<int>(sizeof buffer));
    return buffer;
}

ModalWatcher::ModalWatcher(std::string caption, Action action)
    : caption_(std::move(caption)), action_(std::move(action)) {
    g_watchers.push_back(this);
    timer_ = ::SetTimer(nullptr, 0, 20, &ModalWatcher::OnTimer);
}

ModalWatcher::~ModalWatcher() {
    ::KillTimer(nullptr, timer_);
    std::erase(g_watchers, this);
}

ModalWatcher::Action ModalWatcher::Close(int command) {
    return [command](HWND box) { ::PostMessageA(box, WM_COMMAND, MAKEWPARAM(command, 0), 0); };
}

void CALLBACK ModalWatcher::OnTimer(HWND, UINT, UINT_PTR timer, DWORD) {
    for (ModalWatcher* watcher : g_watchers) {
        if (watcher->timer_ == timer) {
            ::EnumThreadWindows(::GetCurrentThreadId(), &ModalWatcher::OnWindow,
                                reinterpret_cast<LPARAM>(watcher));
        }
    }
}

BOOL CALLBACK ModalWatcher::OnWindow(HWND window, LPARAM self) {
    auto* watcher = reinterpret_cast<ModalWatcher*>(self);
    char className[64] = {};
    ::GetClassNameA(window, className, static_cast<int>(sizeof className));
    if (std::string(className) != "#32770" || !::IsWindowVisible(window) ||
        !::IsWindowEnabled(window) || WindowText(window) != watcher->caption_ ||
        watcher->seen_.count(window) != 0) {
        return TRUE;
    }
    watcher->seen_.insert(window);
    HWND text = ::GetDlgItem(window, 0xFFFF);
    watcher->texts_.push_back(text != nullptr ? WindowText(text) : std::string());
    watcher->owners_.push_back(::GetWindow(window, GW_OWNER));
    watcher->action_(window);
    return TRUE;
}
