// Painting held off over real windows: a list box and an edit in a visible window.
#include <gtest/gtest.h>

#include "ModalWatcher.h"
#include "ui/RedrawHold.h"

namespace {

using tessaly::ui::RedrawHold;

// Counts the WM_PAINT messages the list box gets.
int g_paints = 0;
WNDPROC g_listProc = nullptr;
LRESULT CALLBACK CountingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_PAINT) {
        ++g_paints;
    }
    return ::CallWindowProcA(g_listProc, window, message, wParam, lParam);
}

class RedrawHoldTest : public testing::Test {
  protected:
    void SetUp() override {
        frame_ = ::CreateWindowExA(0, "STATIC", "frame", WS_POPUP | WS_VISIBLE, 0, 0, 300, 300,
                                   nullptr, nullptr, nullptr, nullptr);
        list_ = ::CreateWindowExA(0, "LISTBOX", "", WS_CHILD | WS_VISIBLE | WS_VSCROLL, 0, 0, 200,
                                  200, frame_, nullptr, nullptr, nullptr);
        edit_ = ::CreateWindowExA(0, "EDIT", "", WS_CHILD | WS_VISIBLE, 0, 210, 100, 20, frame_,
                                  nullptr, nullptr, nullptr);
        g_listProc = reinterpret_cast<WNDPROC>(
            ::SetWindowLongPtrA(list_, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(&CountingProc)));
        hold_.Attach({list_, edit_});
        Pump();
        g_paints = 0;
    }
    void TearDown() override { ::DestroyWindow(frame_); }

    // Runs what the window system has queued, paints included.
    static void Pump() {
        MSG message;
        while (::PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
            ::DispatchMessageA(&message);
        }
    }
    void AddLines(int count) {
        for (int i = 0; i < count; ++i) {
            ::SendMessageA(list_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>("a line"));
        }
    }
    bool ListNeedsPaint() const { return ::GetUpdateRect(list_, nullptr, FALSE) != FALSE; }

    HWND frame_ = nullptr;
    HWND list_ = nullptr;
    HWND edit_ = nullptr;
    RedrawHold hold_;
};

TEST_F(RedrawHoldTest, NestedHoldsPaintOnceWhenTheOutermostEndsWithTheLastText) {
    {
        const RedrawHold::Scope outer(hold_);
        {
            const RedrawHold::Scope inner(hold_);
            AddLines(50);
            hold_.SetText(edit_, "first");
        }
        // The inner end changes nothing: still held, nothing to paint, the text not yet set.
        EXPECT_TRUE(hold_.Held());
        AddLines(50);
        hold_.SetText(edit_, "last");
        EXPECT_FALSE(ListNeedsPaint());
        Pump();
        EXPECT_EQ(g_paints, 0);
        EXPECT_EQ(WindowText(edit_), "");
    }
    // Painted before the outermost end returns, once, with every line and the last text.
    EXPECT_FALSE(hold_.Held());
    EXPECT_EQ(g_paints, 1);
    EXPECT_EQ(::SendMessageA(list_, LB_GETCOUNT, 0, 0), 100);
    EXPECT_EQ(WindowText(edit_), "last");
    Pump();
    EXPECT_EQ(g_paints, 1);

    // Painting is back on: a line in view repaints, a text is set at once.
    ::SendMessageA(list_, LB_INSERTSTRING, 0, reinterpret_cast<LPARAM>("a line on top"));
    EXPECT_TRUE(ListNeedsPaint());
    hold_.SetText(edit_, "now");
    EXPECT_EQ(WindowText(edit_), "now");
}

TEST_F(RedrawHoldTest, AnInterruptionPaintsWhatIsThereAndHoldsAgainAfterwards) {
    {
        const RedrawHold::Interruption nothingHeld(hold_);
        EXPECT_EQ(g_paints, 0);
    }
    const RedrawHold::Scope hold(hold_);
    AddLines(10);
    hold_.SetText(edit_, "before the box");
    {
        const RedrawHold::Interruption box(hold_);
        EXPECT_EQ(g_paints, 1);
        EXPECT_EQ(WindowText(edit_), "before the box");
        // While the box is up the list paints as usual.
        EXPECT_FALSE(hold_.Held());
        AddLines(1);
        EXPECT_TRUE(ListNeedsPaint());
        Pump();
    }
    EXPECT_TRUE(hold_.Held());
    const int paints = g_paints;
    AddLines(10);
    hold_.SetText(edit_, "after the box");
    EXPECT_FALSE(ListNeedsPaint());
    Pump();
    EXPECT_EQ(g_paints, paints);
    EXPECT_EQ(WindowText(edit_), "before the box");
}

}  // namespace
