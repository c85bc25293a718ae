// SCSI status and sense data in words: "RESERVATION CONFLICT", "ILLEGAL REQUEST, INVALID FIELD
// IN CDB (24h/00h)".
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

namespace tessaly::scsi {

// GOOD, CHECK CONDITION, BUSY, RESERVATION CONFLICT, TASK SET FULL, ...; "status NNh" else.
std::string StatusName(std::uint8_t status);

struct Sense {
    std::uint8_t responseCode;  // 70h/71h fixed, 72h/73h descriptor format
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;

    std::uint16_t Code() const { return static_cast<std::uint16_t>(asc << 8 | ascq); }
};
// The sense key and additional sense code of fixed or descriptor format sense data; nothing when
// the bytes are neither.
std::optional<Sense> DecodeSense(std::span<const std::uint8_t> sense);
// "NOT READY", "ILLEGAL REQUEST", "UNIT ATTENTION", ...
const char* SenseKeyName(std::uint8_t key);
// "INVALID FIELD IN CDB" and the other texts of the codes a reservation command can meet;
// "additional sense 2Ah/7Fh" for another.
std::string AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq);
// "UNIT ATTENTION, RESERVATIONS PREEMPTED (2Ah/03h)"
std::string SenseText(const Sense& sense);

}  // namespace tessaly::scsi
