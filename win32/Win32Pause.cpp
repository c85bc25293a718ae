#include "win32/Win32Pause.h"

#include <windows.h>
// After windows.h, which it needs.
#include <timeapi.h>

namespace tessaly::win32 {

void Win32Pause::Sleep(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

void Win32Pause::BeginShortPauses() {
    if (!raised_) {
        raised_ = timeBeginPeriod(1) == TIMERR_NOERROR;
    }
}

void Win32Pause::EndShortPauses() {
    if (raised_) {
        timeEndPeriod(1);
        raised_ = false;
    }
}

}  // namespace tessaly::win32
