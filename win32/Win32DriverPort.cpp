#include "win32/Win32DriverPort.h"

#include <windows.h>

namespace tessaly::win32 {
namespace {

HANDLE ToHandle(DeviceHandle handle) {
    return reinterpret_cast<HANDLE>(handle);
}

static_assert(sizeof(DWORD) == sizeof(std::uint32_t));
static_assert(sizeof(HANDLE) == sizeof(DeviceHandle));

}  // namespace

OpenOutcome Win32DriverPort::OpenDevice(const char* name) {
    const HANDLE handle = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                      overlapped_ ? FILE_FLAG_OVERLAPPED : 0, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        const DWORD error = GetLastError();
        return {kInvalidHandle, error};
    }
    return {reinterpret_cast<DeviceHandle>(handle), 0};
}

ControlOutcome Win32DriverPort::Control(DeviceHandle handle, std::uint32_t code, const void* input,
                                        std::uint32_t inputLength, void* output,
                                        std::uint32_t outputLength, std::uint32_t* bytesReturned) {
    if (overlapped_) {
        return ControlWithin(handle, code, input, inputLength, output, outputLength, bytesReturned,
                             INFINITE);
    }
    const BOOL ok =
        DeviceIoControl(ToHandle(handle), code, const_cast<void*>(input), inputLength, output,
                        outputLength, reinterpret_cast<DWORD*>(bytesReturned), nullptr);
    if (!ok) {
        const DWORD error = GetLastError();
        return {0, error};
    }
    return {ok, 0};
}

ControlOutcome Win32DriverPort::ControlWithin(DeviceHandle handle, std::uint32_t code,
                                              const void* input, std::uint32_t inputLength,
                                              void* output, std::uint32_t outputLength,
                                              std::uint32_t* bytesReturned,
                                              std::uint32_t timeoutMs) {
    if (!overlapped_) {
        return Control(handle, code, input, inputLength, output, outputLength, bytesReturned);
    }
    // The call is in flight on its thread's event; the other threads' calls go on beside it. The
    // event is made once a thread (each one a round trip to the system, under Wine a costly one);
    // the call itself resets it.
    thread_local const struct Event {
        HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
        ~Event() {
            if (handle != nullptr) {
                CloseHandle(handle);
            }
        }
    } event;
    if (event.handle == nullptr) {
        return {0, GetLastError()};
    }
    OVERLAPPED call{};
    call.hEvent = event.handle;
    DWORD returned = 0;
    DWORD error = 0;
    if (!DeviceIoControl(ToHandle(handle), code, const_cast<void*>(input), inputLength, output,
                         outputLength, &returned, &call)) {
        error = GetLastError();
        if (error == ERROR_IO_PENDING) {
            error = 0;
            if (WaitForSingleObject(call.hEvent, timeoutMs) == WAIT_TIMEOUT) {
                // Given up on: cancelled, and waited for until the driver lets it go.
                CancelIoEx(ToHandle(handle), &call);
                error = kErrorTimedOut;
            }
            if (!GetOverlappedResult(ToHandle(handle), &call, &returned, TRUE) && error == 0) {
                error = GetLastError();
            }
        }
    }
    if (error != 0) {
        return {0, error};
    }
    *bytesReturned = returned;
    return {1, 0};
}

void Win32DriverPort::CloseDevice(DeviceHandle handle) {
    CloseHandle(ToHandle(handle));
}

}  // namespace tessaly::win32
