// The numbers of SCSI that the programs and the disk model share: status bytes, sense keys, the
// additional sense codes of persistent reservations, operation codes, service actions and
// reservation types. Freestanding, like Bytes.h.
#pragma once

#include <cstdint>

namespace tessaly::scsi {

// Status bytes (SAM).
inline constexpr std::uint8_t kStatusGood = 0x00;
inline constexpr std::uint8_t kStatusCheckCondition = 0x02;
inline constexpr std::uint8_t kStatusBusy = 0x08;
inline constexpr std::uint8_t kStatusReservationConflict = 0x18;
inline constexpr std::uint8_t kStatusTaskSetFull = 0x28;

// Sense keys.
inline constexpr std::uint8_t kSenseNoSense = 0x0;
inline constexpr std::uint8_t kSenseNotReady = 0x2;
inline constexpr std::uint8_t kSenseIllegalRequest = 0x5;
inline constexpr std::uint8_t kSenseUnitAttention = 0x6;

// Additional sense codes with their qualifiers, as ASC << 8 | ASCQ.
inline constexpr std::uint16_t kAscParameterListLengthError = 0x1A00;
inline constexpr std::uint16_t kAscInvalidCommandOperationCode = 0x2000;
inline constexpr std::uint16_t kAscLbaOutOfRange = 0x2100;
inline constexpr std::uint16_t kAscInvalidFieldInCdb = 0x2400;
inline constexpr std::uint16_t kAscLogicalUnitNotSupported = 0x2500;
inline constexpr std::uint16_t kAscInvalidFieldInParameterList = 0x2600;
inline constexpr std::uint16_t kAscInvalidReleaseOfPersistentReservation = 0x2604;
inline constexpr std::uint16_t kAscReservationsPreempted = 0x2A03;
inline constexpr std::uint16_t kAscReservationsReleased = 0x2A04;
inline constexpr std::uint16_t kAscRegistrationsPreempted = 0x2A05;

// Operation codes.
inline constexpr std::uint8_t kOpTestUnitReady = 0x00;
inline constexpr std::uint8_t kOpInquiry = 0x12;
inline constexpr std::uint8_t kOpReadCapacity10 = 0x25;
inline constexpr std::uint8_t kOpRead10 = 0x28;
inline constexpr std::uint8_t kOpWrite10 = 0x2A;
inline constexpr std::uint8_t kOpPersistentReserveIn = 0x5E;
inline constexpr std::uint8_t kOpPersistentReserveOut = 0x5F;
inline constexpr std::uint8_t kOpRead16 = 0x88;
inline constexpr std::uint8_t kOpReportLuns = 0xA0;

// PERSISTENT RESERVE IN service actions.
inline constexpr std::uint8_t kReadKeys = 0x00;
inline constexpr std::uint8_t kReadReservation = 0x01;
inline constexpr std::uint8_t kReportCapabilities = 0x02;
inline constexpr std::uint8_t kReadFullStatus = 0x03;

// PERSISTENT RESERVE OUT service actions.
inline constexpr std::uint8_t kRegister = 0x00;
inline constexpr std::uint8_t kReserve = 0x01;
inline constexpr std::uint8_t kRelease = 0x02;
inline constexpr std::uint8_t kClear = 0x03;
inline constexpr std::uint8_t kPreempt = 0x04;
inline constexpr std::uint8_t kPreemptAndAbort = 0x05;
inline constexpr std::uint8_t kRegisterAndIgnoreExistingKey = 0x06;

// Persistent reservation types.
inline constexpr std::uint8_t kTypeWriteExclusive = 0x1;
inline constexpr std::uint8_t kTypeExclusiveAccess = 0x3;
inline constexpr std::uint8_t kTypeWriteExclusiveRegistrantsOnly = 0x5;
inline constexpr std::uint8_t kTypeExclusiveAccessRegistrantsOnly = 0x6;
inline constexpr std::uint8_t kTypeWriteExclusiveAllRegistrants = 0x7;
inline constexpr std::uint8_t kTypeExclusiveAccessAllRegistrants = 0x8;

// Every registrant holds a reservation of these types.
constexpr bool EveryRegistrantHolds(std::uint8_t type) {
    return type == kTypeWriteExclusiveAllRegistrants || type == kTypeExclusiveAccessAllRegistrants;
}

// The parameter list of PERSISTENT RESERVE OUT: 24 bytes, the reservation key, the service action
// reservation key, then the flags in byte 20.
inline constexpr std::uint32_t kParameterListLength = 24;

}  // namespace tessaly::scsi
