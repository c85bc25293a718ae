#include "core/DeviceChannel.h"

namespace tessaly {

bool DeviceChannel::Open() {
    const OpenOutcome outcome = port_.OpenDevice(kDeviceName);
    handle_ = outcome.handle;
    if (handle_ == kInvalidHandle) {
        openError_ = outcome.error;
        return false;
    }
    openError_ = 0;
    return true;
}

std::uint32_t DeviceChannel::Send(PassThroughRequest& request, OperationResult& result,
                                  std::uint32_t outputLength,
                                  std::optional<std::uint32_t> timeoutMs) {
    if (outputLength > request_layout::kPassThroughBlockSize) {
        outputLength = request_layout::kPassThroughBlockSize;
    }
    const ControlOutcome outcome =
        timeoutMs ? port_.ControlWithin(handle_, IOCTL_PATH_PASS_THROUGH, request.Bytes(),
                                        PassThroughRequest::kSize, request.OutputArea(),
                                        outputLength, &result.bytesReturned, *timeoutMs)
                  : port_.Control(handle_, IOCTL_PATH_PASS_THROUGH, request.Bytes(),
                                  PassThroughRequest::kSize, request.OutputArea(), outputLength,
                                  &result.bytesReturned);
    result.success = outcome.success;
    return outcome.success != 0 ? 0 : outcome.error;
}

void DeviceChannel::Close() {
    if (handle_ != kNullHandle && handle_ != kInvalidHandle) {
        port_.CloseDevice(handle_);
        handle_ = kNullHandle;
    }
}

}  // namespace tessaly
