// Building the requests of the commands, and the key that carries over between them.
#pragma once

#include <array>
#include <cstdint>

#include "core/CommandTable.h"
#include "core/PassThroughRequest.h"

namespace tessaly {

using ReservationKey = scsi::ReservationKey;

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

}  // namespace tessaly
