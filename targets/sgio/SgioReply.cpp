#include "targets/sgio/SgioReply.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "scsi/Codes.h"
#include "scsi/Sense.h"

namespace tessaly::targets {
namespace {

using scsi::FailureKind;

struct StatusRow {
    std::uint16_t code;
    const char* name;
    const char* words;
    FailureKind kind;
};

// The host statuses of the kernel's SCSI midlayer (DID_...), as SG_IO passes them on.
constexpr std::array<StatusRow, 20> kHostStatuses{{
    {0x01, "DID_NO_CONNECT", "no connection to the device", FailureKind::NoDevice},
    {0x02, "DID_BUS_BUSY", "the bus stayed busy", FailureKind::Failed},
    {0x03, "DID_TIME_OUT", "the command timed out", FailureKind::Interrupted},
    {0x04, "DID_BAD_TARGET", "the target is not there", FailureKind::NoDevice},
    {0x05, "DID_ABORT", "the command was aborted", FailureKind::Interrupted},
    {0x06, "DID_PARITY", "parity error", FailureKind::Failed},
    {0x07, "DID_ERROR", "internal error of the host adapter's driver", FailureKind::Failed},
    {0x08, "DID_RESET", "the command ended in a reset", FailureKind::Interrupted},
    {0x09, "DID_BAD_INTR", "unexpected interrupt", FailureKind::Failed},
    {0x0A, "DID_PASSTHROUGH", "forced through", FailureKind::Failed},
    {0x0B, "DID_SOFT_ERROR", "the host adapter's driver asks for a retry", FailureKind::Failed},
    {0x0C, "DID_IMM_RETRY", "to be sent again at once", FailureKind::Failed},
    {0x0D, "DID_REQUEUE", "to be queued again", FailureKind::Failed},
    {0x0E, "DID_TRANSPORT_DISRUPTED", "the transport was disrupted while the command was out",
     FailureKind::Interrupted},
    {0x0F, "DID_TRANSPORT_FAILFAST", "the transport failed the command fast: the path is down",
     FailureKind::Interrupted},
    {0x10, "DID_TARGET_FAILURE", "permanent failure of the target", FailureKind::Failed},
    {0x11, "DID_NEXUS_FAILURE", "permanent failure of the I_T nexus", FailureKind::Failed},
    {0x12, "DID_ALLOC_FAILURE", "the target could not allocate space", FailureKind::Failed},
    {0x13, "DID_MEDIUM_ERROR", "medium error", FailureKind::Failed},
    {0x14, "DID_TRANSPORT_MARGINAL", "the path is marginal", FailureKind::Failed},
}};

// The driver byte (its low four bits) that kernels before 5.14 set on their own.
constexpr std::uint16_t kDriverSense = 0x08;
constexpr std::array<StatusRow, 8> kDriverStatuses{{
    {0x01, "DRIVER_BUSY", "the driver was busy", FailureKind::Failed},
    {0x02, "DRIVER_SOFT", "soft error of the driver", FailureKind::Failed},
    {0x03, "DRIVER_MEDIA", "media error", FailureKind::Failed},
    {0x04, "DRIVER_ERROR", "error of the driver", FailureKind::Failed},
    {0x05, "DRIVER_INVALID", "invalid request", FailureKind::Failed},
    {0x06, "DRIVER_TIMEOUT", "the command timed out", FailureKind::Interrupted},
    {0x07, "DRIVER_HARD", "hard error of the driver", FailureKind::Failed},
    {kDriverSense, "DRIVER_SENSE", "sense data came back", FailureKind::None},
}};
// What the high four bits of the driver status suggest (SUGGEST_...).
constexpr std::array<StatusRow, 5> kSuggestions{{
    {0x1, "SUGGEST_RETRY", "", FailureKind::None},
    {0x2, "SUGGEST_ABORT", "", FailureKind::None},
    {0x3, "SUGGEST_REMAP", "", FailureKind::None},
    {0x4, "SUGGEST_DIE", "", FailureKind::None},
    {0x8, "SUGGEST_SENSE", "", FailureKind::None},
}};

// Host statuses with which kernels before 5.14 marked an answer the device did send: a
// RESERVATION CONFLICT (DID_NEXUS_FAILURE), certain CHECK CONDITIONs (the others).
bool MarksDeviceAnswer(std::uint16_t hostStatus, std::uint8_t status) {
    switch (hostStatus) {
        case 0x11:
            return status == scsi::kStatusReservationConflict;
        case 0x10:
        case 0x12:
        case 0x13:
            return status == scsi::kStatusCheckCondition;
        default:
            return false;
    }
}

template <std::size_t N>
const StatusRow* Find(const std::array<StatusRow, N>& rows, std::uint16_t code) {
    for (const StatusRow& row : rows) {
        if (row.code == code) {
            return &row;
        }
    }
    return nullptr;
}

std::string Hex(std::uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%02x", value);
    return text;
}

std::string RowText(const StatusRow* row, const char* what, std::uint16_t code) {
    return row != nullptr ? std::string(row->name) + " (" + row->words + ")"
                          : std::string(what) + " " + Hex(code);
}

}  // namespace

std::string HostStatusText(std::uint16_t hostStatus) {
    return RowText(Find(kHostStatuses, hostStatus), "host status", hostStatus);
}

std::string DriverStatusText(std::uint16_t driverStatus) {
    const std::uint16_t driver = driverStatus & 0x0F;
    const std::uint16_t suggestion = driverStatus >> 4;
    std::string text;
    if (driver != 0 || suggestion == 0) {
        text = RowText(Find(kDriverStatuses, driver), "driver status", driver);
    }
    if (suggestion != 0) {
        const StatusRow* row = Find(kSuggestions, suggestion);
        text += (text.empty() ? "" : ", ") +
                (row != nullptr ? std::string(row->name)
                                : Hex(static_cast<std::uint16_t>(suggestion << 4)));
    }
    return text;
}

scsi::Outcome OutcomeOfReply(const SgioHeader& header, std::span<const std::uint8_t> sense,
                             std::vector<std::uint8_t> buffer, const std::string& where) {
    const std::uint16_t driver = header.driverStatus & 0x0F;
    const bool hostFailed =
        header.hostStatus != 0 && !MarksDeviceAnswer(header.hostStatus, header.status);
    const bool driverFailed = driver != 0 && driver != kDriverSense;
    if (hostFailed || driverFailed) {
        const StatusRow* host = Find(kHostStatuses, header.hostStatus);
        const StatusRow* drv = Find(kDriverStatuses, driver);
        FailureKind kind = FailureKind::Failed;
        if (hostFailed && host != nullptr) {
            kind = host->kind;
        }
        if (driverFailed && drv != nullptr && drv->kind == FailureKind::Interrupted) {
            kind = FailureKind::Interrupted;
        }
        std::string text = "SG_IO on " + where + ": ";
        if (hostFailed) {
            text += "the host adapter's driver reports " + HostStatusText(header.hostStatus);
        }
        if (driverFailed) {
            text += std::string(hostFailed ? "; " : "") + "the SCSI driver reports " +
                    DriverStatusText(header.driverStatus);
        }
        if (header.status != scsi::kStatusGood) {
            text += "; SCSI status " + scsi::StatusName(header.status);
        }
        scsi::Outcome outcome = scsi::Outcome::Failed(
            kind, std::move(text), hostFailed ? header.hostStatus : header.driverStatus);
        outcome.facts.push_back(scsi::Fact::Number("host_status", header.hostStatus));
        outcome.facts.push_back(scsi::Fact::Number("driver_status", header.driverStatus));
        outcome.facts.push_back(scsi::Fact::Number("duration_ms", header.durationMs));
        return outcome;
    }

    scsi::Outcome outcome;
    outcome.status = header.status;
    const std::size_t senseLength =
        header.senseWritten < sense.size() ? header.senseWritten : sense.size();
    outcome.sense.assign(sense.begin(), sense.begin() + static_cast<std::ptrdiff_t>(senseLength));
    // A residual outside 0 .. the length asked for is the host adapter's driver's mistake: taken as
    // nothing missing below 0 and as nothing sent above.
    const auto length = static_cast<std::int64_t>(buffer.size());
    const std::int64_t residual =
        header.residual < 0 ? 0 : (header.residual > length ? length : header.residual);
    buffer.resize(static_cast<std::size_t>(length - residual));
    outcome.dataIn = std::move(buffer);
    outcome.residual = static_cast<std::uint32_t>(residual);
    if (header.hostStatus != 0) {
        outcome.facts.push_back(scsi::Fact::Number("host_status", header.hostStatus));
    }
    outcome.facts.push_back(scsi::Fact::Number("duration_ms", header.durationMs));
    return outcome;
}

scsi::Outcome OutcomeOfError(int error, const std::string& what, bool sent) {
    const std::string system = std::strerror(error);
    scsi::Outcome outcome;
    switch (error) {
        case EPERM:
        case EACCES:
            outcome = scsi::Outcome::Failed(
                FailureKind::Failed,
                what + ": " + system +
                    ": tessaly-cli must run as root (with CAP_SYS_RAWIO) to send "
                    "persistent-reservation commands through SG_IO",
                error);
            outcome.facts.push_back(scsi::Fact::NoPermission());
            break;
        case ENOENT:
        case ENXIO:
        case ENODEV:
            outcome = scsi::Outcome::Failed(FailureKind::NoDevice,
                                            what + ": the device is gone (" + system + ")", error);
            break;
        case ETIMEDOUT:
        case EINTR:
            outcome = scsi::Outcome::Failed(FailureKind::Interrupted,
                                            what + ": no answer came back (" + system + ")", error);
            break;
        case EROFS:
            outcome = scsi::Outcome::Failed(
                FailureKind::Failed, what + ": " + system + ": the device takes no changes", error);
            break;
        default:
            outcome = scsi::Outcome::Failed(FailureKind::Failed, what + ": " + system, error);
            break;
    }
    outcome.sent = sent;
    return outcome;
}

}  // namespace tessaly::targets
