#include "testing/MemoryDriverPort.h"

#include <utility>

namespace tessaly::testing {

void MemoryDriverPort::QueueReply(ReplyWriter writer, std::uint32_t bytesReturned) {
    answers_.push_back(Answer{true, 0, bytesReturned, std::move(writer)});
}

void MemoryDriverPort::QueueFailure(std::uint32_t error, std::optional<std::uint32_t> bytesReturned,
                                    ReplyWriter writer) {
    answers_.push_back(Answer{false, error, bytesReturned, std::move(writer)});
}

OpenOutcome MemoryDriverPort::OpenDevice(const char* name) {
    openedNames.push_back(name);
    if (openError_) {
        return {kInvalidHandle, *openError_};
    }
    return {kOpenedHandle, 0};
}

ControlOutcome MemoryDriverPort::Control(DeviceHandle handle, std::uint32_t code, const void* input,
                                         std::uint32_t inputLength, void* output,
                                         std::uint32_t outputLength, std::uint32_t* bytesReturned) {
    const auto* in = static_cast<const std::uint8_t*>(input);
    calls.push_back(
        Call{handle, code, std::vector<std::uint8_t>(in, in + inputLength), inputLength,
             reinterpret_cast<std::uintptr_t>(output) - reinterpret_cast<std::uintptr_t>(input),
             outputLength, bytesReturned != nullptr});

    // Like the platform: a call on a handle that was never opened fails and writes nothing.
    if (handle != kOpenedHandle) {
        return {0, kErrorInvalidHandle};
    }

    Answer answer{true, 0, defaultBytesReturned, {}};
    if (!answers_.empty()) {
        answer = std::move(answers_.front());
        answers_.pop_front();
    }
    if (answer.writer) {
        answer.writer(static_cast<std::uint8_t*>(output), outputLength);
    }
    if (answer.bytesReturned && bytesReturned != nullptr) {
        *bytesReturned = *answer.bytesReturned;
    }
    return {answer.success ? 1 : 0, answer.error};
}

}  // namespace tessaly::testing
