// The one link to the storage: a handle to the VLK driver's control device.
#pragma once

#include <cstdint>
#include <optional>

#include "core/DriverPort.h"
#include "core/PassThroughRequest.h"

namespace tessaly {

// The outcome of the last control call.
struct OperationResult {
    std::int32_t success = 0;
    std::uint32_t bytesReturned = 0;  // written by the call only; never reset before one
    std::uint32_t dumpLength = 0;
};

inline constexpr std::uint32_t kDumpLength = 152;

class DeviceChannel {
  public:
    // "\\.\vlkpath"
    static constexpr const char kDeviceName[] = "\\\\.\\vlkpath";

    explicit DeviceChannel(DriverPort& port) : port_(port) {}
    DeviceChannel(const DeviceChannel&) = delete;
    DeviceChannel& operator=(const DeviceChannel&) = delete;
    ~DeviceChannel() { Close(); }

    // True when the device opened. On failure the handle becomes kInvalidHandle and the error
    // number is kept as the open error.
    bool Open();

    // One control call carrying the whole request in and its pass-through block out: the dialog's
    // 152 bytes, or as many as a longer transfer needs (at most the whole block). Made even when
    // the open failed (the call then fails). Returns the error number of a failed call, 0 on
    // success. With `timeoutMs` the call is given up after that long (kErrorTimedOut), where the
    // port can.
    std::uint32_t Send(PassThroughRequest& request, OperationResult& result,
                       std::uint32_t outputLength = PassThroughRequest::kOutputSize,
                       std::optional<std::uint32_t> timeoutMs = std::nullopt);

    // Closes a handle that Open returned; anything else has nothing to close.
    void Close();

    const char* DeviceName() const { return kDeviceName; }
    DeviceHandle Handle() const { return handle_; }
    std::uint32_t OpenError() const { return openError_; }

  private:
    DriverPort& port_;
    DeviceHandle handle_ = kNullHandle;
    std::uint32_t openError_ = 0;
};

}  // namespace tessaly
