// The driver port over the real platform calls.
#pragma once

#include "core/DriverPort.h"

namespace tessaly::win32 {

class Win32DriverPort : public DriverPort {
  public:
    // Synchronous, as the dialog opens the control device; with `overlapped` the handle is opened
    // for overlapped calls, so that many may be in flight and each one can be given up on.
    explicit Win32DriverPort(bool overlapped = false) : overlapped_(overlapped) {}

    OpenOutcome OpenDevice(const char* name) override;
    ControlOutcome Control(DeviceHandle handle, std::uint32_t code, const void* input,
                           std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                           std::uint32_t* bytesReturned) override;
    ControlOutcome ControlWithin(DeviceHandle handle, std::uint32_t code, const void* input,
                                 std::uint32_t inputLength, void* output,
                                 std::uint32_t outputLength, std::uint32_t* bytesReturned,
                                 std::uint32_t timeoutMs) override;
    void CloseDevice(DeviceHandle handle) override;

  private:
    bool overlapped_;
};

}  // namespace tessaly::win32
