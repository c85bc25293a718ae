#include "sim/model/DiskModel.h"

#include "core/RequestLayout.h"
#include "scsi/Bytes.h"

namespace vlksim {
namespace {

// The pass-through request, as the program lays it out.
namespace at = tessaly::block_offset;
using tessaly::LoadLe16;
using tessaly::LoadLe32;
using tessaly::LoadLe64;
using tessaly::StoreLe32;
namespace scsi = tessaly::scsi;
using tessaly::scsi::LoadBe16;
using tessaly::scsi::LoadBe32;
using tessaly::scsi::LoadBe64;
using tessaly::scsi::StoreBe32;
constexpr std::uint32_t kSenseAreaSize = tessaly::request_layout::kSenseAreaSize;
constexpr std::uint32_t kDataAreaSize = tessaly::request_layout::kDataAreaSize;
constexpr std::uint32_t kHeaderLength = tessaly::request_layout::kHeaderSize;
constexpr std::uint32_t kMaxCdbLength = 16;

constexpr std::uint8_t kScopeLogicalUnit = 0x0;
// Flag bits of parameter list byte 20.
constexpr std::uint8_t kSpecifyInitiatorPorts = 0x08;
constexpr std::uint8_t kAllTargetPorts = 0x04;
constexpr std::uint8_t kPersistThroughPowerLoss = 0x01;

// READ FULL STATUS names each nexus by an iSCSI TransportID (format 00b, protocol 5h): this host's
// path P is "iqn.2026-12.org.tessaly:pathP", another host's initiator F
// "iqn.2026-12.org.tessaly:foreignF". Every nexus goes through relative target port 1.
constexpr char kIscsiNamePrefix[] = "iqn.2026-12.org.tessaly:";
constexpr std::uint8_t kIscsiTransportId = 0x05;
// FORMAT CODE 01b: the initiator port, "NAME,i,0xISID".
constexpr std::uint8_t kIscsiSessionTransportId = 0x45;
constexpr std::uint16_t kRelativeTargetPort = 1;

// Tiny replacements for the C library, which a kernel driver does not have.
void Copy(std::uint8_t* to, const std::uint8_t* from, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        to[i] = from[i];
    }
}

void Fill(std::uint8_t* to, std::uint8_t value, std::uint32_t count) {
    for (std::uint32_t i = 0; i < count; ++i) {
        to[i] = value;
    }
}

bool KeyIsZero(const std::uint8_t* key) {
    for (std::uint32_t i = 0; i < 8; ++i) {
        if (key[i] != 0) {
            return false;
        }
    }
    return true;
}

bool KeysEqual(const std::uint8_t* a, const std::uint8_t* b) {
    for (std::uint32_t i = 0; i < 8; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
    }
    return true;
}

std::uint32_t Min(std::uint32_t a, std::uint32_t b) {
    return a < b ? a : b;
}

bool IsValidType(std::uint8_t type) {
    switch (type) {
        case kTypeWriteExclusive:
        case kTypeExclusiveAccess:
        case kTypeWriteExclusiveRegistrantsOnly:
        case kTypeExclusiveAccessRegistrantsOnly:
        case kTypeWriteExclusiveAllRegistrants:
        case kTypeExclusiveAccessAllRegistrants:
            return true;
        default:
            return false;
    }
}

bool IsAllRegistrantsType(std::uint8_t type) {
    return type == kTypeWriteExclusiveAllRegistrants || type == kTypeExclusiveAccessAllRegistrants;
}

bool IsRegistrantsOnlyType(std::uint8_t type) {
    return type == kTypeWriteExclusiveRegistrantsOnly ||
           type == kTypeExclusiveAccessRegistrantsOnly;
}

// The iSCSI name of a nexus (paths first, then foreign initiators), without its terminating zero:
// the prefix, "path" or "foreign", and the number in decimal; or the port a foreign initiator was
// given, "NAME,i,0x" and its ISID in twelve lower-case hex digits. True for the latter (TransportID
// format 01b).
constexpr std::uint32_t kPortTextMax = kPortNameMax + 17;
bool PortText(const char* portName, std::uint32_t portNameLength, const std::uint8_t* isid,
              std::uint32_t nexus, char (&text)[kPortTextMax], std::uint32_t& length) {
    length = 0;
    if (portNameLength > 0) {
        for (std::uint32_t i = 0; i < portNameLength; ++i) {
            text[length++] = portName[i];
        }
        for (const char* c = ",i,0x"; *c != '\0'; ++c) {
            text[length++] = *c;
        }
        for (std::uint32_t i = 0; i < 6; ++i) {
            text[length++] = "0123456789abcdef"[isid[i] >> 4];
            text[length++] = "0123456789abcdef"[isid[i] & 0x0F];
        }
        return true;
    }
    for (const char* c = kIscsiNamePrefix; *c != '\0'; ++c) {
        text[length++] = *c;
    }
    const bool foreign = nexus >= kPathCount;
    for (const char* c = foreign ? "foreign" : "path"; *c != '\0'; ++c) {
        text[length++] = *c;
    }
    const std::uint32_t number = foreign ? nexus - kPathCount : nexus;
    if (number >= 10) {
        text[length++] = static_cast<char>('0' + number / 10);
    }
    text[length++] = static_cast<char>('0' + number % 10);
    return false;
}

DiskModel::ScsiOutcome Good() {
    DiskModel::ScsiOutcome outcome{};
    outcome.status = kScsiGood;
    return outcome;
}

DiskModel::ScsiOutcome Conflict() {
    DiskModel::ScsiOutcome outcome{};
    outcome.status = kScsiReservationConflict;
    return outcome;
}

// CHECK CONDITION with fixed-format sense data.
DiskModel::ScsiOutcome CheckCondition(std::uint8_t senseKey, std::uint16_t code) {
    DiskModel::ScsiOutcome outcome{};
    outcome.status = kScsiCheckCondition;
    outcome.sense[0] = 0x70;  // current error, fixed format
    outcome.sense[2] = senseKey;
    outcome.sense[7] = 10;  // additional sense length: bytes 8..17
    outcome.sense[12] = static_cast<std::uint8_t>(code >> 8);
    outcome.sense[13] = static_cast<std::uint8_t>(code);
    outcome.senseLength = 18;
    return outcome;
}

DiskModel::ScsiOutcome IllegalRequest(std::uint16_t code) {
    return CheckCondition(scsi::kSenseIllegalRequest, code);
}

}  // namespace

// Every byte of a reply passes through here in order. Only those inside the room (the allocation
// length and the transfer, whichever is less) are written, but all count: the lengths a reply
// announces are computed before and never cut.
struct DiskModel::DataIn {
    std::uint8_t* data;
    std::uint32_t room;
    std::uint32_t length = 0;

    void Byte(std::uint8_t value) {
        if (length < room) {
            data[length] = value;
        }
        ++length;
    }
    void Bytes(const std::uint8_t* from, std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            Byte(from[i]);
        }
    }
    void Zeros(std::uint32_t count) {
        for (std::uint32_t i = 0; i < count; ++i) {
            Byte(0);
        }
    }
    void Be16(std::uint16_t value) {
        Byte(static_cast<std::uint8_t>(value >> 8));
        Byte(static_cast<std::uint8_t>(value));
    }
    void Be32(std::uint32_t value) {
        Be16(static_cast<std::uint16_t>(value >> 16));
        Be16(static_cast<std::uint16_t>(value));
    }
    ScsiOutcome Done() const {
        ScsiOutcome outcome = Good();
        outcome.dataInLength = Min(length, room);
        return outcome;
    }
};

void DiskModel::Clear() {
    for (auto& device : devices_) {
        device = Device{};
    }
}

DiskModel::Device* DiskModel::FindDevice(std::uint32_t device) {
    if (device >= kDeviceCount || !devices_[device].present) {
        return nullptr;
    }
    return &devices_[device];
}

const DiskModel::Device* DiskModel::FindDevice(std::uint32_t device) const {
    if (device >= kDeviceCount || !devices_[device].present) {
        return nullptr;
    }
    return &devices_[device];
}

bool DiskModel::HasDevice(std::uint32_t device) const {
    return FindDevice(device) != nullptr;
}

bool DiskModel::HasPath(std::uint32_t device, std::uint32_t path) const {
    const Device* found = FindDevice(device);
    return found != nullptr && path < kPathCount && found->pathPresent[path];
}

std::uint32_t DiskModel::Generation(std::uint32_t device) const {
    const Device* found = FindDevice(device);
    return found != nullptr ? found->generation : 0;
}

std::uint32_t DiskModel::Quirks(std::uint32_t device) const {
    const Device* found = FindDevice(device);
    return found != nullptr ? found->quirks : 0;
}

bool DiskModel::AddDevice(std::uint32_t device) {
    if (device >= kDeviceCount) {
        return false;
    }
    devices_[device].present = true;
    return true;
}

bool DiskModel::AddPath(std::uint32_t device, std::uint32_t path) {
    Device* found = FindDevice(device);
    if (found == nullptr || path >= kPathCount) {
        return false;
    }
    found->pathPresent[path] = true;
    return true;
}

bool DiskModel::AddPathRegistration(std::uint32_t device, std::uint32_t path,
                                    const std::uint8_t key[8]) {
    if (!HasPath(device, path) || key == nullptr || KeyIsZero(key)) {
        return false;
    }
    Register(devices_[device], path, key);
    return true;
}

bool DiskModel::AddForeignRegistration(std::uint32_t device, std::uint32_t foreign,
                                       const std::uint8_t key[8]) {
    Device* found = FindDevice(device);
    if (found == nullptr || foreign >= kForeignCount || key == nullptr || KeyIsZero(key)) {
        return false;
    }
    Register(*found, kPathCount + foreign, key);
    return true;
}

bool DiskModel::ReservePath(std::uint32_t device, std::uint32_t path, std::uint8_t type) {
    if (!HasPath(device, path)) {
        return false;
    }
    return SetReservation(devices_[device], path, type);
}

bool DiskModel::SetUnitAttentions(std::uint32_t device, bool on) {
    Device* found = FindDevice(device);
    if (found == nullptr) {
        return false;
    }
    found->unitAttentions = on;
    return true;
}

bool DiskModel::SetQuirks(std::uint32_t device, std::uint32_t quirks) {
    Device* found = FindDevice(device);
    if (found == nullptr || (quirks & ~kQuirksAll) != 0) {
        return false;
    }
    found->quirks = quirks;
    return true;
}

bool DiskModel::SetForeignPort(std::uint32_t device, std::uint32_t foreign, const char* name,
                               std::uint32_t length, const std::uint8_t isid[6]) {
    Device* found = FindDevice(device);
    if (found == nullptr || foreign >= kForeignCount || name == nullptr || isid == nullptr ||
        length == 0 || length > kPortNameMax) {
        return false;
    }
    for (std::uint32_t i = 0; i < length; ++i) {
        found->portNames[foreign][i] = name[i];
    }
    found->portNameLengths[foreign] = static_cast<std::uint8_t>(length);
    Copy(found->portIsids[foreign], isid, 6);
    return true;
}

bool DiskModel::SetPersistCapable(std::uint32_t device, bool on) {
    Device* found = FindDevice(device);
    if (found == nullptr) {
        return false;
    }
    found->persistCapable = on;
    found->persistActive = found->persistActive && on;
    return true;
}

bool DiskModel::ReserveForeign(std::uint32_t device, std::uint32_t foreign, std::uint8_t type) {
    Device* found = FindDevice(device);
    if (found == nullptr || foreign >= kForeignCount) {
        return false;
    }
    return SetReservation(*found, kPathCount + foreign, type);
}

bool DiskModel::SetReservation(Device& device, std::uint32_t nexus, std::uint8_t type) {
    if (!device.registered[nexus] || !IsValidType(type)) {
        return false;
    }
    device.reserved = true;
    device.holder = static_cast<std::uint8_t>(nexus);
    device.type = type;
    device.scope = kScopeLogicalUnit;
    return true;
}

void DiskModel::Register(Device& device, std::uint32_t nexus, const std::uint8_t* key) {
    if (!device.registered[nexus]) {
        device.registered[nexus] = true;
        device.registrationOrder[device.registrationCount++] = static_cast<std::uint8_t>(nexus);
    }
    Copy(device.keys[nexus], key, 8);
}

void DiskModel::Unregister(Device& device, std::uint32_t nexus) {
    device.registered[nexus] = false;
    Fill(device.keys[nexus], 0, 8);
    std::uint32_t kept = 0;
    for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
        if (device.registrationOrder[i] != nexus) {
            device.registrationOrder[kept++] = device.registrationOrder[i];
        }
    }
    device.registrationCount = static_cast<std::uint8_t>(kept);
    // Losing its holder releases a reservation; an all-registrants reservation is held by every
    // registrant and goes only with the last of them.
    if (device.reserved) {
        const bool released = IsAllRegistrantsType(device.type) ? device.registrationCount == 0
                                                                : device.holder == nexus;
        if (released) {
            ReleaseReservation(device);
        }
    }
}

void DiskModel::ReleaseReservation(Device& device) {
    device.reserved = false;
    device.holder = 0;
    device.type = 0;
    device.scope = 0;
}

bool DiskModel::IsHolder(const Device& device, std::uint32_t nexus) {
    if (!device.reserved || !device.registered[nexus]) {
        return false;
    }
    return IsAllRegistrantsType(device.type) || device.holder == nexus;
}

// Whether a command other than PERSISTENT RESERVE IN/OUT that reads (or writes) the medium
// conflicts with the device's reservation for this nexus.
bool DiskModel::AccessConflicts(const Device& device, std::uint32_t nexus, bool writes) {
    if (!device.reserved || IsHolder(device, nexus)) {
        return false;
    }
    const bool registered = device.registered[nexus];
    switch (device.type) {
        case kTypeWriteExclusive:
            return writes;
        case kTypeExclusiveAccess:
            return true;
        case kTypeWriteExclusiveRegistrantsOnly:
        case kTypeWriteExclusiveAllRegistrants:
            return !registered && writes;
        case kTypeExclusiveAccessAllRegistrants:
            return !registered && (writes || (device.quirks & kQuirkAllRegistrantsOpen) == 0);
        default:  // Exclusive Access - Registrants Only
            return !registered;
    }
}

DiskModel::ScsiOutcome DiskModel::MediumAccess(const Device& device, std::uint32_t nexus,
                                               bool writes, std::uint64_t lba, std::uint64_t blocks,
                                               std::uint32_t dataOutLength, std::uint8_t* dataIn,
                                               std::uint32_t dataInCapacity) {
    if (AccessConflicts(device, nexus, writes)) {
        return Conflict();
    }
    if (lba > kBlockCount || blocks > kBlockCount - lba) {
        return IllegalRequest(scsi::kAscLbaOutOfRange);
    }
    // The medium is not kept: reads give zeros, writes are taken and dropped.
    const std::uint64_t bytes = blocks * kBlockSize;
    ScsiOutcome outcome = Good();
    if (writes) {
        outcome.dataOutLength =
            bytes < dataOutLength ? static_cast<std::uint32_t>(bytes) : dataOutLength;
    } else {
        outcome.dataInLength =
            bytes < dataInCapacity ? static_cast<std::uint32_t>(bytes) : dataInCapacity;
        Fill(dataIn, 0, outcome.dataInLength);
    }
    return outcome;
}

DiskModel::ScsiOutcome DiskModel::Execute(std::uint32_t device, Nexus nexus,
                                          const std::uint8_t* cdb, std::uint32_t cdbLength,
                                          const std::uint8_t* dataOut, std::uint32_t dataOutLength,
                                          std::uint8_t* dataIn, std::uint32_t dataInCapacity) {
    if (dataOut == nullptr) {
        dataOutLength = 0;
    }
    if (dataIn == nullptr) {
        dataInCapacity = 0;
    }
    Device* found = FindDevice(device);
    const bool nexusExists = nexus.foreign ? nexus.index < kForeignCount
                                           : (nexus.index < kPathCount && found != nullptr &&
                                              found->pathPresent[nexus.index]);
    if (found == nullptr || !nexusExists) {
        return IllegalRequest(scsi::kAscLogicalUnitNotSupported);
    }
    if (cdb == nullptr || cdbLength == 0) {
        return IllegalRequest(scsi::kAscInvalidCommandOperationCode);
    }
    const std::uint32_t number = nexus.foreign ? kPathCount + nexus.index : nexus.index;
    Device& d = *found;

    // A pending unit attention answers the nexus's next command, which does not run; INQUIRY and
    // REPORT LUNS neither report nor clear one.
    std::uint16_t attention = 0;
    if (cdb[0] != scsi::kOpInquiry && cdb[0] != scsi::kOpReportLuns &&
        TakeUnitAttention(d, number, attention)) {
        return CheckCondition(scsi::kSenseUnitAttention, attention);
    }

    switch (cdb[0]) {
        case scsi::kOpTestUnitReady:
            return cdbLength >= 6 ? Good() : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpInquiry:
            return cdbLength >= 6 ? Inquiry(cdb, dataIn, dataInCapacity)
                                  : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpReadCapacity10:
            return cdbLength >= 10 ? ReadCapacity(dataIn, dataInCapacity)
                                   : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpRead10:
        case scsi::kOpWrite10:
            return cdbLength >= 10
                       ? MediumAccess(d, number, cdb[0] == scsi::kOpWrite10, LoadBe32(cdb + 2),
                                      LoadBe16(cdb + 7), dataOutLength, dataIn, dataInCapacity)
                       : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpRead16:
            return cdbLength >= 16 ? MediumAccess(d, number, false, LoadBe64(cdb + 2),
                                                  LoadBe32(cdb + 10), 0, dataIn, dataInCapacity)
                                   : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpReportLuns:
            return cdbLength >= 12 ? ReportLuns(cdb, dataIn, dataInCapacity)
                                   : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpPersistentReserveIn:
            return cdbLength >= 10 ? ReserveIn(d, cdb, dataIn, dataInCapacity)
                                   : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        case scsi::kOpPersistentReserveOut:
            return cdbLength >= 10 ? ReserveOut(d, number, cdb, dataOut, dataOutLength)
                                   : IllegalRequest(scsi::kAscInvalidFieldInCdb);
        default:
            return IllegalRequest(scsi::kAscInvalidCommandOperationCode);
    }
}

DiskModel::ScsiOutcome DiskModel::Inquiry(const std::uint8_t* cdb, std::uint8_t* dataIn,
                                          std::uint32_t capacity) {
    if ((cdb[1] & 0x01) != 0 || cdb[2] != 0) {
        return IllegalRequest(scsi::kAscInvalidFieldInCdb);  // no vital product data pages
    }
    constexpr std::uint32_t kInquiryLength = 36;
    std::uint8_t data[kInquiryLength] = {};
    data[0] = 0x00;  // direct-access block device
    data[2] = 0x05;  // SPC-3
    data[3] = 0x02;  // response data format
    data[4] = kInquiryLength - 5;
    const char identity[] = "VLKSIM  VIRTUAL DISK    1.0 ";
    for (std::uint32_t i = 0; i < 28; ++i) {
        data[8 + i] = static_cast<std::uint8_t>(identity[i]);
    }
    ScsiOutcome outcome = Good();
    outcome.dataInLength = Min(Min(kInquiryLength, LoadBe16(cdb + 3)), capacity);
    Copy(dataIn, data, outcome.dataInLength);
    return outcome;
}

DiskModel::ScsiOutcome DiskModel::ReadCapacity(std::uint8_t* dataIn, std::uint32_t capacity) {
    constexpr std::uint32_t kCapacityLength = 8;
    std::uint8_t data[kCapacityLength];
    StoreBe32(data, kBlockCount - 1);
    StoreBe32(data + 4, kBlockSize);
    ScsiOutcome outcome = Good();
    outcome.dataInLength = Min(kCapacityLength, capacity);
    Copy(dataIn, data, outcome.dataInLength);
    return outcome;
}

// One logical unit, LUN 0, behind every device.
DiskModel::ScsiOutcome DiskModel::ReportLuns(const std::uint8_t* cdb, std::uint8_t* dataIn,
                                             std::uint32_t capacity) {
    if (cdb[2] > 0x02) {
        return IllegalRequest(scsi::kAscInvalidFieldInCdb);  // SELECT REPORT: 0, 1 or 2
    }
    DataIn out{dataIn, Min(LoadBe32(cdb + 6), capacity)};
    out.Be32(8);  // LUN LIST LENGTH
    out.Zeros(4);
    out.Zeros(8);  // LUN 0
    return out.Done();
}

DiskModel::ScsiOutcome DiskModel::ReserveIn(const Device& device, const std::uint8_t* cdb,
                                            std::uint8_t* dataIn, std::uint32_t capacity) {
    DataIn out{dataIn, Min(LoadBe16(cdb + 7), capacity)};
    switch (cdb[1] & 0x1F) {
        case scsi::kReadKeys:
            WriteKeys(device, out);
            break;
        case scsi::kReadReservation:
            WriteReservation(device, out);
            break;
        case scsi::kReportCapabilities:
            WriteCapabilities(device, out);
            break;
        case scsi::kReadFullStatus:
            WriteFullStatus(device, out);
            break;
        default:
            return IllegalRequest(scsi::kAscInvalidFieldInCdb);
    }
    return out.Done();
}

// Generation, ADDITIONAL LENGTH, then the keys in the order the nexuses registered.
void DiskModel::WriteKeys(const Device& device, DataIn& out) {
    out.Be32(device.generation);
    out.Be32(8 * device.registrationCount);
    for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
        out.Bytes(device.keys[device.registrationOrder[i]], 8);
    }
}

// Generation, ADDITIONAL LENGTH 0 or 16, then the reservation: the holder's key (zero for an
// all-registrants reservation, which every registrant holds), the scope-specific address, a
// reserved byte, scope and type, two reserved bytes.
void DiskModel::WriteReservation(const Device& device, DataIn& out) {
    out.Be32(device.generation);
    out.Be32(device.reserved ? 16 : 0);
    if (!device.reserved) {
        return;
    }
    if (IsAllRegistrantsType(device.type)) {
        out.Zeros(8);
    } else {
        out.Bytes(device.keys[device.holder], 8);
    }
    out.Zeros(5);
    out.Byte(static_cast<std::uint8_t>((device.scope << 4) | device.type));
    out.Zeros(2);
}

// LENGTH 8; no SPEC_I_PT or ALL_TG_PT (CRH, SIP_C, ATP_C zero), PTPL_C and PTPL_A as the device
// has them (zero unless it is persist capable); the type mask is valid (TMV) and holds 1h, 3h,
// 5h, 6h, 7h (byte 4) and 8h (byte 5).
void DiskModel::WriteCapabilities(const Device& device, DataIn& out) {
    out.Be16(8);
    out.Byte(device.persistCapable ? 0x01 : 0x00);
    out.Byte(device.persistActive ? 0x81 : 0x80);
    out.Byte(0xEA);
    out.Byte(0x01);
    out.Zeros(2);
}

// Generation, ADDITIONAL LENGTH, then one descriptor per registration in registration order: the
// key, ALL_TG_PT (never set) and R_HOLDER, scope and type for a holder, the relative target port
// and the nexus's TransportID.
void DiskModel::WriteFullStatus(const Device& device, DataIn& out) {
    constexpr std::uint32_t kDescriptorHeader = 24;
    std::uint32_t additional = 0;
    // The TransportID of a nexus: 4 header bytes and its port text with at least one
    // terminating zero, padded to a multiple of four.
    char text[kPortTextMax];
    std::uint32_t textLength = 0;
    const auto port = [&device, &text, &textLength](std::uint32_t nexus) {
        const std::uint32_t f = nexus >= kPathCount ? nexus - kPathCount : 0;
        const std::uint32_t named = nexus >= kPathCount ? device.portNameLengths[f] : 0;
        const bool sessions =
            PortText(device.portNames[f], named, device.portIsids[f], nexus, text, textLength);
        return sessions;
    };
    const auto idLength = [&textLength]() {
        return 4 + ((textLength + 1 + 3) & ~std::uint32_t{3});
    };
    for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
        port(device.registrationOrder[i]);
        additional += kDescriptorHeader + idLength();
    }
    out.Be32(device.generation);
    out.Be32(additional);
    for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
        const std::uint32_t nexus = device.registrationOrder[i];
        const bool holder = IsHolder(device, nexus);
        if ((device.quirks & kQuirkFullStatusKeySwapped) != 0) {
            for (std::uint32_t b = 8; b > 0; --b) {
                out.Byte(device.keys[nexus][b - 1]);
            }
        } else {
            out.Bytes(device.keys[nexus], 8);
        }
        out.Zeros(4);
        out.Byte(holder ? 0x01 : 0x00);
        out.Byte(holder ? static_cast<std::uint8_t>((device.scope << 4) | device.type) : 0);
        out.Zeros(4);
        out.Be16(kRelativeTargetPort);
        const bool sessions = port(nexus);
        const std::uint32_t length = idLength();
        out.Be32(length);
        out.Byte(sessions ? kIscsiSessionTransportId : kIscsiTransportId);
        out.Byte(0);
        out.Be16(static_cast<std::uint16_t>(length - 4));
        out.Bytes(reinterpret_cast<const std::uint8_t*>(text), textLength);
        out.Zeros(length - 4 - textLength);
    }
}

DiskModel::ScsiOutcome DiskModel::ReserveOut(Device& device, std::uint32_t nexus,
                                             const std::uint8_t* cdb, const std::uint8_t* dataOut,
                                             std::uint32_t dataOutLength) {
    const std::uint8_t action = cdb[1] & 0x1F;
    const std::uint8_t scope = static_cast<std::uint8_t>(cdb[2] >> 4);
    const std::uint8_t type = cdb[2] & 0x0F;

    // What the command block alone decides, before any parameter data moves.
    switch (action) {
        case scsi::kRegister:
        case scsi::kRegisterAndIgnoreExistingKey:
        case scsi::kClear:
            break;  // scope and type are ignored
        case scsi::kPreemptAndAbort:
            if ((device.quirks & kQuirkNoPreemptAbort) != 0) {
                return IllegalRequest(scsi::kAscInvalidFieldInCdb);
            }
            break;  // as PREEMPT
        case scsi::kPreempt:
            break;  // scope and type matter only when a reservation is taken
        case scsi::kReserve:
        case scsi::kRelease:
            if (scope != kScopeLogicalUnit || !IsValidType(type)) {
                return IllegalRequest(scsi::kAscInvalidFieldInCdb);
            }
            break;
        default:
            return IllegalRequest(scsi::kAscInvalidFieldInCdb);
    }
    if (LoadBe32(cdb + 5) != scsi::kParameterListLength) {
        return IllegalRequest(scsi::kAscParameterListLengthError);
    }
    // The device asks for the whole list; a data-out transfer shorter than that ends it.
    if (dataOutLength < scsi::kParameterListLength) {
        ScsiOutcome outcome = IllegalRequest(scsi::kAscParameterListLengthError);
        outcome.dataOutLength = dataOutLength;
        return outcome;
    }
    ParameterList list;
    Copy(list.reservationKey, dataOut, 8);
    Copy(list.serviceActionKey, dataOut + 8, 8);
    list.flags = dataOut[20];

    ScsiOutcome outcome;
    if (action == scsi::kRegister || action == scsi::kRegisterAndIgnoreExistingKey) {
        outcome = ServeRegister(device, nexus, list, action == scsi::kRegisterAndIgnoreExistingKey);
    } else if (!KeyMatches(device, nexus, list.reservationKey)) {
        // Every other service action needs the nexus registered under the key it sends.
        outcome = Conflict();
    } else if (action == scsi::kReserve) {
        outcome = ServeReserve(device, nexus, scope, type);
    } else if (action == scsi::kRelease) {
        outcome = ServeRelease(device, nexus, scope, type);
    } else if (action == scsi::kClear) {
        outcome = ServeClear(device, nexus);
    } else {
        // Without a task set there is nothing to abort: PREEMPT AND ABORT is PREEMPT.
        outcome = ServePreempt(device, nexus, list, scope, type);
    }
    outcome.dataOutLength = scsi::kParameterListLength;
    return outcome;
}

bool DiskModel::KeyMatches(const Device& device, std::uint32_t nexus, const std::uint8_t* key) {
    return device.registered[nexus] && KeysEqual(device.keys[nexus], key);
}

DiskModel::ScsiOutcome DiskModel::ServeRegister(Device& device, std::uint32_t nexus,
                                                const ParameterList& list, bool ignoreKey) {
    if ((list.flags & (kSpecifyInitiatorPorts | kAllTargetPorts)) != 0) {
        return IllegalRequest(scsi::kAscInvalidFieldInCdb);
    }
    const bool persists = (list.flags & kPersistThroughPowerLoss) != 0;
    if (persists && !device.persistCapable) {
        return IllegalRequest(scsi::kAscInvalidFieldInParameterList);
    }
    const bool unregisters = KeyIsZero(list.serviceActionKey);
    if (!device.registered[nexus]) {
        if (!ignoreKey && !KeyIsZero(list.reservationKey)) {
            return Conflict();
        }
        if (unregisters) {
            return Good();  // two zero keys from an unregistered nexus: nothing happens at all
        }
    } else if (!ignoreKey && !KeyMatches(device, nexus, list.reservationKey)) {
        return Conflict();
    }
    device.persistActive = persists;  // the APTPL of the last REGISTER that did something
    if (unregisters) {
        // The holder of a registrants-only reservation takes it along (5.6.10.3); the others
        // registered hear of it.
        const bool releases = IsHolder(device, nexus) && IsRegistrantsOnlyType(device.type);
        Unregister(device, nexus);
        if (releases) {
            TellRegistrants(device, nexus, scsi::kAscReservationsReleased);
        }
    } else {
        Register(device, nexus, list.serviceActionKey);
        // The pair's two paths share one registration: the other path's goes, unannounced.
        const std::uint32_t partner = nexus ^ 1;
        if ((device.quirks & kQuirkRegisterOverwritesPartner) != 0 && nexus < kPathCount &&
            partner < kPathCount && device.registered[partner]) {
            Unregister(device, partner);
        }
    }
    ++device.generation;
    return Good();
}

DiskModel::ScsiOutcome DiskModel::ServeReserve(Device& device, std::uint32_t nexus,
                                               std::uint8_t scope, std::uint8_t type) {
    if (!device.reserved) {
        SetReservation(device, nexus, type);
        return Good();
    }
    // Another nexus holds it (a mere registrant of a registrants-only reservation is not a
    // holder), or the holder asks for a different one.
    if (!IsHolder(device, nexus) || device.type != type || device.scope != scope ||
        (device.quirks & kQuirkReserveAgainConflicts) != 0) {
        return Conflict();
    }
    return Good();
}

DiskModel::ScsiOutcome DiskModel::ServeRelease(Device& device, std::uint32_t nexus,
                                               std::uint8_t scope, std::uint8_t type) {
    if (!IsHolder(device, nexus)) {
        return Good();  // no reservation, or not the holder: nothing changes
    }
    if (device.type != type || device.scope != scope) {
        return IllegalRequest(scsi::kAscInvalidReleaseOfPersistentReservation);
    }
    ReleaseReservation(device);
    // Only the reservations that others share or may take part in are announced (5.6.10.2).
    if (IsRegistrantsOnlyType(type) || IsAllRegistrantsType(type)) {
        TellRegistrants(device, nexus, scsi::kAscReservationsReleased);
    }
    return Good();
}

DiskModel::ScsiOutcome DiskModel::ServeClear(Device& device, std::uint32_t nexus) {
    RemoveRegistrations(device, nullptr, nexus, false, scsi::kAscReservationsPreempted);
    MoveGeneration(device);
    return Good();
}

// PREEMPT (5.6.10.4): the SERVICE ACTION RESERVATION KEY names the registrations to remove. When it
// names the holder, or is zero under an all-registrants reservation, the reservation is preempted:
// those registrations go (the preempting nexus keeps its own) and the preempting nexus takes a
// reservation of the command's scope and type. Otherwise only the registrations go, the
// preempting nexus's own too when it bears that key.
DiskModel::ScsiOutcome DiskModel::ServePreempt(Device& device, std::uint32_t nexus,
                                               const ParameterList& list, std::uint8_t scope,
                                               std::uint8_t type) {
    const std::uint8_t* victim = list.serviceActionKey;
    const bool allRegistrants = device.reserved && IsAllRegistrantsType(device.type);
    if (KeyIsZero(victim)) {
        if (!allRegistrants) {
            return IllegalRequest(scsi::kAscInvalidFieldInParameterList);
        }
    } else {
        bool found = false;
        for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
            found = found || KeysEqual(device.keys[device.registrationOrder[i]], victim);
        }
        if (!found) {
            return Conflict();
        }
    }
    const bool preempts = allRegistrants
                              ? KeyIsZero(victim)
                              : device.reserved && KeysEqual(device.keys[device.holder], victim);
    if (!preempts) {
        RemoveRegistrations(device, victim, nexus, false, scsi::kAscRegistrationsPreempted);
    } else if (scope != kScopeLogicalUnit || !IsValidType(type)) {
        return IllegalRequest(scsi::kAscInvalidFieldInCdb);
    } else {
        // preempt-drops-own: the sender bearing the holder's key goes with the holder, and the
        // reservation with them (SetReservation takes no unregistered nexus), which the
        // registrants left hear of as a release.
        const bool dropsOwn =
            (device.quirks & kQuirkPreemptDropsOwn) != 0 && KeysEqual(device.keys[nexus], victim);
        const bool changes = device.type != type || device.scope != scope || dropsOwn;
        RemoveRegistrations(device, allRegistrants ? nullptr : victim, nexus, !dropsOwn,
                            scsi::kAscRegistrationsPreempted);
        if (changes) {
            TellRegistrants(device, nexus, scsi::kAscReservationsReleased);
        }
        SetReservation(device, nexus, type);
    }
    MoveGeneration(device);
    return Good();
}

void DiskModel::RemoveRegistrations(Device& device, const std::uint8_t* key, std::uint32_t issuer,
                                    bool keepIssuer, std::uint16_t attention) {
    // From the end: Unregister closes the gap behind the one removed.
    for (std::uint32_t i = device.registrationCount; i > 0; --i) {
        const std::uint32_t other = device.registrationOrder[i - 1];
        if ((key != nullptr && !KeysEqual(device.keys[other], key)) ||
            (other == issuer && keepIssuer)) {
            continue;
        }
        if (other != issuer) {
            RaiseUnitAttention(device, other, attention);
        }
        Unregister(device, other);
    }
}

void DiskModel::MoveGeneration(Device& device) {
    if ((device.quirks & kQuirkGenerationStuck) == 0) {
        ++device.generation;
    }
}

// A kind already pending for the nexus is not queued again: it would tell nothing new.
void DiskModel::RaiseUnitAttention(Device& device, std::uint32_t nexus, std::uint16_t attention) {
    if (!device.unitAttentions || (device.quirks & kQuirkNoUnitAttentions) != 0) {
        return;
    }
    std::uint8_t& count = device.attentionCount[nexus];
    for (std::uint32_t i = 0; i < count; ++i) {
        if (device.attentions[nexus][i] == attention) {
            return;
        }
    }
    if (count < kUnitAttentionsKept) {
        device.attentions[nexus][count++] = attention;
    }
}

void DiskModel::TellRegistrants(Device& device, std::uint32_t issuer, std::uint16_t attention) {
    for (std::uint32_t i = 0; i < device.registrationCount; ++i) {
        if (device.registrationOrder[i] != issuer) {
            RaiseUnitAttention(device, device.registrationOrder[i], attention);
        }
    }
}

bool DiskModel::TakeUnitAttention(Device& device, std::uint32_t nexus, std::uint16_t& attention) {
    std::uint8_t& count = device.attentionCount[nexus];
    if (count == 0) {
        return false;
    }
    std::uint16_t* queue = device.attentions[nexus];
    attention = queue[0];
    for (std::uint32_t i = 1; i < count; ++i) {
        queue[i - 1] = queue[i];
    }
    --count;
    return true;
}

std::int32_t DiskModel::PassThrough(std::uint32_t controlCode, const std::uint8_t* input,
                                    std::uint32_t inputLength, std::uint8_t* output,
                                    std::uint32_t outputLength, std::uint32_t* bytesReturned) {
    if (controlCode != kPassThroughCode) {
        return kStatusInvalidDeviceRequest;
    }
    if (input == nullptr || output == nullptr || bytesReturned == nullptr ||
        inputLength != kRequestSize || outputLength < kReplySize) {
        return kStatusInvalidParameter;
    }
    // The output may overlap the input: take all of it first.
    std::uint8_t request[kRequestSize];
    Copy(request, input, kRequestSize);
    const std::uint8_t* header = request + tessaly::request_offset::kHeader;

    const std::uint32_t cdbLength = header[at::kCdbLength];
    const std::uint32_t senseInfoLength = header[at::kSenseInfoLength];
    const std::uint8_t direction = header[at::kDataIn];
    const std::uint32_t transferLength = LoadLe32(header + at::kDataTransferLength);
    if (LoadLe16(header + at::kLength) != kHeaderLength || cdbLength == 0 ||
        cdbLength > kMaxCdbLength || senseInfoLength > kSenseAreaSize || direction > 1 ||
        transferLength > kDataAreaSize ||
        LoadLe64(header + at::kDataBufferOffset) != at::kDataArea ||
        LoadLe32(header + at::kSenseInfoOffset) != at::kSenseArea) {
        return kStatusInvalidParameter;
    }
    const std::uint32_t device = LoadLe32(request + tessaly::request_offset::kDeviceNumber);
    const std::uint32_t path = LoadLe32(request + tessaly::request_offset::kPathNumber);
    if (!HasPath(device, path)) {
        return kStatusNoSuchDevice;
    }

    // The reply block: header, filler, sense area and the transfer's data bytes, as far as the
    // output reaches. Every byte the device does not answer keeps the value the request had.
    const std::uint32_t extent = Min(outputLength, at::kDataArea + transferLength);
    Copy(output, header, extent);
    const bool dataIn = direction == 1;
    const std::uint32_t dataInCapacity = dataIn ? extent - at::kDataArea : 0;
    const ScsiOutcome outcome = Execute(
        device, Nexus{false, path}, header + at::kCdb, cdbLength,
        dataIn ? nullptr : request + tessaly::request_offset::kDataArea,
        dataIn ? 0 : transferLength, dataIn ? output + at::kDataArea : nullptr, dataInCapacity);

    output[at::kScsiStatus] = outcome.status;
    StoreLe32(output + at::kDataTransferLength,
              dataIn ? outcome.dataInLength : outcome.dataOutLength);
    if (outcome.status == kScsiCheckCondition) {
        Copy(output + at::kSenseArea, outcome.sense, Min(outcome.senseLength, senseInfoLength));
    }
    *bytesReturned = extent;
    return kStatusSuccess;
}

}  // namespace vlksim
