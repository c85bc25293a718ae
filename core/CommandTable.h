// What each command of the dialog is: one row of one table, over the SCSI service action it
// sends. The request builder, the reports and the dialog's dispatch read the rows; a command that
// lacks part of its row does not compile.
#pragma once

#include <array>
#include <cstdint>

#include "core/PassThroughRequest.h"
#include "scsi/PersistentReservation.h"

namespace tessaly {

// The dialog's commands, in the order of its command list.
enum class Command : int {
    ReadKeys,
    ReadReservation,
    RegisterDevice,
    ReserveDevice,
    ClearReservation,
    Count
};
inline constexpr int kCommandCount = static_cast<int>(Command::Count);
// The entries of the dialog's command list: every command, in Command order.
inline constexpr int kListCommandCount = kCommandCount;

// How the dialog fills the two keys of a PERSISTENT RESERVE OUT parameter list.
enum class KeyFill : std::uint8_t {
    None,                        // PERSISTENT RESERVE IN: no parameter list
    FixedKeyAsServiceActionKey,  // zeros, then the program's own key
    FixedKeyAsReservationKey,    // the program's own key, then zeros
    CurrentKeyInBoth,            // the key read last, in both fields
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
    scsi::PrAction action;      // the service action it sends
    std::uint8_t scopeAndType;  // command block byte 2 as the dialog sends it
    std::uint16_t length;       // allocation length (IN) or parameter list length (OUT)
    KeyFill keys;
    const char* listText;  // the dialog's command list entry
    ReportRow report;

    constexpr const scsi::PrActionRow& Scsi() const { return scsi::ActionRow(action); }
    constexpr const char* Name() const { return Scsi().name; }
    constexpr bool In() const { return Scsi().direction == scsi::Direction::In; }
};

// Scope 0h (logical unit) with type 6h (Exclusive Access, Registrants Only): all three OUT
// commands of the dialog carry it, REGISTER and CLEAR too.
inline constexpr std::uint8_t kDialogScopeAndType = 0x06;
inline constexpr std::uint16_t kDialogLength = kParameterListSize;

inline constexpr std::array<CommandRow, kCommandCount> kCommands{{
    {Command::ReadKeys,
     scsi::PrAction::ReadKeys,
     0x00,
     kDialogLength,
     KeyFill::None,
     "Read Persistent Reservation Key",
     {"READ PERSISTENT RESERVATION KEY:", FailureLine::OperationFailed, true, true,
      "            READ KEY PERSISTENT RESERVE IN:", false}},
    {Command::ReadReservation,
     scsi::PrAction::ReadReservation,
     0x00,
     kDialogLength,
     KeyFill::None,
     "Read Reservation",
     {nullptr, FailureLine::None, true, true,
      "            READ RESERVATION (PERSISTENT RESERVE IN):", true}},
    {Command::RegisterDevice,
     scsi::PrAction::Register,
     kDialogScopeAndType,
     kDialogLength,
     KeyFill::FixedKeyAsServiceActionKey,
     "Register Device",
     {"REGISTER DEVICE:", FailureLine::ErrorNumber, false, false,
      "            REGISTER RESERVATION (PERSISTENT RESERVE OUT):", true}},
    {Command::ReserveDevice,
     scsi::PrAction::Reserve,
     kDialogScopeAndType,
     kDialogLength,
     KeyFill::FixedKeyAsReservationKey,
     "Reserve Device",
     {nullptr, FailureLine::None, false, false,
      "            RESERVE RESERVATION (PERSISTENT RESERVE OUT):", true}},
    {Command::ClearReservation,
     scsi::PrAction::Clear,
     kDialogScopeAndType,
     kDialogLength,
     KeyFill::CurrentKeyInBoth,
     "Clear Reservation",
     {"CLEAR RESERVATION:", FailureLine::ErrorNumber, false, false,
      "            CLEAR RESERVATION (PERSISTENT RESERVE OUT):", true}},
}};

constexpr const CommandRow& RowOf(Command command) {
    return kCommands[static_cast<std::size_t>(command)];
}

// The checks that make a row complete.
constexpr bool RowIsComplete(const CommandRow& row, int index) {
    const ReportRow& r = row.report;
    return static_cast<int>(row.command) == index && row.Name() != nullptr &&
           row.length == kDialogLength && (row.keys == KeyFill::None) == row.In() &&
           row.listText != nullptr && r.banner != nullptr &&
           (r.statusHeading != nullptr) == (r.failureLine != FailureLine::None);
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
