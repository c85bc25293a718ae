// The driver port over the real platform calls.
#pragma once

#include "core/DriverPort.h"

namespace tessaly::win32 {

class Win32DriverPort : public DriverPort {
  public:
    OpenOutcome OpenDevice(const char* name) override;
    ControlOutcome Control(DeviceHandle handle, std::uint32_t code, const void* input,
                           std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                           std::uint32_t* bytesReturned) override;
    void CloseDevice(DeviceHandle handle) override;
};

}  // namespace tessaly::win32
