// The five persistent-reservation commands and the key that carries over between them.
#pragma once

#include <array>
#include <cstdint>

#include "core/PassThroughRequest.h"

namespace tessaly {

// Positions in the command list.
enum class Command : int {
    ReadKeys = 0,
    ReadReservation = 1,
    RegisterDevice = 2,
    ReserveDevice = 3,
    ClearReservation = 4,
};
inline constexpr int kCommandCount = 5;

// The text of the command's entry in the command list.
const char* CommandListText(Command command);

using ReservationKey = std::array<std::uint8_t, 8>;

// The reservation key last read from any device. One per running program: all zero at start,
// replaced by every READ KEYS and READ RESERVATION, sent back by CLEAR.
class CurrentKey {
  public:
    const ReservationKey& Bytes() const { return bytes_; }

    // Takes data bytes 8..15 of the reply exactly as they stand, whatever the outcome of the call.
    void CaptureFrom(const PassThroughRequest& reply);

  private:
    ReservationKey bytes_{};
};

// A fresh, complete request for the command. CLEAR carries `key` in both key fields.
PassThroughRequest BuildCommandRequest(Command command, std::uint32_t device, std::uint32_t path,
                                       const CurrentKey& key);

}  // namespace tessaly
