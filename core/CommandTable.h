// What each persistent-reservation command is: one row of one table. The request builder, the
// reports, the dialog's dispatch and the command-line program all read the rows; a command that
// lacks part of its row does not compile.
#pragma once

#include <array>
#include <cstdint>

#include "core/PassThroughRequest.h"

namespace tessaly {

// Every command the programs send. The first five are the entries of the dialog's command list,
// in list order; the others serve the command-line program.
enum class Command : int {
    ReadKeys,
    ReadReservation,
    RegisterDevice,
    ReserveDevice,
    ClearReservation,
    ReportCapabilities,
    ReadFullStatus,
    RegisterAndIgnoreExistingKey,
    Release,
    Preempt,
    PreemptAndAbort,
    Count
};
inline constexpr int kCommandCount = static_cast<int>(Command::Count);
// The entries of the dialog's command list: Command values 0 to 4.
inline constexpr int kListCommandCount = 5;

inline constexpr std::uint8_t kPersistentReserveIn = 0x5E;
inline constexpr std::uint8_t kPersistentReserveOut = 0x5F;

// How the dialog fills the two keys of a PERSISTENT RESERVE OUT parameter list.
enum class KeyFill : std::uint8_t {
    None,                        // PERSISTENT RESERVE IN: no parameter list
    FixedKeyAsServiceActionKey,  // zeros, then the program's own key
    FixedKeyAsReservationKey,    // the program's own key, then zeros
    CurrentKeyInBoth,            // the key read last, in both fields
    Caller,                      // whatever the caller gives (the command-line program)
};

// The line a status block shows after a failed call.
enum class FailureLine : std::uint8_t { None, OperationFailed, ErrorNumber };

// The dialog's report of a command, in the order it is written: the status block (when there is
// a heading), the key capture and display, then the data log block with its banner, which sets
// the lengths caption where the row says so.
struct ReportRow {
    const char* statusHeading;  // nullptr: no status block
    FailureLine failureLine;
    bool capturesKey;
    bool showsKey;
    const char* banner;
    bool setsLengthsCaption;
};

struct CommandRow {
    Command command;
    const char* name;  // the service action's SPC name
    std::uint8_t operationCode;
    std::uint8_t serviceAction;
    std::uint8_t scopeAndType;  // command block byte 2 as the dialog sends it
    std::uint16_t length;       // allocation length (IN) or parameter list length (OUT)
    DataDirection direction;
    KeyFill keys;
    const char* listText;  // the dialog's command list entry; nullptr when not listed
    ReportRow report;      // empty for a command the dialog does not send
};

// Scope 0h (logical unit) with type 6h (Exclusive Access, Registrants Only): all three OUT
// commands of the dialog carry it, REGISTER and CLEAR too.
inline constexpr std::uint8_t kDialogScopeAndType = 0x06;
inline constexpr std::uint16_t kDialogLength = kParameterListSize;
inline constexpr ReportRow kNoReport{nullptr, FailureLine::None, false, false, nullptr, false};

inline constexpr std::array<CommandRow, kCommandCount> kCommands{{
    {Command::ReadKeys,
     "READ KEYS",
     kPersistentReserveIn,
     0x00,
     0x00,
     kDialogLength,
     DataDirection::In,
     KeyFill::None,
     "Read Persistent Reservation Key",
     {"READ PERSISTENT RESERVATION KEY:", FailureLine::OperationFailed, true, true,
      "            READ KEY PERSISTENT RESERVE IN:", false}},
    {Command::ReadReservation,
     "READ RESERVATION",
     kPersistentReserveIn,
     0x01,
     0x00,
     kDialogLength,
     DataDirection::In,
     KeyFill::None,
     "Read Reservation",
     {nullptr, FailureLine::None, true, true,
      "            READ RESERVATION (PERSISTENT RESERVE IN):", true}},
    {Command::RegisterDevice,
     "REGISTER",
     kPersistentReserveOut,
     0x00,
     kDialogScopeAndType,
     kDialogLength,
     DataDirection::Out,
     KeyFill::FixedKeyAsServiceActionKey,
     "Register Device",
     {"REGISTER DEVICE:", FailureLine::ErrorNumber, false, false,
      "            REGISTER RESERVATION (PERSISTENT RESERVE OUT):", true}},
    {Command::ReserveDevice,
     "RESERVE",
     kPersistentReserveOut,
     0x01,
     kDialogScopeAndType,
     kDialogLength,
     DataDirection::Out,
     KeyFill::FixedKeyAsReservationKey,
     "Reserve Device",
     {nullptr, FailureLine::None, false, false,
      "            RESERVE RESERVATION (PERSISTENT RESERVE OUT):", true}},
    {Command::ClearReservation,
     "CLEAR",
     kPersistentReserveOut,
     0x03,
     kDialogScopeAndType,
     kDialogLength,
     DataDirection::Out,
     KeyFill::CurrentKeyInBoth,
     "Clear Reservation",
     {"CLEAR RESERVATION:", FailureLine::ErrorNumber, false, false,
      "            CLEAR RESERVATION (PERSISTENT RESERVE OUT):", true}},
    {Command::ReportCapabilities, "REPORT CAPABILITIES", kPersistentReserveIn, 0x02, 0x00,
     kDialogLength, DataDirection::In, KeyFill::None, nullptr, kNoReport},
    {Command::ReadFullStatus, "READ FULL STATUS", kPersistentReserveIn, 0x03, 0x00, kDialogLength,
     DataDirection::In, KeyFill::None, nullptr, kNoReport},
    {Command::RegisterAndIgnoreExistingKey, "REGISTER AND IGNORE EXISTING KEY",
     kPersistentReserveOut, 0x06, 0x00, kParameterListSize, DataDirection::Out, KeyFill::Caller,
     nullptr, kNoReport},
    {Command::Release, "RELEASE", kPersistentReserveOut, 0x02, 0x00, kParameterListSize,
     DataDirection::Out, KeyFill::Caller, nullptr, kNoReport},
    {Command::Preempt, "PREEMPT", kPersistentReserveOut, 0x04, 0x00, kParameterListSize,
     DataDirection::Out, KeyFill::Caller, nullptr, kNoReport},
    {Command::PreemptAndAbort, "PREEMPT AND ABORT", kPersistentReserveOut, 0x05, 0x00,
     kParameterListSize, DataDirection::Out, KeyFill::Caller, nullptr, kNoReport},
}};

constexpr const CommandRow& RowOf(Command command) {
    return kCommands[static_cast<std::size_t>(command)];
}

// The checks that make a row complete.
constexpr bool RowIsComplete(const CommandRow& row, int index) {
    const bool in = row.direction == DataDirection::In;
    const bool listed = index < kListCommandCount;
    const ReportRow& r = row.report;
    return static_cast<int>(row.command) == index && row.name != nullptr &&
           row.operationCode == (in ? kPersistentReserveIn : kPersistentReserveOut) &&
           row.serviceAction <= 0x1F && row.length != 0 && (row.keys == KeyFill::None) == in &&
           (row.listText != nullptr) == listed && (r.banner != nullptr) == listed &&
           (r.statusHeading != nullptr) == (r.failureLine != FailureLine::None) &&
           (listed || r.statusHeading == nullptr) &&
           (listed || row.keys == KeyFill::Caller || in) &&
           (!listed || row.keys != KeyFill::Caller) && (!listed || row.length == kDialogLength);
}

constexpr bool AllRowsComplete() {
    for (int i = 0; i < kCommandCount; ++i) {
        if (!RowIsComplete(kCommands[static_cast<std::size_t>(i)], i)) {
            return false;
        }
    }
    return true;
}
static_assert(AllRowsComplete(), "every command needs a complete row, in the order of Command");

}  // namespace tessaly
