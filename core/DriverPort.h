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
};

}  // namespace tessaly
