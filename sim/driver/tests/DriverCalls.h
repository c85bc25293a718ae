// Calls on vlkpath.sys under Wine for the latency and disk object tests: handles, requests with
// any keys, overlapped calls, and the test program started again as a child process.
#pragma once

#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"

namespace tessaly::win32::driver_calls {

using Key = std::array<std::uint8_t, 8>;
inline constexpr Key kZeroKey = {};
inline constexpr DWORD kWholeBlock = request_layout::kPassThroughBlockSize;  // 608

inline bool DriverExpected() {
    const char* value = std::getenv("TESSALY_EXPECT_DRIVER");
    return value != nullptr && value[0] == '1';
}

// A key of its own for each number.
inline Key KeyFor(int n) {
    return {'K',
            'E',
            'Y',
            '-',
            static_cast<std::uint8_t>('0' + n / 100 % 10),
            static_cast<std::uint8_t>('0' + n / 10 % 10),
            static_cast<std::uint8_t>('0' + n % 10),
            '!'};
}

class Handle {
  public:
    Handle(const char* name, bool overlapped)
        : handle_(CreateFileA(name, GENERIC_READ | GENERIC_WRITE,
                              FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                              overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr)),
          error_(handle_ == INVALID_HANDLE_VALUE ? GetLastError() : 0) {}
    ~Handle() {
        if (handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    HANDLE Get() const { return handle_; }
    DWORD OpenError() const { return error_; }

  private:
    HANDLE handle_;
    DWORD error_;
};

// REGISTER from `oldKey` to `newKey` (zero: unregister), READ KEYS and READ RESERVATION on the
// whole data area.
inline PassThroughRequest Register(std::uint32_t device, std::uint32_t path, const Key& oldKey,
                                   const Key& newKey) {
    const std::array<std::uint8_t, kCdbSize> cdb = {0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0};
    std::array<std::uint8_t, kParameterListSize> list{};
    std::copy(oldKey.begin(), oldKey.end(), list.begin());
    std::copy(newKey.begin(), newKey.end(), list.begin() + 8);
    return PassThroughRequest(device, path, DataDirection::Out, cdb, list);
}
inline PassThroughRequest ReadIn(std::uint32_t device, std::uint32_t path,
                                 std::uint8_t serviceAction) {
    const std::array<std::uint8_t, kCdbSize> cdb = {0x5E, serviceAction, 0,    0, 0, 0,
                                                    0,    0x02,          0x00, 0};
    return PassThroughRequest(device, path, DataDirection::In, cdb, {}, 512);
}

// One synchronous call with the whole block as output: the error number (0 on success).
inline DWORD Call(HANDLE handle, PassThroughRequest& request) {
    DWORD bytes = 0;
    return DeviceIoControl(handle, IOCTL_PATH_PASS_THROUGH, request.Bytes(), 616,
                           request.OutputArea(), kWholeBlock, &bytes, nullptr)
               ? 0
               : GetLastError();
}

// An overlapped call with its own event, and what became of it.
struct Flight {
    explicit Flight(PassThroughRequest r, int t = 0)
        : request(r), requested(r.DataTransferLength()), tag(t) {
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Flight() { CloseHandle(overlapped.hEvent); }
    Flight(const Flight&) = delete;
    Flight& operator=(const Flight&) = delete;

    // Sends the call: the error number of DeviceIoControl, ERROR_IO_PENDING while in flight.
    DWORD Send(HANDLE handle, DWORD code = IOCTL_PATH_PASS_THROUGH, void* buffer = nullptr,
               DWORD inputLength = 616, DWORD outputLength = kWholeBlock) {
        void* in = buffer != nullptr ? buffer : request.Bytes();
        void* out = buffer != nullptr ? buffer : request.OutputArea();
        return DeviceIoControl(handle, code, in, inputLength, out, outputLength, nullptr,
                               &overlapped)
                   ? 0
                   : GetLastError();
    }
    // Waits for the end: the error number (0 on success) and the bytes returned.
    std::pair<DWORD, DWORD> Wait(HANDLE handle) {
        DWORD bytes = 0;
        const BOOL ok = GetOverlappedResult(handle, &overlapped, &bytes, TRUE);
        return {ok ? 0 : GetLastError(), bytes};
    }
    bool Done() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }

    OVERLAPPED overlapped{};
    PassThroughRequest request;
    std::uint32_t requested;  // the transfer asked for
    int tag;
};

// Starts this test program again with `filter`, and TESSALY_CHILD set to `role` for it.
inline PROCESS_INFORMATION StartChild(const std::string& filter, const std::string& role) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string command = std::string("\"") + path + "\" --gtest_filter=" + filter;
    SetEnvironmentVariableA("TESSALY_CHILD", role.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &process);
    SetEnvironmentVariableA("TESSALY_CHILD", nullptr);
    EXPECT_TRUE(started) << GetLastError();
    return process;
}

// Waits for a child and gives its exit code.
inline DWORD EndOfChild(PROCESS_INFORMATION& process) {
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 1;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return code;
}

// The role this program was started for as a child, empty when it was not.
inline std::string ChildRole() {
    const char* role = std::getenv("TESSALY_CHILD");
    return role != nullptr ? role : "";
}

}  // namespace tessaly::win32::driver_calls
