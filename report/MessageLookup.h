// The system's message text for an error number.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace tessaly {

class MessageLookup {
  public:
    static constexpr std::size_t kMaxLength = 79;
    virtual ~MessageLookup() = default;
    // The text exactly as the system gives it (line break included), or nothing when the system
    // has no text of at most kMaxLength characters for the number.
    virtual std::optional<std::string> MessageFor(std::uint32_t error) = 0;
};

}  // namespace tessaly
