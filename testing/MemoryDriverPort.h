// An in-memory driver port: records every call and answers as the test scripts it.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <vector>

#include "core/DriverPort.h"

namespace tessaly::testing {

inline constexpr std::uint32_t kErrorInvalidHandle = 6;

class MemoryDriverPort : public DriverPort {
  public:
    static constexpr DeviceHandle kOpenedHandle = 0x1234;

    struct Call {
        DeviceHandle handle;
        std::uint32_t code;
        std::vector<std::uint8_t> input;  // the input as it stood when the call was made
        std::uint32_t inputLength;
        std::uintptr_t outputOffset;  // output address minus input address
        std::uint32_t outputLength;
        bool bytesReturnedGiven;
    };

    // Writes a reply into the output area (its first byte is request offset 8).
    using ReplyWriter = std::function<void(std::uint8_t* output, std::uint32_t outputLength)>;

    // Scripting. Answers are taken in order; with none left a call succeeds, writes nothing and
    // reports defaultBytesReturned.
    void FailOpen(std::uint32_t error) { openError_ = error; }
    void QueueReply(ReplyWriter writer, std::uint32_t bytesReturned);
    // A failed call. With bytesReturned empty the count is left untouched.
    void QueueFailure(std::uint32_t error, std::optional<std::uint32_t> bytesReturned,
                      ReplyWriter writer = {});
    std::uint32_t defaultBytesReturned = 152;

    // What the port was given.
    std::vector<const char*> openedNames;
    std::vector<Call> calls;
    std::vector<DeviceHandle> closedHandles;

    OpenOutcome OpenDevice(const char* name) override;
    ControlOutcome Control(DeviceHandle handle, std::uint32_t code, const void* input,
                           std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                           std::uint32_t* bytesReturned) override;
    void CloseDevice(DeviceHandle handle) override { closedHandles.push_back(handle); }

  private:
    struct Answer {
        bool success;
        std::uint32_t error;
        std::optional<std::uint32_t> bytesReturned;
        ReplyWriter writer;
    };
    std::optional<std::uint32_t> openError_;
    std::deque<Answer> answers_;
};

}  // namespace tessaly::testing
