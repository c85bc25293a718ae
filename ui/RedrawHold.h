// Painting held off while the program writes a report: adding a line to a visible list box
// would otherwise repaint it there and then, which costs far more than the line itself
// (milliseconds a line under Wine against microseconds with painting off). Setting a window's text
// costs a round trip to the window system whether the window paints or not, so while a hold is on
// a field keeps only the last text it was given and takes it when the hold ends. Every line goes
// in at once; the windows show their lines and texts when the outermost hold ends, painted once.
#pragma once

#include <windows.h>

#include <string>
#include <utility>
#include <vector>

namespace tessaly::ui {

class RedrawHold {
  public:
    // The windows held (WM_SETREDRAW), each invalidated and repainted when the outermost hold
    // ends. Nothing else needs it: the other windows paint as always.
    void Attach(std::vector<HWND> windows);

    bool Held() const { return depth_ > 0 && !interrupted_; }

    // Sets the window's text at once, or while a hold is on when it ends: nothing can show or read
    // the texts in between, so each window takes only the last one.
    void SetText(HWND window, const std::string& text);

    // Painting off while it lives. Scopes nest: only the outermost turns painting off, and when it
    // ends it sets the texts held back, turns painting on and repaints the windows, frames (scroll
    // bars) included, before it returns.
    class Scope {
      public:
        explicit Scope(RedrawHold& hold);
        ~Scope();
        Scope(const Scope&) = delete;
        Scope& operator=(const Scope&) = delete;

      private:
        RedrawHold& hold_;
    };

    // For a modal box over the windows while a hold is on: painting on, the texts set and
    // everything written so far painted before the box comes up, so that the window behind it is up
    // to date and its modal loop repaints what the box uncovers; off again once the box is gone.
    // Nothing when no hold is on.
    class Interruption {
      public:
        explicit Interruption(RedrawHold& hold);
        ~Interruption();
        Interruption(const Interruption&) = delete;
        Interruption& operator=(const Interruption&) = delete;

      private:
        RedrawHold& hold_;
        bool resumed_ = false;
    };

  private:
    void SetRedraw(bool on) const;
    // The texts held back set, painting on, every window repainted before it returns.
    void ShowAll();

    std::vector<HWND> windows_;
    std::vector<std::pair<HWND, std::string>> pendingTexts_;  // in the order of their first change
    int depth_ = 0;
    bool interrupted_ = false;
};

}  // namespace tessaly::ui
