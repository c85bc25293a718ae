// Building the requests of the commands, and the key that carries over between them.
#pragma once

#include <array>
#include <cstdint>

#include "core/CommandTable.h"
#include "core/PassThroughRequest.h"

namespace tessaly {

using ReservationKey = std::array<std::uint8_t, 8>;

// The program's own registration key, "TESSALY1", built byte by byte.
ReservationKey FixedRegistrationKey();

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

// A fresh, complete request of one of the dialog's commands, exactly as its row gives it. CLEAR
// carries `key` in both key fields.
PassThroughRequest BuildCommandRequest(Command command, std::uint32_t device, std::uint32_t path,
                                       const CurrentKey& key);

// What a request of any command carries beyond its row, chosen by the caller.
struct RequestFields {
    std::uint32_t device = 0;
    std::uint32_t path = 0;
    ReservationKey reservationKey{};    // PERSISTENT RESERVE OUT only
    ReservationKey serviceActionKey{};  // PERSISTENT RESERVE OUT only
    std::uint8_t scopeAndType = 0;      // command block byte 2
    // PERSISTENT RESERVE IN: the allocation length and the data-in transfer, at most the data
    // area; the reply then comes back in OutputLength(transfer) bytes.
    std::uint16_t allocationLength = kParameterListSize;
    std::uint32_t transferLength = request_value::kDataTransferLength;
};

// A fresh, complete request of the row's command with the caller's keys, type and lengths. A
// transfer longer than the data area is cut to it.
PassThroughRequest BuildRequest(const CommandRow& row, const RequestFields& fields);

// The output length of the control call that brings back `transferLength` data bytes: the block
// up to the end of that part of the data area.
constexpr std::uint32_t OutputLength(std::uint32_t transferLength) {
    return block_offset::kDataArea + transferLength;
}

}  // namespace tessaly
