// Plays the same persistent-reservation command sequences against a real SCSI target (tgt, over
// iSCSI through libiscsi) and against the disk model, and compares status, sense and data byte
// for byte. Paths A and B reach the model through the driver's control call with 616-byte
// requests built by the program's own code; F reaches it at its SCSI layer.
//
// Each sequence runs on a logical unit of its own (sequence i on LUN i+1 of the target and on
// device i of the model), so every one starts from a device nobody has touched: no
// registrations, no reservation, generation 0. Three I_T nexuses take part: A and B are two
// iSCSI sessions standing for paths 0 and 1 of this host, F a third one standing for another
// host's initiator.
//
// Unit attentions: tgt reports some (power on after login, RESERVATIONS PREEMPTED after a CLEAR,
// RESERVATIONS RELEASED ...). In most sequences the model's device reports none, and a command
// that comes back from tgt with CHECK CONDITION / UNIT ATTENTION, which has not run, is sent again
// (a bounded number of times) until tgt runs it: only the real outcome is compared. The sequences
// marked for unit attentions switch them on in the model and compare those of the reservations
// (ASC 2Ah) step by step; only tgt's power-on ones are passed over.
//
// Where tgt departs from SPC-3 the step says so, with the clause that decides it: the model must
// give the SPC-3 outcome, tgt the outcome written down for it (so a change in tgt shows up), and
// a generation that tgt counted differently is taken into account in later comparisons.
//
//   sim_conformance_player --count            prints the number of logical units needed
//   sim_conformance_player PORTAL TARGET      runs every sequence; exit 0 when all agree
#include <iscsi/iscsi.h>
#include <iscsi/scsi-lowlevel.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "core/PassThroughRequest.h"
#include "scsi/Codes.h"
#include "scsi/Hex.h"
#include "sim/model/DiskModel.h"

namespace {

using vlksim::DiskModel;
using Key = std::array<std::uint8_t, 8>;

constexpr Key kNone{};
// The program's own registration key, "TESSALY1".
constexpr Key kProgram{0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kKeyA{0, 0, 0, 0, 0, 0, 0xAA, 0x01};
constexpr Key kKeyB{0, 0, 0, 0, 0, 0, 0xBB, 0x02};
constexpr Key kKeyF{0xF0, 0, 0, 0, 0, 0, 0, 0x03};

enum Who { A = 0, B = 1, F = 2 };
constexpr int kNexusCount = 3;
const char* const kWhoName[kNexusCount] = {"A", "B", "F"};

constexpr std::uint8_t kGood = tessaly::scsi::kStatusGood;
constexpr std::uint8_t kCheck = tessaly::scsi::kStatusCheckCondition;
constexpr std::uint8_t kConflict = tessaly::scsi::kStatusReservationConflict;

// A documented difference between tgt and SPC-3.
struct Departure {
    const char* note;
    std::uint8_t modelStatus;
    std::uint16_t modelSense;  // ASC << 8 | ASCQ, on CHECK CONDITION
    std::uint8_t tgtStatus;
    std::uint16_t tgtSense;
    std::uint32_t tgtExtraGeneration;  // how much further tgt's generation has gone
    // A service action tgt does not have: tgt is then sent the step with this one instead, and
    // that answer must be the model's (which is not compared with a fixed one).
    int tgtStandIn = -1;
};

const Departure kRegisterNothing{
    "REGISTER with two zero keys from an unregistered nexus: SPC-3 5.6 (Registering, the table "
    "of REGISTER behaviours) says do nothing except return GOOD, so no generation changes "
    "(6.11.2, PRGENERATION); tgt counts it as a registration",
    kGood,
    0,
    kGood,
    0,
    1};
const Departure kUnregisterHolder{
    "Unregistering the reservation holder: SPC-3 6.11.2 (PRGENERATION) moves the generation once "
    "per PERSISTENT RESERVE OUT command that completes, the release that goes with the "
    "unregistration (5.6, Unregistering) included; tgt counts the release a second time",
    kGood,
    0,
    kGood,
    0,
    1};
const Departure kReserveWrongKey{
    "RESERVE with a RESERVATION KEY that is not the nexus's registered key: SPC-3 6.12.3 (the "
    "RESERVATION KEY field, verified whatever the service action) gives RESERVATION CONFLICT; "
    "tgt never looks at the key and reserves",
    kConflict,
    0,
    kGood,
    0,
    0};
const Departure kReleaseWrongKey{
    "RELEASE from a registered nexus with a key that is not its own: SPC-3 6.12.3 (the "
    "RESERVATION KEY field, verified whatever the service action) gives RESERVATION CONFLICT; "
    "tgt returns GOOD when the nexus does not hold the reservation, without checking the key",
    kConflict,
    0,
    kGood,
    0,
    0};
const Departure kParameterListLength{
    "PERSISTENT RESERVE OUT with a parameter list length other than 24: SPC-3 6.12.3 gives "
    "PARAMETER LIST LENGTH ERROR (1Ah/00h); tgt gives INVALID FIELD IN CDB",
    kCheck,
    0x1A00,
    kCheck,
    0x2400,
    0};
const Departure kAptpl{
    "REGISTER with APTPL set on a device that does not persist through power loss: SPC-3 6.12.3 "
    "(the APTPL bit) gives INVALID FIELD IN PARAMETER LIST (26h/00h); tgt gives INVALID FIELD "
    "IN CDB",
    kCheck,
    0x2600,
    kCheck,
    0x2400,
    0};
const Departure kShortAllocation{
    "PERSISTENT RESERVE IN with an allocation length below 8: SPC-3 4.3.4 (ALLOCATION LENGTH "
    "field) makes it no error, the data is cut at that length; tgt refuses it with INVALID "
    "FIELD IN CDB",
    kGood,
    0,
    kCheck,
    0x2400,
    0};
const Departure kShortTransfer{
    "PERSISTENT RESERVE IN whose data-in transfer is shorter than its allocation length: the "
    "device returns what the transfer holds (SPC-3 4.3.4, ALLOCATION LENGTH field: the rest is "
    "a residual of the transport); tgt refuses the command with INVALID FIELD IN CDB",
    kGood,
    0,
    kCheck,
    0x2400,
    0};

const Departure kReleaseScope{
    "RELEASE with a reserved scope or type value and no reservation to release: SPC-3 6.12.3 "
    "(table of service actions and the fields they use) has RELEASE use SCOPE and TYPE, and a "
    "reserved value there is INVALID FIELD IN CDB; tgt looks at them only to compare them with "
    "a reservation it has",
    kCheck,
    0x2400,
    kGood,
    0,
    0};

const Departure kPreemptAndAbort{
    "PREEMPT AND ABORT: SPC-3 5.6.10.5 makes it PREEMPT and the aborting of the preempted "
    "nexuses' tasks (with no task set in the model, PREEMPT alone); tgt does not have the "
    "service action and answers INVALID FIELD IN CDB. tgt is sent PREEMPT instead, and its "
    "answer to that must be the model's",
    kGood,
    0,
    kCheck,
    0x2400,
    0,
    0x04};
const Departure kPreemptZeroKeyUnreserved{
    "PREEMPT with a zero SERVICE ACTION RESERVATION KEY and no reservation: SPC-3 5.6.10.4.1 (the "
    "table of preempting actions) allows a zero key only under an all-registrants reservation, "
    "else ILLEGAL REQUEST, INVALID FIELD IN PARAMETER LIST (26h/00h); tgt removes nothing, "
    "answers GOOD and counts a generation",
    kCheck,
    0x2600,
    kGood,
    0,
    1};
const Departure kPreemptZeroKeyReserved{
    "PREEMPT with a zero SERVICE ACTION RESERVATION KEY under a reservation that is not an "
    "all-registrants one: SPC-3 5.6.10.4.1 (the table of preempting actions) gives INVALID FIELD "
    "IN PARAMETER LIST (26h/00h); tgt gives INVALID FIELD IN CDB",
    kCheck,
    0x2600,
    kCheck,
    0x2400,
    0};
const Departure kPreemptOwnKey{
    "PREEMPT of the preempting nexus's own key when it does not hold the reservation: SPC-3 "
    "5.6.10.4.4 (Removing registrations) removes the registrations of every nexus under that "
    "key, the preempting nexus's own included (only the unit attention is not raised for it); "
    "tgt answers GOOD too but keeps the preempting nexus registered. tgt then unregisters that "
    "nexus, a generation more",
    kGood,
    0,
    kGood,
    0,
    1};
const Departure kPreemptReservedType{
    "PREEMPT of the holder's key with a reserved TYPE value: SPC-3 6.12.3 (TYPE, used by PREEMPT "
    "when it takes a reservation) makes it INVALID FIELD IN CDB; tgt takes the reservation with "
    "that type",
    kCheck,
    0x2400,
    kGood,
    0,
    0};
const Departure kRegistrationsPreempted{
    "The unit attention of a nexus whose registration PREEMPT removed: SPC-3 5.6.10.4.3 e) and "
    "5.6.10.4.4 d) give REGISTRATIONS PREEMPTED (2Ah/05h); tgt gives RESERVATIONS PREEMPTED "
    "(2Ah/03h)",
    kCheck,
    0x2A05,
    kCheck,
    0x2A03,
    0};
const Departure kReleaseAnnounced{
    "RELEASE of a registrants-only or all-registrants reservation: SPC-3 5.6.10.2 (Releasing) "
    "raises RESERVATIONS RELEASED (2Ah/04h) for every other registered nexus; tgt raises none "
    "for these types",
    kCheck,
    0x2A04,
    kGood,
    0,
    0};
const Departure kReleaseNotAnnounced{
    "RELEASE of a Write Exclusive or Exclusive Access reservation: SPC-3 5.6.10.2 (Releasing) "
    "raises no unit attention for these types; tgt raises RESERVATIONS RELEASED (2Ah/04h), for "
    "every nexus of the target but the other registrants (the releasing one and unregistered "
    "ones included)",
    kGood,
    0,
    kCheck,
    0x2A04,
    0};
const Departure kUnregisterAnnounced{
    "The holder of a registrants-only reservation unregisters: SPC-3 5.6.10.3 (Unregistering) "
    "raises RESERVATIONS RELEASED (2Ah/04h) for every other registered nexus; tgt raises it for "
    "every nexus but those",
    kCheck,
    0x2A04,
    kGood,
    0,
    0};
const Departure kUnregisterMisannounced{
    "The holder of a registrants-only reservation unregisters (continued): the nexus that "
    "unregistered gets no unit attention under SPC-3 5.6.10.3; tgt gives it RESERVATIONS "
    "RELEASED",
    kGood,
    0,
    kCheck,
    0x2A04,
    0};
const Departure kFullStatus{
    "READ FULL STATUS: SPC-3 6.11.5 describes it; tgt does not have the service action and "
    "answers INVALID FIELD IN CDB. The model's reply is checked byte for byte in its own tests",
    kGood,
    0,
    kCheck,
    0x2400,
    0};

struct Step {
    Who who;
    std::vector<std::uint8_t> cdb;
    int direction;  // SCSI_XFER_NONE, SCSI_XFER_READ or SCSI_XFER_WRITE
    std::uint32_t transfer;
    std::vector<std::uint8_t> dataOut;
    const Departure* departure = nullptr;
    bool compareData = true;         // false: status and sense only (INQUIRY, REPORT LUNS)
    std::vector<Step> tgtCatchUp{};  // played on tgt alone after the step, each must be GOOD

    Step& Departs(const Departure& d) {
        departure = &d;
        return *this;
    }
    Step& StatusOnly() {
        compareData = false;
        return *this;
    }
    Step& ThenOnTgt(Step step) {
        tgtCatchUp.push_back(std::move(step));
        return *this;
    }
};

struct Sequence {
    const char* name;
    std::vector<Step> steps;
    bool unitAttentions = false;  // the model's device reports them, and they are compared
};

// The program's PERSISTENT RESERVE IN: 5E sa 00 00 00 00 00 00 18 00, 60-byte data-in.
Step In(Who who, std::uint8_t action, std::uint16_t allocation = 24, std::uint32_t transfer = 60) {
    return {who,
            {0x5E, action, 0, 0, 0, 0, 0, static_cast<std::uint8_t>(allocation >> 8),
             static_cast<std::uint8_t>(allocation), 0},
            SCSI_XFER_READ,
            transfer,
            {}};
}
Step ReadKeys(Who who) {
    return In(who, 0x00);
}
Step ReadReservation(Who who) {
    return In(who, 0x01);
}

// The program's PERSISTENT RESERVE OUT: 5F sa 06 00 00 00 00 00 18 00, a 60-byte data-out of
// the 24-byte parameter list and 36 zeros.
Step Out(Who who, std::uint8_t action, std::uint8_t scopeType, const Key& key,
         const Key& serviceKey, std::uint8_t flags = 0, std::uint32_t listLength = 24) {
    Step step{
        who,
        {0x5F, action, scopeType, 0, 0, static_cast<std::uint8_t>(listLength >> 24),
         static_cast<std::uint8_t>(listLength >> 16), static_cast<std::uint8_t>(listLength >> 8),
         static_cast<std::uint8_t>(listLength), 0},
        SCSI_XFER_WRITE,
        60,
        std::vector<std::uint8_t>(60, 0)};
    std::memcpy(step.dataOut.data(), key.data(), 8);
    std::memcpy(step.dataOut.data() + 8, serviceKey.data(), 8);
    step.dataOut[20] = flags;
    return step;
}
Step Register(Who who, const Key& key, const Key& newKey) {
    return Out(who, 0x00, 0x06, key, newKey);
}
Step RegisterIgnoring(Who who, const Key& newKey) {
    return Out(who, 0x06, 0x06, kNone, newKey);
}
Step Reserve(Who who, const Key& key, std::uint8_t type = 0x06) {
    return Out(who, 0x01, type, key, kNone);
}
Step Release(Who who, const Key& key, std::uint8_t type = 0x06) {
    return Out(who, 0x02, type, key, kNone);
}
// The program's CLEAR sends the same key in both fields.
Step Clear(Who who, const Key& key) {
    return Out(who, 0x03, 0x06, key, key);
}

Step Medium(Who who, bool write) {
    // One block at LBA 8; the write sends zeros, so the medium stays as it was.
    Step step{who,
              {static_cast<std::uint8_t>(write ? 0x2A : 0x28), 0, 0, 0, 0, 8, 0, 0, 1, 0},
              write ? SCSI_XFER_WRITE : SCSI_XFER_READ,
              512,
              {}};
    if (write) {
        step.dataOut.assign(512, 0);
    }
    return step;
}
Step Read(Who who) {
    return Medium(who, false);
}
Step Write(Who who) {
    return Medium(who, true);
}
Step TestUnitReady(Who who) {
    return {who, {0, 0, 0, 0, 0, 0}, SCSI_XFER_NONE, 0, {}};
}
// The two commands a unit attention never holds back; their data differs between the two.
Step Inquiry(Who who) {
    return Step{who, {0x12, 0, 0, 0, 36, 0}, SCSI_XFER_READ, 36, {}}.StatusOnly();
}
Step ReportLuns(Who who) {
    return Step{who, {0xA0, 0, 0, 0, 0, 0, 0, 0, 0, 16, 0, 0}, SCSI_XFER_READ, 16, {}}.StatusOnly();
}
Step Preempt(Who who, const Key& key, const Key& victim, std::uint8_t type = 0x06) {
    return Out(who, 0x04, type, key, victim);
}
Step PreemptAndAbort(Who who, const Key& key, const Key& victim, std::uint8_t type = 0x06) {
    return Out(who, 0x05, type, key, victim).Departs(kPreemptAndAbort);
}
Step ReportCapabilities(Who who, std::uint16_t allocation = 24, std::uint32_t transfer = 60) {
    return In(who, 0x02, allocation, transfer);
}

std::vector<Sequence> ReservationSequences() {
    return {
        {"empty device: keys and reservation", {ReadKeys(A), ReadReservation(B)}},
        {"register from an unregistered nexus", {Register(A, kNone, kKeyA), ReadKeys(B)}},
        {"register with a non-zero key when unregistered",
         {Register(A, kKeyB, kKeyA), ReadKeys(A), Register(A, kKeyA, kKeyA), ReadKeys(A)}},
        {"register with two zero keys when unregistered",
         {Register(A, kNone, kNone).Departs(kRegisterNothing), ReadKeys(A),
          Register(B, kNone, kKeyB), ReadKeys(A)}},
        {"change a registered key",
         {Register(A, kNone, kKeyA), Register(A, kKeyA, kKeyB), ReadKeys(B)}},
        {"registered nexus with a wrong key",
         {Register(A, kNone, kKeyA), Register(A, kKeyB, kKeyF), Register(A, kNone, kKeyF),
          ReadKeys(A)}},
        {"unregister a registrant that holds nothing",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA),
          Register(B, kKeyB, kNone), ReadKeys(A), ReadReservation(A)}},
        {"unregister the holder of a registrants-only reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x05),
          Register(A, kKeyA, kNone).Departs(kUnregisterHolder), ReadReservation(B), ReadKeys(B)}},
        {"unregister the holder of an exclusive-access reservation",
         {Register(F, kNone, kKeyF), Reserve(F, kKeyF, 0x03),
          Register(F, kKeyF, kNone).Departs(kUnregisterHolder), ReadReservation(A)}},
        {"all-registrants reservation outlives the nexus that made it",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x08),
          ReadReservation(B), Register(A, kKeyA, kNone), ReadReservation(B),
          Register(B, kKeyB, kNone).Departs(kUnregisterHolder), ReadReservation(A)}},
        {"every registrant holds an all-registrants reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x07),
          Reserve(B, kKeyB, 0x07), Reserve(B, kKeyB, 0x08), ReadReservation(F)}},
        {"reserve from an unregistered nexus",
         {Reserve(A, kNone), Reserve(A, kKeyA), ReadReservation(A)}},
        {"reserve with a key that is not the nexus's own",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyB).Departs(kReserveWrongKey)}},
        {"reserve twice by the holder, same type",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA), Reserve(A, kKeyA), ReadReservation(A),
          ReadKeys(A)}},
        {"holder asks for another type",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA, 0x06), Reserve(A, kKeyA, 0x03),
          Reserve(A, kKeyA, 0x05), ReadReservation(B)}},
        {"a registrant of a registrants-only reservation is not its holder",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x06),
          Reserve(B, kKeyB, 0x06), ReadReservation(B)}},
        {"another nexus's reservation of another type",
         {Register(A, kNone, kKeyA), Register(F, kNone, kKeyF), Reserve(F, kKeyF, 0x01),
          Reserve(A, kKeyA, 0x03), ReadReservation(A)}},
        {"the program: register A, reserve, B reads keys and clears with the holder's key",
         {Register(A, kNone, kProgram), Reserve(A, kProgram), Register(B, kNone, kKeyB),
          ReadKeys(B), Clear(B, kProgram), ReadReservation(B), Clear(B, kKeyB), ReadKeys(A),
          ReadReservation(A)}},
        {"the program's clear before any read sends zero keys",
         {Register(A, kNone, kProgram), Clear(A, kNone), Clear(B, kNone), ReadKeys(A)}},
        {"clear removes the registrations of every host",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(F, kKeyF, 0x06), Clear(B, kKeyB), ReadKeys(F), ReadReservation(F),
          Register(F, kKeyF, kKeyA), Register(F, kNone, kKeyA), ReadKeys(B)}},
        {"the program's register, reserve, read and clear on one path",
         {Register(A, kNone, kProgram), Register(A, kNone, kProgram), Reserve(A, kProgram),
          ReadReservation(A), ReadKeys(A), Clear(A, kProgram), ReadKeys(A), ReadReservation(A)}},
        {"release by the holder",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA, 0x03), Release(A, kKeyA, 0x03),
          ReadReservation(A), ReadKeys(A)}},
        {"release by a nexus that does not hold it",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x06),
          Release(B, kKeyB, 0x06), ReadReservation(B)}},
        {"release naming another type",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA, 0x06), Release(A, kKeyA, 0x05),
          ReadReservation(A)}},
        {"release from an unregistered nexus, with nothing reserved",
         {Release(A, kNone), Release(A, kKeyA), ReadReservation(A)}},
        {"release with a wrong key by a nexus that does not hold it",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA),
          Release(B, kKeyA).Departs(kReleaseWrongKey), ReadReservation(A)}},
        {"release of an all-registrants reservation by any registrant",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x08),
          Release(B, kKeyB, 0x08), ReadReservation(A)}},
        {"register and ignore existing key",
         {RegisterIgnoring(A, kKeyA), RegisterIgnoring(A, kKeyB), ReadKeys(A),
          RegisterIgnoring(A, kNone), ReadKeys(A)}},
        {"read keys cut by the allocation length",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          ReadKeys(B), In(F, 0x00, 16), In(F, 0x00, 512, 512)}},
        {"key order is the order of registration",
         {Register(F, kNone, kKeyF), Register(B, kNone, kKeyB), Register(A, kNone, kKeyA),
          Register(F, kKeyF, kProgram), In(A, 0x00, 40), Register(B, kKeyB, kNone),
          In(A, 0x00, 40)}},
        {"allocation length below the header",
         {Register(A, kNone, kKeyA), In(A, 0x00, 4).Departs(kShortAllocation),
          In(A, 0x01, 0).Departs(kShortAllocation)}},
        {"data-in transfer shorter than the allocation length",
         {Register(A, kNone, kKeyA), In(A, 0x00, 24, 12).Departs(kShortTransfer)}},
        {"parameter list lengths other than 24",
         {Out(A, 0x00, 0x06, kNone, kKeyA, 0, 16).Departs(kParameterListLength),
          Out(A, 0x00, 0x06, kNone, kKeyA, 0, 32).Departs(kParameterListLength), ReadKeys(A)}},
        {"APTPL on REGISTER",
         {Out(A, 0x00, 0x06, kNone, kKeyA, 0x01).Departs(kAptpl), ReadKeys(A)}},
        {"unknown service actions",
         {Out(A, 0x08, 0x06, kNone, kKeyA), Out(A, 0x1F, 0x06, kNone, kKeyA), In(A, 0x04),
          In(A, 0x1F), ReadKeys(A)}},
        {"bad scope or type in RESERVE and RELEASE",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA, 0x16), Reserve(A, kKeyA, 0x00),
          Reserve(A, kKeyA, 0x02), Reserve(A, kKeyA, 0x04), Reserve(A, kKeyA, 0x09),
          Release(A, kKeyA, 0x26).Departs(kReleaseScope), ReadReservation(A)}},
        {"scope and type are ignored by REGISTER and CLEAR",
         {Out(A, 0x00, 0xFF, kNone, kKeyA), Out(A, 0x03, 0x9F, kKeyA, kNone), ReadKeys(A)}},
        {"medium access under exclusive access, registrants only",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x06), Read(A),
          Write(A), Read(B), Write(B), Read(F), Write(F), TestUnitReady(F), ReadKeys(F),
          Register(F, kNone, kNone).Departs(kRegisterNothing), Read(F)}},
        {"medium access under write exclusive",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x01), Read(B),
          Write(B), Read(F), Write(F), Write(A)}},
        {"medium access under exclusive access",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x03), Read(B),
          Write(B), Read(F), Read(A)}},
        {"medium access under write exclusive, all registrants",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB, 0x07), Read(F),
          Write(F), Write(A), Write(B)}},
        {"medium access under exclusive access, all registrants, after a clear",
         {Register(A, kNone, kKeyA), Reserve(A, kKeyA, 0x08), Read(F), Write(B), Clear(A, kKeyA),
          Read(F), Write(B)}},
    };
}

// PREEMPT, PREEMPT AND ABORT, REPORT CAPABILITIES and READ FULL STATUS.
std::vector<Sequence> PreemptAndStatusSequences() {
    return {
        {"preempt the holder's key: the reservation moves, the holder's registrations go",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyB),
          Reserve(B, kKeyB, 0x06), Preempt(A, kKeyA, kKeyB, 0x06), ReadKeys(F),
          In(B, 0x00, 512, 512), ReadReservation(B), Read(B), Read(A)}},
        {"preempt the holder's key with another type",
         {Register(A, kNone, kKeyA), Register(F, kNone, kKeyF), Reserve(F, kKeyF, 0x01),
          Preempt(A, kKeyA, kKeyF, 0x03), ReadReservation(A), ReadKeys(A), Read(B)}},
        {"preempt a registrant that does not hold the reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(A, kKeyA, 0x05), Preempt(B, kKeyB, kKeyF, 0x06), ReadKeys(A), ReadReservation(B),
          Write(F)}},
        {"the holder preempts its own key to change the type",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyA), Reserve(A, kKeyA, 0x06),
          Preempt(A, kKeyA, kKeyA, 0x03), ReadKeys(A), ReadReservation(A), Read(B)}},
        {"preempt a key the preempting nexus shares with the holder",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyA), Reserve(B, kKeyA, 0x06),
          Preempt(A, kKeyA, kKeyA, 0x06), ReadKeys(F), ReadReservation(F)}},
        {"a registrant that does not hold the reservation preempts its own key",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB, 0x06),
          Preempt(A, kKeyA, kKeyA).Departs(kPreemptOwnKey).ThenOnTgt(Register(A, kKeyA, kNone)),
          ReadKeys(B), Register(A, kKeyA, kKeyB), ReadReservation(A)}},
        {"preempt under all registrants with a zero key",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(B, kKeyB, 0x07), Preempt(A, kKeyA, kNone, 0x07), ReadKeys(B), ReadReservation(B),
          Write(F)}},
        {"preempt under all registrants with a zero key and another type",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x08),
          Preempt(B, kKeyB, kNone, 0x01), ReadReservation(A), ReadKeys(A), Write(A), Read(A)}},
        {"preempt under all registrants with a non-zero key",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(A, kKeyA, 0x08), Preempt(B, kKeyB, kKeyF, 0x01), ReadReservation(B), ReadKeys(A),
          Read(F)}},
        {"preempt a key nobody is registered with",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB),
          Preempt(A, kKeyA, kKeyF), ReadKeys(A), ReadReservation(A)}},
        {"preempt from an unregistered nexus",
         {Register(B, kNone, kKeyB), Reserve(B, kKeyB), Preempt(A, kNone, kKeyB),
          Preempt(A, kKeyA, kKeyB), ReadKeys(A), ReadReservation(A)}},
        {"preempt with a RESERVATION KEY that is not the nexus's",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB),
          Preempt(A, kKeyF, kKeyB), Preempt(A, kKeyB, kKeyB), ReadReservation(A)}},
        {"preempt with a zero key and nothing reserved",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB),
          Preempt(A, kKeyA, kNone).Departs(kPreemptZeroKeyUnreserved), ReadKeys(B),
          ReadReservation(B)}},
        {"preempt with a zero key under a registrants-only reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB, 0x05),
          Preempt(A, kKeyA, kNone).Departs(kPreemptZeroKeyReserved), ReadKeys(B),
          ReadReservation(A)}},
        {"preempt ignores scope and type when it only removes registrations",
         {Register(A, kNone, kKeyA), Register(F, kNone, kKeyF), Reserve(A, kKeyA, 0x06),
          Preempt(A, kKeyA, kKeyF, 0x00), Register(F, kNone, kKeyF), Preempt(A, kKeyA, kKeyF, 0x19),
          ReadKeys(A), ReadReservation(A)}},
        {"preempt and abort the holder",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyB),
          Reserve(B, kKeyB, 0x06), PreemptAndAbort(A, kKeyA, kKeyB, 0x06), ReadKeys(A),
          ReadReservation(A)}},
        {"preempt and abort a registrant, and its refusals",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(A, kKeyA, 0x03), PreemptAndAbort(B, kKeyB, kKeyF),
          PreemptAndAbort(F, kKeyF, kKeyB), PreemptAndAbort(B, kKeyA, kKeyA), ReadKeys(A),
          ReadReservation(B)}},
        {"medium access after a preempt",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB, 0x06),
          Preempt(A, kKeyA, kKeyB, 0x03), Read(B), Write(B), Read(A), Write(A), TestUnitReady(B)}},
        {"preempt the holder with a reserved type",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(B, kKeyB),
          Preempt(A, kKeyA, kKeyB, 0x02).Departs(kPreemptReservedType)}},
        {"report capabilities",
         {ReportCapabilities(A, 8), ReportCapabilities(B), Register(A, kNone, kKeyA),
          Reserve(A, kKeyA, 0x08), ReportCapabilities(F, 512, 512), ReportCapabilities(A, 8, 8)}},
        {"report capabilities with an allocation length below 8",
         {ReportCapabilities(A, 7).Departs(kShortAllocation),
          ReportCapabilities(A, 0).Departs(kShortAllocation)}},
        {"read full status",
         {Register(A, kNone, kKeyA), Register(F, kNone, kKeyF), Reserve(A, kKeyA),
          In(A, 0x03, 512, 512).Departs(kFullStatus), ReadKeys(A)}},
    };
}

// Unit attentions, compared as they come (the model's device reports them).
std::vector<Sequence> UnitAttentionSequences() {
    return {
        {"unit attentions after a clear, once, on the other registrants",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(A, kKeyA, 0x06), Clear(A, kKeyA), ReadKeys(B), ReadKeys(B), TestUnitReady(F),
          TestUnitReady(F), ReadKeys(A)},
         true},
        {"a command a unit attention holds back does not run",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Clear(A, kKeyA),
          Register(B, kNone, kKeyB), ReadKeys(A), Register(B, kNone, kKeyB), ReadKeys(A)},
         true},
        {"unit attentions after a preempt that changes the type",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(F, kKeyF, 0x06), Preempt(A, kKeyA, kKeyF, 0x05), ReadKeys(B), ReadReservation(B),
          ReadKeys(F).Departs(kRegistrationsPreempted), ReadKeys(F), ReadKeys(A)},
         true},
        {"unit attentions after a preempt of the holder, same type",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(B, kKeyB, 0x06), Preempt(A, kKeyA, kKeyB, 0x06), TestUnitReady(F),
          TestUnitReady(B).Departs(kRegistrationsPreempted), TestUnitReady(B), ReadKeys(A)},
         true},
        {"unit attentions after a preempt that removes a registration",
         {Register(A, kNone, kKeyA), Register(F, kNone, kKeyF), Reserve(A, kKeyA, 0x06),
          Preempt(A, kKeyA, kKeyF), ReadKeys(F).Departs(kRegistrationsPreempted), ReadKeys(F)},
         true},
        {"unit attentions after a preempt under all registrants",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(B, kKeyB, 0x08), Preempt(A, kKeyA, kNone, 0x08),
          ReadKeys(B).Departs(kRegistrationsPreempted),
          ReadKeys(F).Departs(kRegistrationsPreempted), ReadReservation(A)},
         true},
        {"unit attentions one at a time, oldest first; INQUIRY and REPORT LUNS run",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Register(F, kNone, kKeyF),
          Reserve(F, kKeyF, 0x06), Preempt(A, kKeyA, kKeyF, 0x05), Clear(A, kKeyA), Inquiry(B),
          ReportLuns(B), ReadKeys(B), ReadKeys(B), ReadKeys(B)},
         true},
        {"unit attentions after a release of a registrants-only reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x05),
          Release(A, kKeyA, 0x05), ReadReservation(B).Departs(kReleaseAnnounced),
          ReadReservation(B), ReadKeys(A)},
         true},
        {"no unit attention after a release of an exclusive-access reservation",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x03),
          Release(A, kKeyA, 0x03), ReadKeys(B), ReadKeys(A).Departs(kReleaseNotAnnounced),
          TestUnitReady(F).Departs(kReleaseNotAnnounced), ReadKeys(A)},
         true},
        {"unit attentions when the holder of a registrants-only reservation unregisters",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x06),
          Register(A, kKeyA, kNone).Departs(kUnregisterHolder),
          ReadKeys(B).Departs(kUnregisterAnnounced), ReadKeys(B),
          TestUnitReady(A).Departs(kUnregisterMisannounced), ReadReservation(A)},
         true},
        {"register, reserve and a key change raise no unit attention",
         {Register(A, kNone, kKeyA), Register(B, kNone, kKeyB), Reserve(A, kKeyA, 0x06),
          Register(A, kKeyA, kKeyF), ReadKeys(B), Reserve(B, kKeyB), TestUnitReady(A),
          ReadReservation(F)},
         true},
    };
}

std::vector<Sequence> Sequences() {
    std::vector<Sequence> all = ReservationSequences();
    for (auto part : {PreemptAndStatusSequences(), UnitAttentionSequences()}) {
        all.insert(all.end(), part.begin(), part.end());
    }
    return all;
}

struct Outcome {
    std::uint8_t status = 0;
    std::uint8_t senseKey = 0;
    std::uint16_t sense = 0;  // ASC << 8 | ASCQ
    std::vector<std::uint8_t> data;
};

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    return tessaly::scsi::HexBytes(bytes);
}

std::string Describe(const Outcome& outcome) {
    char text[64];
    if (outcome.status == kCheck) {
        std::snprintf(text, sizeof(text), "CHECK CONDITION %Xh/%02Xh/%02Xh", outcome.senseKey,
                      outcome.sense >> 8, outcome.sense & 0xFF);
    } else {
        std::snprintf(text, sizeof(text), "status %02Xh", outcome.status);
    }
    return std::string(text) + " data [" + Hex(outcome.data) + "]";
}

// A foreign initiator is reached at the model's SCSI layer.
Outcome RunOnModel(DiskModel& model, std::uint32_t device, const Step& step) {
    std::vector<std::uint8_t> dataIn(step.direction == SCSI_XFER_READ ? step.transfer : 0);
    const DiskModel::ScsiOutcome result = model.Execute(
        device, DiskModel::Nexus{true, 0}, step.cdb.data(),
        static_cast<std::uint32_t>(step.cdb.size()),
        step.dataOut.empty() ? nullptr : step.dataOut.data(),
        static_cast<std::uint32_t>(step.dataOut.size()), dataIn.empty() ? nullptr : dataIn.data(),
        static_cast<std::uint32_t>(dataIn.size()));
    Outcome outcome;
    outcome.status = result.status;
    if (result.status == kCheck) {
        outcome.senseKey = result.sense[2] & 0x0F;
        outcome.sense = static_cast<std::uint16_t>(result.sense[12] << 8 | result.sense[13]);
    }
    outcome.data.assign(dataIn.begin(), dataIn.begin() + result.dataInLength);
    return outcome;
}

// A path of this host is reached the way the program reaches it: a 616-byte request built by the
// program's own code through the driver's control call, the reply read from the request.
bool RunThroughDriver(DiskModel& model, std::uint32_t device, const Step& step, Outcome& outcome) {
    namespace at = tessaly::request_offset;
    std::array<std::uint8_t, tessaly::kCdbSize> cdb{};
    std::memcpy(cdb.data(), step.cdb.data(), std::min(cdb.size(), step.cdb.size()));
    const bool in = step.direction == SCSI_XFER_READ;
    tessaly::PassThroughRequest request(
        device, static_cast<std::uint32_t>(step.who),
        in ? tessaly::DataDirection::In : tessaly::DataDirection::Out, cdb, step.dataOut);
    std::uint8_t* bytes = request.Bytes();
    // A longer command block (REPORT LUNS) fills more of the header's 16-byte CDB field.
    std::memcpy(bytes + at::kCdb, step.cdb.data(), step.cdb.size());
    bytes[at::kCdbLength] = static_cast<std::uint8_t>(step.cdb.size());
    tessaly::StoreLe32(bytes + at::kDataTransferLength, step.transfer);
    const std::uint32_t outputLength = step.transfer <= 60 ? 152 : 608;
    std::uint32_t returned = 0;
    if (model.PassThrough(vlksim::kPassThroughCode, bytes, 616, request.OutputArea(), outputLength,
                          &returned) != vlksim::kStatusSuccess) {
        return false;
    }
    outcome = Outcome{};
    outcome.status = request.ScsiStatus();
    if (outcome.status == kCheck) {
        outcome.senseKey = bytes[at::kSenseArea + 2] & 0x0F;
        outcome.sense = static_cast<std::uint16_t>(bytes[at::kSenseArea + 12] << 8 |
                                                   bytes[at::kSenseArea + 13]);
    }
    if (in) {
        const auto data = request.DataArea();
        outcome.data.assign(data.begin(), data.begin() + request.DataTransferLength());
    }
    return true;
}

// Runs a step on tgt; false when the transport failed. Unit attentions make it go again, but
// those of the reservations (ASC 2Ah) are the outcome when `keepReservationAttentions`.
bool RunOnTarget(iscsi_context* session, int lun, const Step& step, Outcome& outcome,
                 bool keepReservationAttentions) {
    for (int attempt = 0; attempt < 8; ++attempt) {
        std::vector<std::uint8_t> cdb = step.cdb;
        scsi_task* task = scsi_create_task(static_cast<int>(cdb.size()), cdb.data(), step.direction,
                                           static_cast<int>(step.transfer));
        if (task == nullptr) {
            return false;
        }
        std::vector<std::uint8_t> dataOut = step.dataOut;
        iscsi_data data{dataOut.size(), dataOut.data()};
        scsi_task* done = iscsi_scsi_command_sync(
            session, lun, task, step.direction == SCSI_XFER_WRITE ? &data : nullptr);
        if (done == nullptr) {
            std::fprintf(stderr, "transport: %s\n", iscsi_get_error(session));
            scsi_free_scsi_task(task);
            return false;
        }
        outcome = Outcome{};
        outcome.status = static_cast<std::uint8_t>(done->status);
        if (done->status == SCSI_STATUS_CHECK_CONDITION) {
            outcome.senseKey = static_cast<std::uint8_t>(done->sense.key);
            outcome.sense = static_cast<std::uint16_t>(done->sense.ascq);
        } else if (done->datain.size > 0) {
            outcome.data.assign(done->datain.data, done->datain.data + done->datain.size);
        }
        scsi_free_scsi_task(done);
        if (!(outcome.status == kCheck && outcome.senseKey == SCSI_SENSE_UNIT_ATTENTION) ||
            (keepReservationAttentions && outcome.sense >> 8 == 0x2A)) {
            return true;
        }
    }
    std::fprintf(stderr, "unit attentions did not stop\n");
    return false;
}

bool SameOutcome(const Outcome& a, const Outcome& b, bool compareData) {
    return a.status == b.status && a.senseKey == b.senseKey && a.sense == b.sense &&
           (!compareData || a.data == b.data);
}

// Takes away from tgt's generation what it counted beyond SPC-3 (PERSISTENT RESERVE IN data).
void AdjustGeneration(const Step& step, std::uint32_t extra, Outcome& outcome) {
    if (extra == 0 || step.cdb[0] != 0x5E || outcome.data.size() < 4) {
        return;
    }
    std::uint32_t generation = std::uint32_t{outcome.data[0]} << 24 |
                               std::uint32_t{outcome.data[1]} << 16 |
                               std::uint32_t{outcome.data[2]} << 8 | outcome.data[3];
    generation -= extra;
    for (int i = 0; i < 4; ++i) {
        outcome.data[i] = static_cast<std::uint8_t>(generation >> (8 * (3 - i)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<Sequence> sequences = Sequences();
    if (argc == 2 && std::string(argv[1]) == "--count") {
        std::printf("%zu\n", sequences.size());
        return 0;
    }
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s PORTAL TARGET | --count\n", argv[0]);
        return 2;
    }
    const char* portal = argv[1];
    const char* target = argv[2];
    if (sequences.size() > vlksim::kDeviceCount) {
        return 2;
    }

    static DiskModel model;
    iscsi_context* sessions[kNexusCount] = {};
    const char* const initiators[kNexusCount] = {"iqn.2026-12.org.tessaly:path0",
                                                 "iqn.2026-12.org.tessaly:path1",
                                                 "iqn.2026-12.org.tessaly:foreign0"};
    for (int i = 0; i < kNexusCount; ++i) {
        sessions[i] = iscsi_create_context(initiators[i]);
        if (sessions[i] == nullptr || iscsi_set_targetname(sessions[i], target) != 0 ||
            iscsi_set_session_type(sessions[i], ISCSI_SESSION_NORMAL) != 0 ||
            iscsi_set_header_digest(sessions[i], ISCSI_HEADER_DIGEST_NONE) != 0 ||
            iscsi_set_timeout(sessions[i], 10) != 0 ||
            iscsi_full_connect_sync(sessions[i], portal, 1) != 0) {
            std::fprintf(stderr, "cannot log in as %s: %s\n", initiators[i],
                         sessions[i] != nullptr ? iscsi_get_error(sessions[i]) : "no context");
            return 2;
        }
    }

    int passed = 0;
    int failed = 0;
    int departures = 0;
    for (std::size_t index = 0; index < sequences.size(); ++index) {
        const Sequence& sequence = sequences[index];
        const auto device = static_cast<std::uint32_t>(index);
        const int lun = static_cast<int>(index) + 1;
        if (!model.AddDevice(device) || !model.AddPath(device, 0) || !model.AddPath(device, 1) ||
            !model.SetUnitAttentions(device, sequence.unitAttentions)) {
            return 2;
        }
        std::uint32_t extraGeneration = 0;
        bool agreed = true;
        for (std::size_t n = 0; n < sequence.steps.size() && agreed; ++n) {
            const Step& step = sequence.steps[n];
            Outcome mine;
            if (step.who == F) {
                mine = RunOnModel(model, device, step);
            } else if (!RunThroughDriver(model, device, step, mine)) {
                std::fprintf(stderr, "%s: step %zu refused by the control call\n", sequence.name,
                             n + 1);
                return 2;
            }
            Outcome theirs;
            if (!RunOnTarget(sessions[step.who], lun, step, theirs, sequence.unitAttentions)) {
                std::fprintf(stderr, "%s: step %zu could not be sent\n", sequence.name, n + 1);
                return 2;
            }
            AdjustGeneration(step, extraGeneration, theirs);
            const Departure* d = step.departure;
            bool same = d != nullptr || SameOutcome(mine, theirs, step.compareData);
            if (d != nullptr) {
                ++departures;
                const bool modelRight =
                    d->tgtStandIn >= 0 || (mine.status == d->modelStatus &&
                                           (mine.status != kCheck || mine.sense == d->modelSense));
                const bool tgtAsNoted = theirs.status == d->tgtStatus &&
                                        (theirs.status != kCheck || theirs.sense == d->tgtSense);
                if (!modelRight || !tgtAsNoted) {
                    std::printf(
                        "FAIL %s, step %zu (%s): departure no longer as noted\n  model: %s\n"
                        "  tgt:   %s\n  note: %s\n",
                        sequence.name, n + 1, kWhoName[step.who], Describe(mine).c_str(),
                        Describe(theirs).c_str(), d->note);
                    agreed = false;
                }
                extraGeneration += d->tgtExtraGeneration;
                if (d->tgtStandIn >= 0) {
                    Step standIn = step;
                    standIn.cdb[1] = static_cast<std::uint8_t>(d->tgtStandIn);
                    if (!RunOnTarget(sessions[step.who], lun, standIn, theirs,
                                     sequence.unitAttentions)) {
                        return 2;
                    }
                    AdjustGeneration(standIn, extraGeneration, theirs);
                    same = SameOutcome(mine, theirs, step.compareData);
                }
            }
            if (!same) {
                std::printf("FAIL %s, step %zu (%s, CDB %s)\n  model: %s\n  tgt:   %s\n",
                            sequence.name, n + 1, kWhoName[step.who], Hex(step.cdb).c_str(),
                            Describe(mine).c_str(), Describe(theirs).c_str());
                agreed = false;
            }
            for (const Step& extra : step.tgtCatchUp) {
                Outcome caughtUp;
                if (!RunOnTarget(sessions[extra.who], lun, extra, caughtUp, false)) {
                    return 2;
                }
                if (caughtUp.status != kGood) {
                    std::printf("FAIL %s, step %zu: tgt's catch-up step: %s\n", sequence.name,
                                n + 1, Describe(caughtUp).c_str());
                    agreed = false;
                }
            }
        }
        if (agreed) {
            ++passed;
            std::printf("ok   %s\n", sequence.name);
        } else {
            ++failed;
        }
    }
    for (iscsi_context* session : sessions) {
        iscsi_logout_sync(session);
        iscsi_destroy_context(session);
    }
    std::printf("%d departures of tgt from SPC-3 checked as noted\n", departures);
    std::printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
