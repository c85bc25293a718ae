#include "win32/Win32DriverPort.h"

#include <windows.h>

#include "win32/OverlappedCall.h"

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
    const std::uint32_t error = OverlappedControl(ToHandle(handle), code, input, inputLength,
                                                  output, outputLength, bytesReturned, timeoutMs);
    return error != 0 ? ControlOutcome{0, error} : ControlOutcome{1, 0};
}

void Win32DriverPort::CloseDevice(DeviceHandle handle) {
    CloseHandle(ToHandle(handle));
}

}  // namespace tessaly::win32
