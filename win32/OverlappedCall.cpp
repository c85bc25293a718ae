#include "win32/OverlappedCall.h"

#include <windows.h>

namespace tessaly::win32 {

std::uint32_t OverlappedControl(void* handle, std::uint32_t code, const void* input,
                                std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                                std::uint32_t* bytesReturned, std::uint32_t timeoutMs) {
    // The call waits on its thread's event, made once a thread (each one a round trip to the
    // system, under Wine a costly one); the call itself resets it.
    thread_local const struct Event {
        HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ~Event() {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    } event;
    if (event.handle == nullptr) {
        return GetLastError();
    }
    OVERLAPPED call{};
    call.hEvent = event.handle;
    DWORD returned = 0;
    DWORD error = 0;
    if (!DeviceIoControl(handle, code, const_cast<void*>(input), inputLength, output, outputLength,
                         &returned, &call)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = 0;
            if (WaitForSingleObject(call.hEvent, timeoutMs) == WAIT_TIMEOUT) {
                // Given up on: cancelled, and waited for until the driver lets it go.
                CancelIoEx(handle, &call);
                error = kCallTimedOut;
            }
            if (!GetOverlappedResult(handle, &call, &returned, TRUE) && error == 0) {
                error = GetLastError();
            }
        }
    }
    if (error == 0) {
        *bytesReturned = returned;
    }
    return error;
}

}  // namespace tessaly::win32
