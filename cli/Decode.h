// Reading what a device answered: SCSI status and sense data, and the replies of the four
// PERSISTENT RESERVE IN service actions. A reply too short or inconsistent to trust is refused
// with the reason, never guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/Commands.h"

namespace tessaly::cli {

using Bytes = std::span<const std::uint8_t>;

inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;
inline constexpr std::uint8_t kStatusReservationConflict = 0x18;

// GOOD, CHECK CONDITION, BUSY, RESERVATION CONFLICT, TASK SET FULL, ...; "status 0xNN" else.
std::string StatusName(std::uint8_t status);

inline constexpr std::uint8_t kSenseNotReady = 0x2;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x5;
inline constexpr std::uint8_t kSenseUnitAttention = 0x6;

struct Sense {
    std::uint8_t responseCode;  // 70h/71h fixed, 72h/73h descriptor format
    std::uint8_t key;
    std::uint8_t asc;
    std::uint8_t ascq;
};
// The sense key and additional sense code of fixed or descriptor format sense data; nothing when
// the bytes are neither.
std::optional<Sense> DecodeSense(Bytes sense);
// "NOT READY", "ILLEGAL REQUEST", "UNIT ATTENTION", ...
const char* SenseKeyName(std::uint8_t key);
// "INVALID FIELD IN CDB" and the other texts of the codes a reservation command can meet;
// "additional sense 2Ah/7Fh" for another.
std::string AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq);
// "UNIT ATTENTION, RESERVATIONS PREEMPTED (2Ah/03h)"
std::string SenseText(const Sense& sense);

// A decoded reply, or why it cannot be decoded.
template <class T>
struct Decoded {
    std::optional<T> reply;
    std::string problem;
};

// Each decoder takes the data bytes the device transferred and the allocation length that was
// asked for: a list longer than the allocation length is cut by it, which is no fault.

struct KeysReply {
    std::uint32_t generation;
    std::vector<ReservationKey> keys;
    std::uint32_t notShown;  // keys the device has that did not fit
};
Decoded<KeysReply> DecodeReadKeys(Bytes data, std::uint32_t allocationLength);

struct ReservationReply {
    std::uint32_t generation;
    bool held;
    ReservationKey key;
    std::uint8_t scope;
    std::uint8_t type;
    std::uint32_t moreDescriptors;  // beyond the first, where a device reports several
};
Decoded<ReservationReply> DecodeReadReservation(Bytes data, std::uint32_t allocationLength);

struct Registration {
    ReservationKey key;
    bool allTargetPorts;
    bool holder;
    std::uint8_t scope;
    std::uint8_t type;
    std::uint16_t relativeTargetPort;
    std::vector<std::uint8_t> transportId;
};
struct FullStatusReply {
    std::uint32_t generation;
    std::vector<Registration> registrations;
    std::uint32_t bytesNotShown;  // of descriptors that did not fit
};
Decoded<FullStatusReply> DecodeReadFullStatus(Bytes data, std::uint32_t allocationLength);
// "iSCSI name iqn.2026-12.org.example:host" and the like; the bytes in hex for an unknown kind.
std::string TransportIdText(Bytes transportId);
// The iSCSI name of an iSCSI TransportID; nothing for another kind.
std::optional<std::string> IscsiName(Bytes transportId);

struct CapabilitiesReply {
    std::uint16_t length;
    bool compatibleReservationHandling;  // CRH
    bool specifyInitiatorPorts;          // SIP_C
    bool allTargetPorts;                 // ATP_C
    bool persistThroughPowerLoss;        // PTPL_C
    bool typeMaskValid;                  // TMV
    std::uint8_t allowCommands;
    bool persistThroughPowerLossActive;  // PTPL_A
    std::vector<std::uint8_t> types;     // the types of the mask, when it is valid
};
Decoded<CapabilitiesReply> DecodeReportCapabilities(Bytes data, std::uint32_t allocationLength);

std::uint32_t LoadBe32(const std::uint8_t* at);
std::uint16_t LoadBe16(const std::uint8_t* at);
// Bytes as "5E 00 00 ..."; empty for none.
std::string HexBytes(Bytes bytes);

}  // namespace tessaly::cli
