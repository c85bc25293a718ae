#include "win32/Win32Pause.h"

#include <windows.h>

namespace tessaly::win32 {
namespace {

// timeBeginPeriod and timeEndPeriod of winmm.dll, loaded the first time a range needs them: a
// program that never pauses does not pay for loading the library at its start.
using TimerPeriodCall = UINT(WINAPI*)(UINT);

TimerPeriodCall TimerCall(const char* name) {
    static HMODULE winmm = ::LoadLibraryA("winmm.dll");
    if (winmm == nullptr) {
        return nullptr;
    }
    return reinterpret_cast<TimerPeriodCall>(
        reinterpret_cast<void*>(::GetProcAddress(winmm, name)));
}

constexpr UINT kTimerNoError = 0;  // TIMERR_NOERROR

}  // namespace

void Win32Pause::Sleep(std::uint32_t milliseconds) {
    ::Sleep(milliseconds);
}

void Win32Pause::BeginShortPauses() {
    if (!raised_) {
        const TimerPeriodCall begin = TimerCall("timeBeginPeriod");
        raised_ = begin != nullptr && begin(1) == kTimerNoError;
    }
}

void Win32Pause::EndShortPauses() {
    if (raised_) {
        if (const TimerPeriodCall end = TimerCall("timeEndPeriod"); end != nullptr) {
            end(1);
        }
        raised_ = false;
    }
}

}  // namespace tessaly::win32
