#include "ui/RedrawHold.h"

#include <utility>

namespace tessaly::ui {

void RedrawHold::Attach(std::vector<HWND> windows) {
    windows_ = std::move(windows);
}

void RedrawHold::SetRedraw(bool on) const {
    for (HWND window : windows_) {
        ::SendMessageA(window, WM_SETREDRAW, on ? TRUE : FALSE, 0);
    }
}

void RedrawHold::SetText(HWND window, const std::string& text) {
    if (!Held()) {
        ::SetWindowTextA(window, text.c_str());
        return;
    }
    for (auto& [pendingWindow, pendingText] : pendingTexts_) {
        if (pendingWindow == window) {
            pendingText = text;
            return;
        }
    }
    pendingTexts_.emplace_back(window, text);
}

void RedrawHold::ShowAll() {
    for (const auto& [window, text] : pendingTexts_) {
        ::SetWindowTextA(window, text.c_str());
    }
    pendingTexts_.clear();
    SetRedraw(true);
    for (HWND window : windows_) {
        ::RedrawWindow(window, nullptr, nullptr,
                       RDW_INVALIDATE | RDW_ERASE | RDW_FRAME | RDW_UPDATENOW);
    }
}

RedrawHold::Scope::Scope(RedrawHold& hold) : hold_(hold) {
    if (hold_.depth_++ == 0) {
        hold_.SetRedraw(false);
    }
}

RedrawHold::Scope::~Scope() {
    if (--hold_.depth_ == 0) {
        hold_.ShowAll();
    }
}

RedrawHold::Interruption::Interruption(RedrawHold& hold) : hold_(hold) {
    if (hold_.Held()) {
        hold_.interrupted_ = true;
        resumed_ = true;
        hold_.ShowAll();
    }
}

RedrawHold::Interruption::~Interruption() {
    if (resumed_) {
        hold_.SetRedraw(false);
        hold_.interrupted_ = false;
    }
}

}  // namespace tessaly::ui
