#include "scsi/Sense.h"

#include "scsi/Hex.h"

namespace tessaly::scsi {
namespace {

struct AdditionalSense {
    std::uint8_t asc;
    std::uint8_t ascq;
    const char* text;
};
constexpr AdditionalSense kAdditionalSense[] = {
    {0x00, 0x00, "NO ADDITIONAL SENSE INFORMATION"},
    {0x04, 0x00, "LOGICAL UNIT NOT READY, CAUSE NOT REPORTABLE"},
    {0x04, 0x01, "LOGICAL UNIT IS IN PROCESS OF BECOMING READY"},
    {0x04, 0x02, "LOGICAL UNIT NOT READY, INITIALIZING COMMAND REQUIRED"},
    {0x04, 0x03, "LOGICAL UNIT NOT READY, MANUAL INTERVENTION REQUIRED"},
    {0x1A, 0x00, "PARAMETER LIST LENGTH ERROR"},
    {0x20, 0x00, "INVALID COMMAND OPERATION CODE"},
    {0x21, 0x00, "LOGICAL BLOCK ADDRESS OUT OF RANGE"},
    {0x24, 0x00, "INVALID FIELD IN CDB"},
    {0x25, 0x00, "LOGICAL UNIT NOT SUPPORTED"},
    {0x26, 0x00, "INVALID FIELD IN PARAMETER LIST"},
    {0x26, 0x01, "PARAMETER NOT SUPPORTED"},
    {0x26, 0x02, "PARAMETER VALUE INVALID"},
    {0x26, 0x04, "INVALID RELEASE OF PERSISTENT RESERVATION"},
    {0x29, 0x00, "POWER ON, RESET, OR BUS DEVICE RESET OCCURRED"},
    {0x29, 0x01, "POWER ON OCCURRED"},
    {0x2A, 0x01, "MODE PARAMETERS CHANGED"},
    {0x2A, 0x03, "RESERVATIONS PREEMPTED"},
    {0x2A, 0x04, "RESERVATIONS RELEASED"},
    {0x2A, 0x05, "REGISTRATIONS PREEMPTED"},
    {0x2C, 0x00, "COMMAND SEQUENCE ERROR"},
    {0x3A, 0x00, "MEDIUM NOT PRESENT"},
    {0x3F, 0x0E, "REPORTED LUNS DATA HAS CHANGED"},
    {0x55, 0x04, "INSUFFICIENT REGISTRATION RESOURCES"},
};

constexpr const char* kSenseKeys[16] = {
    "NO SENSE",       "RECOVERED ERROR", "NOT READY",      "MEDIUM ERROR",
    "HARDWARE ERROR", "ILLEGAL REQUEST", "UNIT ATTENTION", "DATA PROTECT",
    "BLANK CHECK",    "VENDOR SPECIFIC", "COPY ABORTED",   "ABORTED COMMAND",
    "RESERVED (Ch)",  "VOLUME OVERFLOW", "MISCOMPARE",     "RESERVED (Fh)",
};

}  // namespace

std::string StatusName(std::uint8_t status) {
    switch (status) {
        case 0x00:
            return "GOOD";
        case 0x02:
            return "CHECK CONDITION";
        case 0x04:
            return "CONDITION MET";
        case 0x08:
            return "BUSY";
        case 0x18:
            return "RESERVATION CONFLICT";
        case 0x28:
            return "TASK SET FULL";
        case 0x30:
            return "ACA ACTIVE";
        case 0x40:
            return "TASK ABORTED";
        default:
            return "status " + Hex2(status) + "h";
    }
}

std::optional<Sense> DecodeSense(std::span<const std::uint8_t> sense) {
    if (sense.empty()) {
        return std::nullopt;
    }
    const std::uint8_t code = sense[0] & 0x7F;
    if ((code == 0x70 || code == 0x71) && sense.size() >= 14) {
        return Sense{code, static_cast<std::uint8_t>(sense[2] & 0x0F), sense[12], sense[13]};
    }
    if ((code == 0x72 || code == 0x73) && sense.size() >= 4) {
        return Sense{code, static_cast<std::uint8_t>(sense[1] & 0x0F), sense[2], sense[3]};
    }
    return std::nullopt;
}

const char* SenseKeyName(std::uint8_t key) {
    return kSenseKeys[key & 0x0F];
}

std::string AdditionalSenseText(std::uint8_t asc, std::uint8_t ascq) {
    for (const auto& entry : kAdditionalSense) {
        if (entry.asc == asc && entry.ascq == ascq) {
            return entry.text;
        }
    }
    return "additional sense " + Hex2(asc) + "h/" + Hex2(ascq) + "h";
}

std::string SenseText(const Sense& sense) {
    return std::string(SenseKeyName(sense.key)) + ", " +
           AdditionalSenseText(sense.asc, sense.ascq) + " (" + Hex2(sense.asc) + "h/" +
           Hex2(sense.ascq) + "h)";
}

}  // namespace tessaly::scsi
