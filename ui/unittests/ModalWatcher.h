// Acts on modal boxes of this thread while a modal loop runs: a thread timer looks for a visible
// dialog window with the given caption and hands each new one to an action once.
#pragma once

#include <windows.h>

#include <functional>
#include <set>
#include <string>
#include <vector>

class ModalWatcher {
  public:
    using Action = std::function<void(HWND box)>;

    ModalWatcher(std::string caption, Action action);
    ~ModalWatcher();
    ModalWatcher(const ModalWatcher&) = delete;
    ModalWatcher& operator=(const ModalWatcher&) = delete;

    int Count() const { return static_cast<int>(seen_.size()); }
    // Texts of the message boxes seen (their static control 0xFFFF), in order.
    const std::vector<std::string>& Texts() const { return texts_; }
    const std::vector<HWND>& Owners() const { return owners_; }

    // An action that closes the box with a command.
    static Action Close(int command);

  private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD);
    static BOOL CALLBACK OnWindow(HWND window, LPARAM self);

    std::string caption_;
    Action action_;
    UINT_PTR timer_ = 0;
    std::set<HWND> seen_;
    std::vector<std::string> texts_;
    std::vector<HWND> owners_;
};

std::string WindowText(HWND window);
