// The persistent-reservation commands of SPC-3 as far as SCSI goes: what each service action is,
// the command blocks and the parameter list that carry it, and the names of types and scopes.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "scsi/Codes.h"
#include "scsi/Target.h"

namespace tessaly::scsi {

using ReservationKey = std::array<std::uint8_t, 8>;

// Every service action the programs send.
enum class PrAction : std::uint8_t {
    ReadKeys,
    ReadReservation,
    ReportCapabilities,
    ReadFullStatus,
    Register,
    Reserve,
    Release,
    Clear,
    Preempt,
    PreemptAndAbort,
    RegisterAndIgnoreExistingKey,
    Count
};

struct PrActionRow {
    PrAction action;
    const char* name;  // the service action's SPC name
    std::uint8_t operationCode;
    std::uint8_t serviceAction;
    Direction direction;
};

inline constexpr std::array<PrActionRow, static_cast<std::size_t>(PrAction::Count)> kPrActions{{
    {PrAction::ReadKeys, "READ KEYS", kOpPersistentReserveIn, kReadKeys, Direction::In},
    {PrAction::ReadReservation, "READ RESERVATION", kOpPersistentReserveIn, kReadReservation,
     Direction::In},
    {PrAction::ReportCapabilities, "REPORT CAPABILITIES", kOpPersistentReserveIn,
     kReportCapabilities, Direction::In},
    {PrAction::ReadFullStatus, "READ FULL STATUS", kOpPersistentReserveIn, kReadFullStatus,
     Direction::In},
    {PrAction::Register, "REGISTER", kOpPersistentReserveOut, kRegister, Direction::Out},
    {PrAction::Reserve, "RESERVE", kOpPersistentReserveOut, kReserve, Direction::Out},
    {PrAction::Release, "RELEASE", kOpPersistentReserveOut, kRelease, Direction::Out},
    {PrAction::Clear, "CLEAR", kOpPersistentReserveOut, kClear, Direction::Out},
    {PrAction::Preempt, "PREEMPT", kOpPersistentReserveOut, kPreempt, Direction::Out},
    {PrAction::PreemptAndAbort, "PREEMPT AND ABORT", kOpPersistentReserveOut, kPreemptAndAbort,
     Direction::Out},
    {PrAction::RegisterAndIgnoreExistingKey, "REGISTER AND IGNORE EXISTING KEY",
     kOpPersistentReserveOut, kRegisterAndIgnoreExistingKey, Direction::Out},
}};

constexpr const PrActionRow& ActionRow(PrAction action) {
    return kPrActions[static_cast<std::size_t>(action)];
}

constexpr bool ActionRowsInOrder() {
    for (std::size_t i = 0; i < kPrActions.size(); ++i) {
        if (static_cast<std::size_t>(kPrActions[i].action) != i) {
            return false;
        }
    }
    return true;
}
static_assert(ActionRowsInOrder(), "one row for every action, in the order of PrAction");

using Cdb10 = std::array<std::uint8_t, 10>;
using ParameterList = std::array<std::uint8_t, kParameterListLength>;

// PERSISTENT RESERVE IN: operation code, service action, reserved bytes, the allocation length in
// bytes 7 and 8.
constexpr Cdb10 PersistentReserveInCdb(std::uint8_t serviceAction, std::uint16_t allocationLength) {
    return {kOpPersistentReserveIn,
            serviceAction,
            0,
            0,
            0,
            0,
            0,
            static_cast<std::uint8_t>(allocationLength >> 8),
            static_cast<std::uint8_t>(allocationLength),
            0};
}

// PERSISTENT RESERVE OUT: operation code, service action, scope and type, the parameter list
// length in bytes 5 to 8.
constexpr Cdb10 PersistentReserveOutCdb(std::uint8_t serviceAction, std::uint8_t scopeAndType,
                                        std::uint32_t parameterListLength = kParameterListLength) {
    return {kOpPersistentReserveOut,
            serviceAction,
            scopeAndType,
            0,
            0,
            static_cast<std::uint8_t>(parameterListLength >> 24),
            static_cast<std::uint8_t>(parameterListLength >> 16),
            static_cast<std::uint8_t>(parameterListLength >> 8),
            static_cast<std::uint8_t>(parameterListLength),
            0};
}

// The basic parameter list: RESERVATION KEY, SERVICE ACTION RESERVATION KEY, the obsolete scope
// address, then SPEC_I_PT, ALL_TG_PT and APTPL in byte 20 (`flags`).
constexpr ParameterList MakeParameterList(const ReservationKey& reservationKey,
                                          const ReservationKey& serviceActionKey,
                                          std::uint8_t flags = 0) {
    ParameterList list{};
    for (std::size_t i = 0; i < 8; ++i) {
        list[i] = reservationKey[i];
        list[8 + i] = serviceActionKey[i];
    }
    list[20] = flags;
    return list;
}

// What a request of one action carries beyond its row.
struct PrFields {
    ReservationKey reservationKey{};     // PERSISTENT RESERVE OUT
    ReservationKey serviceActionKey{};   // PERSISTENT RESERVE OUT
    std::uint8_t scopeAndType = 0;       // PERSISTENT RESERVE OUT, byte 2
    std::uint16_t allocationLength = 0;  // PERSISTENT RESERVE IN
};

// The whole request of one action: its command block and its parameter list or data-in length.
Request MakeRequest(PrAction action, const PrFields& fields, std::uint32_t timeoutSeconds);

// "Write Exclusive", ..., "Exclusive Access - All Registrants"; nullptr for another value.
const char* TypeName(std::uint8_t type);
// "logical unit" for scope 0; nullptr for another value.
const char* ScopeName(std::uint8_t scope);

}  // namespace tessaly::scsi
