// What the program needs of the platform to reach the driver's control device.
#pragma once

#include <cstdint>

namespace tessaly {

// An opaque platform handle. Null before any open; kInvalidHandle after a failed one.
using DeviceHandle = std::uintptr_t;
inline constexpr DeviceHandle kNullHandle = 0;
inline constexpr DeviceHandle kInvalidHandle = ~DeviceHandle{0};

struct OpenOutcome {
    DeviceHandle handle;  // kInvalidHandle when the open failed
    std::uint32_t error;  // the platform's error number of a failed open, taken at once
};

struct ControlOutcome {
    std::int32_t success;  // the call's own result: nonzero on success
    std::uint32_t error;   // the platform's error number when the call failed
};

class DriverPort {
  public:
    virtual ~DriverPort() = default;

    // Opens the named control device for reading and writing, share mode 0, existing only,
    // synchronous calls only.
    virtual OpenOutcome OpenDevice(const char* name) = 0;

    // One synchronous control call. The call writes bytesReturned as the platform does, which may
    // mean not at all when it fails.
    virtual ControlOutcome Control(DeviceHandle handle, std::uint32_t code, const void* input,
                                   std::uint32_t inputLength, void* output,
                                   std::uint32_t outputLength, std::uint32_t* bytesReturned) = 0;

    virtual void CloseDevice(DeviceHandle handle) = 0;

    // One control call that gives up after `timeoutMs` milliseconds, cancelled and failed with
    // kErrorTimedOut, and that other threads may make on the same handle at the same time, where
    // the port can (the command-line program's port, with many calls in flight). This default
    // makes the synchronous call and waits as long as it takes.
    virtual ControlOutcome ControlWithin(DeviceHandle handle, std::uint32_t code, const void* input,
                                         std::uint32_t inputLength, void* output,
                                         std::uint32_t outputLength, std::uint32_t* bytesReturned,
                                         std::uint32_t timeoutMs) {
        static_cast<void>(timeoutMs);
        return Control(handle, code, input, inputLength, output, outputLength, bytesReturned);
    }
};

// The error of a call that ControlWithin gave up on: ERROR_TIMEOUT.
inline constexpr std::uint32_t kErrorTimedOut = 1460;

}  // namespace tessaly
