// The disks and paths behind the stand-in VLK driver: SCSI persistent reservations (SPC-3) per
// device, each path of this host one I_T nexus and each foreign initiator another.
//
// Freestanding: the same code runs inside the Windows kernel driver, so it uses no exceptions, no
// RTTI, no heap and nothing of the standard library beyond <cstdint> and <cstddef>. All state is
// fixed-size and all-zero storage is the empty model ("nothing present"), so a global DiskModel is
// ready without any start-up code.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/RequestLayout.h"
#include "scsi/Codes.h"

namespace vlksim {

inline constexpr std::uint32_t kDeviceCount = tessaly::kHighestDevice + 1;  // devices 0..100
inline constexpr std::uint32_t kPathCount = tessaly::kHighestPath + 1;      // paths 0..32
inline constexpr std::uint32_t kForeignCount = 8;  // other hosts' initiators per device
// Unit attentions pending per nexus at the most (one of each kind the model raises, and room).
inline constexpr std::uint32_t kUnitAttentionsKept = 4;
// The longest iSCSI name a foreign initiator's own port may be given (SetForeignPort).
inline constexpr std::uint32_t kPortNameMax = 63;

// NTSTATUS values the pass-through call may end with.
inline constexpr std::int32_t kStatusSuccess = 0;
inline constexpr std::int32_t kStatusInvalidParameter = static_cast<std::int32_t>(0xC000000D);
inline constexpr std::int32_t kStatusInvalidDeviceRequest = static_cast<std::int32_t>(0xC0000010);
// A device or path that is not configured: STATUS_DEVICE_DOES_NOT_EXIST. The system (and Wine's
// ntdll table alike) turns it into Win32 error 55, ERROR_DEV_NOT_EXIST, which keeps it apart from
// error 2 (no driver installed, so the control device itself is missing) and error 87 (malformed
// request). STATUS_NO_SUCH_DEVICE would have been reported as error 2 and be mistaken for the
// former.
inline constexpr std::int32_t kStatusNoSuchDevice = static_cast<std::int32_t>(0xC00000C0);

inline constexpr std::uint32_t kPassThroughCode = tessaly::IOCTL_PATH_PASS_THROUGH;

// Every device has the same small medium, which is not kept: reads return zeros.
inline constexpr std::uint32_t kBlockSize = 512;
inline constexpr std::uint32_t kBlockCount = 2048;

// Sizes of the pass-through request and of its reply.
inline constexpr std::uint32_t kRequestSize = tessaly::request_layout::kRequestSize;
inline constexpr std::uint32_t kReplySize = tessaly::request_layout::kReplySize;

// SCSI status bytes and persistent reservation types, in the model's own names.
inline constexpr std::uint8_t kScsiGood = tessaly::scsi::kStatusGood;
inline constexpr std::uint8_t kScsiCheckCondition = tessaly::scsi::kStatusCheckCondition;
inline constexpr std::uint8_t kScsiReservationConflict = tessaly::scsi::kStatusReservationConflict;
using tessaly::scsi::kTypeExclusiveAccess;
using tessaly::scsi::kTypeExclusiveAccessAllRegistrants;
using tessaly::scsi::kTypeExclusiveAccessRegistrantsOnly;
using tessaly::scsi::kTypeWriteExclusive;
using tessaly::scsi::kTypeWriteExclusiveAllRegistrants;
using tessaly::scsi::kTypeWriteExclusiveRegistrantsOnly;

// Departures from SPC-3 that arrays in the field have shown, one bit each in a device's quirk set
// (none unless set). The set-up text names them; sim/README.md tells each next to its rule.
// Under Exclusive Access - All Registrants (8h) a nexus that is not registered may read.
inline constexpr std::uint32_t kQuirkAllRegistrantsOpen = 1u << 0;
// READ FULL STATUS gives each key with its 8 bytes in reverse order.
inline constexpr std::uint32_t kQuirkFullStatusKeySwapped = 1u << 1;
// No unit attention at all, also on a device that reports them.
inline constexpr std::uint32_t kQuirkNoUnitAttentions = 1u << 2;
// A PREEMPT of the holder's key removes the sender's registration too when it bears that key.
inline constexpr std::uint32_t kQuirkPreemptDropsOwn = 1u << 3;
// The holder's RESERVE of the reservation it holds is a RESERVATION CONFLICT.
inline constexpr std::uint32_t kQuirkReserveAgainConflicts = 1u << 4;
// A REGISTER through path 2k or 2k+1 removes the registration of the other path of the pair.
inline constexpr std::uint32_t kQuirkRegisterOverwritesPartner = 1u << 5;
// CLEAR and PREEMPT leave the generation where it was.
inline constexpr std::uint32_t kQuirkGenerationStuck = 1u << 6;
// PREEMPT AND ABORT is refused as INVALID FIELD IN CDB.
inline constexpr std::uint32_t kQuirkNoPreemptAbort = 1u << 7;
inline constexpr std::uint32_t kQuirksAll = (1u << 8) - 1;

class DiskModel {
  public:
    constexpr DiskModel() = default;  // nothing present
    void Clear();                     // back to nothing present

    // Set-up. Each returns false when a number is out of range, the device/path is absent, or the
    // fixed capacity is exhausted. Keys are the 8 bytes as they travel (byte 0 first).
    // Adding what is already there succeeds and changes nothing. A registration replaces the
    // nexus's key if it has one; an all-zero key is no registration and is refused. Set-up leaves
    // the generation alone: it describes the state the devices are found in.
    bool AddDevice(std::uint32_t device);
    bool AddPath(std::uint32_t device, std::uint32_t path);
    bool AddPathRegistration(std::uint32_t device, std::uint32_t path, const std::uint8_t key[8]);
    bool AddForeignRegistration(std::uint32_t device, std::uint32_t foreign,
                                const std::uint8_t key[8]);
    // Makes a registered nexus the reservation holder (type per SPC-3, scope LU), replacing any
    // reservation the device had. False for an unregistered nexus or a type that is not one of
    // 1h, 3h, 5h, 6h, 7h, 8h.
    bool ReservePath(std::uint32_t device, std::uint32_t path, std::uint8_t type);
    bool ReserveForeign(std::uint32_t device, std::uint32_t foreign, std::uint8_t type);
    // Unit attentions are off until switched on: then a reservation change that SPC-3 says other
    // nexuses must hear of (CLEAR, PREEMPT, a release) is reported to each of them once, on its
    // next command other than INQUIRY and REPORT LUNS, which it answers instead of running.
    bool SetUnitAttentions(std::uint32_t device, bool on);
    // The device's departures from SPC-3 (kQuirk* bits; 0: none), replacing those it had. False
    // for an absent device or a bit that is not a quirk.
    bool SetQuirks(std::uint32_t device, std::uint32_t quirks);
    // Gives foreign initiator `foreign` an initiator port of its own: the iSCSI name `name`
    // (`length` bytes, 1 to kPortNameMax, kept as given) and the session identifier `isid`. READ
    // FULL STATUS then names it by a TransportID of format 01b, "NAME,i,0xISID", so that two
    // initiators may share a name under different ISIDs. False for an absent device, a foreign
    // number out of range or a name of no length or too long.
    bool SetForeignPort(std::uint32_t device, std::uint32_t foreign, const char* name,
                        std::uint32_t length, const std::uint8_t isid[6]);
    // The device says it can keep registrations over a power loss (PTPL_C in REPORT
    // CAPABILITIES) and takes APTPL in REGISTER, which sets or clears PTPL_A; without it APTPL is
    // refused. Nothing is lost at a power loss here: the model has none.
    bool SetPersistCapable(std::uint32_t device, bool on);

    // Read access for tests and diagnostics.
    bool HasDevice(std::uint32_t device) const;
    bool HasPath(std::uint32_t device, std::uint32_t path) const;
    std::uint32_t Generation(std::uint32_t device) const;  // 0 for an absent device
    std::uint32_t Quirks(std::uint32_t device) const;      // 0 for an absent device

    // The driver's one control call. `input` and `output` may be the SAME memory (METHOD_BUFFERED:
    // the system buffer holds the 616-byte input and receives the output from its first byte), so
    // the whole input is taken in before anything is written. On success returns kStatusSuccess
    // and sets *bytesReturned to the number of output bytes written (152 for the program's
    // requests: the full pass-through block with the reply). Never reads past inputLength or
    // writes past outputLength. On failure writes nothing, not even *bytesReturned.
    std::int32_t PassThrough(std::uint32_t controlCode, const std::uint8_t* input,
                             std::uint32_t inputLength, std::uint8_t* output,
                             std::uint32_t outputLength, std::uint32_t* bytesReturned);

    // The SCSI layer beneath, also used by the conformance test: run one command block on one
    // nexus (a path of this host, or a foreign initiator) and produce status, sense and data-in.
    struct Nexus {
        bool foreign;
        std::uint32_t index;
    };
    struct ScsiOutcome {
        std::uint8_t status;
        std::uint32_t dataInLength;   // bytes written to dataIn
        std::uint32_t dataOutLength;  // bytes the device took from dataOut
        std::uint8_t sense[18];       // fixed format (70h), valid on CHECK CONDITION
        std::uint32_t senseLength;    // 18 on CHECK CONDITION, else 0
    };
    ScsiOutcome Execute(std::uint32_t device, Nexus nexus, const std::uint8_t* cdb,
                        std::uint32_t cdbLength, const std::uint8_t* dataOut,
                        std::uint32_t dataOutLength, std::uint8_t* dataIn,
                        std::uint32_t dataInCapacity);

  private:
    static constexpr std::uint32_t kNexusCount = kPathCount + kForeignCount;

    struct Device {
        bool present = false;
        bool pathPresent[kPathCount] = {};
        std::uint32_t generation = 0;
        // Registered nexuses in the order they registered: nexus numbers (paths first, then
        // foreign initiators), with their keys.
        std::uint8_t registrationCount = 0;
        std::uint8_t registrationOrder[kNexusCount] = {};
        std::uint8_t keys[kNexusCount][8] = {};
        bool registered[kNexusCount] = {};
        // The reservation: present when `reserved`; the holder is a nexus number (every
        // registrant holds an all-registrants reservation, so `holder` only matters otherwise).
        bool reserved = false;
        std::uint8_t holder = 0;
        std::uint8_t type = 0;
        std::uint8_t scope = 0;
        // Unit attentions (ASC << 8 | ASCQ) waiting for each nexus's next command, oldest first.
        bool unitAttentions = false;
        std::uint8_t attentionCount[kNexusCount] = {};
        std::uint16_t attentions[kNexusCount][kUnitAttentionsKept] = {};
        std::uint32_t quirks = 0;  // kQuirk* bits
        // The initiator ports foreign initiators were given; a name of no length: the default.
        char portNames[kForeignCount][kPortNameMax] = {};
        std::uint8_t portNameLengths[kForeignCount] = {};
        std::uint8_t portIsids[kForeignCount][6] = {};
        bool persistCapable = false;  // PTPL_C
        bool persistActive = false;   // PTPL_A: the last REGISTER carried APTPL
    };
    struct DataIn;  // data-in written front to back, cut at the room it has

    Device* FindDevice(std::uint32_t device);
    const Device* FindDevice(std::uint32_t device) const;

    static void Register(Device& device, std::uint32_t nexus, const std::uint8_t* key);
    static void Unregister(Device& device, std::uint32_t nexus);
    static void ReleaseReservation(Device& device);
    static bool SetReservation(Device& device, std::uint32_t nexus, std::uint8_t type);
    static bool IsHolder(const Device& device, std::uint32_t nexus);
    static bool AccessConflicts(const Device& device, std::uint32_t nexus, bool writes);
    // READ(10), WRITE(10), READ(16) of `blocks` blocks from `lba`, once the command block is read.
    static ScsiOutcome MediumAccess(const Device& device, std::uint32_t nexus, bool writes,
                                    std::uint64_t lba, std::uint64_t blocks,
                                    std::uint32_t dataOutLength, std::uint8_t* dataIn,
                                    std::uint32_t dataInCapacity);
    static ScsiOutcome Inquiry(const std::uint8_t* cdb, std::uint8_t* dataIn,
                               std::uint32_t capacity);
    static ScsiOutcome ReadCapacity(std::uint8_t* dataIn, std::uint32_t capacity);
    static ScsiOutcome ReportLuns(const std::uint8_t* cdb, std::uint8_t* dataIn,
                                  std::uint32_t capacity);
    static ScsiOutcome ReserveIn(const Device& device, const std::uint8_t* cdb,
                                 std::uint8_t* dataIn, std::uint32_t capacity);
    static void WriteKeys(const Device& device, DataIn& out);
    static void WriteReservation(const Device& device, DataIn& out);
    static void WriteCapabilities(const Device& device, DataIn& out);
    static void WriteFullStatus(const Device& device, DataIn& out);
    static ScsiOutcome ReserveOut(Device& device, std::uint32_t nexus, const std::uint8_t* cdb,
                                  const std::uint8_t* dataOut, std::uint32_t dataOutLength);

    // PERSISTENT RESERVE OUT, one function per service action, on the taken parameter list.
    struct ParameterList {
        std::uint8_t reservationKey[8];
        std::uint8_t serviceActionKey[8];
        std::uint8_t flags;  // byte 20: SPEC_I_PT, ALL_TG_PT, APTPL
    };
    static bool KeyMatches(const Device& device, std::uint32_t nexus, const std::uint8_t* key);
    static ScsiOutcome ServeRegister(Device& device, std::uint32_t nexus, const ParameterList& list,
                                     bool ignoreKey);
    static ScsiOutcome ServeReserve(Device& device, std::uint32_t nexus, std::uint8_t scope,
                                    std::uint8_t type);
    static ScsiOutcome ServeRelease(Device& device, std::uint32_t nexus, std::uint8_t scope,
                                    std::uint8_t type);
    static ScsiOutcome ServeClear(Device& device, std::uint32_t nexus);
    static ScsiOutcome ServePreempt(Device& device, std::uint32_t nexus, const ParameterList& list,
                                    std::uint8_t scope, std::uint8_t type);
    // Removes the registration of every nexus registered under `key` (of every nexus, when `key`
    // is null), the issuing nexus's own too unless `keepIssuer`; each removed nexus but the issuer
    // gets the unit attention `attention`.
    static void RemoveRegistrations(Device& device, const std::uint8_t* key, std::uint32_t issuer,
                                    bool keepIssuer, std::uint16_t attention);

    // The generation's step after a CLEAR or PREEMPT (none on a device with generation-stuck).
    static void MoveGeneration(Device& device);
    static void RaiseUnitAttention(Device& device, std::uint32_t nexus, std::uint16_t attention);
    // To every registered nexus but the issuer.
    static void TellRegistrants(Device& device, std::uint32_t issuer, std::uint16_t attention);
    static bool TakeUnitAttention(Device& device, std::uint32_t nexus, std::uint16_t& attention);

    Device devices_[kDeviceCount] = {};
};

}  // namespace vlksim
