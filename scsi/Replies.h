// The replies of the four PERSISTENT RESERVE IN service actions, read into facts. A reply too short
// or inconsistent to trust is refused with the reason, never guessed at.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "scsi/PersistentReservation.h"

namespace tessaly::scsi {

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
Decoded<KeysReply> DecodeReadKeys(std::span<const std::uint8_t> data,
                                  std::uint32_t allocationLength);

struct ReservationReply {
    std::uint32_t generation;
    bool held;
    ReservationKey key;
    std::uint8_t scope;
    std::uint8_t type;
    std::uint32_t moreDescriptors;  // beyond the first, where a device reports several
};
Decoded<ReservationReply> DecodeReadReservation(std::span<const std::uint8_t> data,
                                                std::uint32_t allocationLength);

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
Decoded<FullStatusReply> DecodeReadFullStatus(std::span<const std::uint8_t> data,
                                              std::uint32_t allocationLength);
// "iSCSI name iqn.2026-12.org.example:host" and the like; the bytes in hex for an unknown kind.
std::string TransportIdText(std::span<const std::uint8_t> transportId);
// The iSCSI name of an iSCSI TransportID; nothing for another kind.
std::optional<std::string> IscsiName(std::span<const std::uint8_t> transportId);

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
Decoded<CapabilitiesReply> DecodeReportCapabilities(std::span<const std::uint8_t> data,
                                                    std::uint32_t allocationLength);

}  // namespace tessaly::scsi
