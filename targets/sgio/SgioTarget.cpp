#include "targets/sgio/SgioTarget.h"

#include <fcntl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <array>
#include <cerrno>

#include "scsi/Codes.h"
#include "targets/iscsi/IscsiIdentity.h"
#include "targets/sgio/MultipathMap.h"
#include "targets/sgio/SgioReply.h"

namespace tessaly::targets {
namespace {

constexpr std::size_t kSenseSize = 252;             // the most sense data SPC lets a device return
constexpr std::uint32_t kLongestTimeout = 4294967;  // seconds whose milliseconds fit 32 bits

scsi::Outcome NotSent(scsi::FailureKind kind, std::string text, std::int64_t number = 0) {
    return scsi::Outcome::Failed(kind, std::move(text), number, false);
}

}  // namespace

SgioTarget::SgioTarget(std::string device, std::string sysRoot) : device_(std::move(device)) {
    Identify(sysRoot);
}

SgioTarget::SgioTarget(MapPathOf map, std::string sysRoot)
    : device_("/dev/" + map.path), map_(std::move(map)) {
    Identify(sysRoot);
}

SgioTarget::~SgioTarget() {
    for (const int fd : {readOnly_, readWrite_}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void SgioTarget::Identify(const std::string& sysRoot) {
    const NodeLookup lookup = LookUpNode(device_);
    node_ = lookup.node;
    if (!lookup.number) {
        problem_ = lookup.problem;
        problemError_ = lookup.error;
        return;
    }
    const IdentifiedDevice found = IdentifyDevice(sysRoot, *lookup.number);
    scsi_ = found.scsi;
    if (scsi_) {
        return;
    }
    problem_ = device_ + " " + found.problem;
    if (!found.mapName.empty()) {
        const auto map = MultipathMap::FromBlock(sysRoot, found.name, device_);
        std::string paths;
        for (const MapPath& path : map ? map->Paths() : std::vector<MapPath>{}) {
            paths += (paths.empty() ? "" : ", ") + path.name;
        }
        problem_ += paths.empty() ? ", and it has no paths"
                                  : ": its commands go to its paths one by one (" + paths + ")";
    }
}

int SgioTarget::Descriptor(bool write, scsi::Outcome& failure) {
    int& fd = write ? readWrite_ : readOnly_;
    if (fd < 0) {
        fd = open(node_.c_str(), (write ? O_RDWR : O_RDONLY) | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) {
            failure = OutcomeOfError(
                errno, "cannot open " + node_ + (write ? " for reading and writing" : " read-only"),
                false);
        }
    }
    return fd;
}

scsi::Outcome SgioTarget::Execute(const scsi::Request& request) {
    using scsi::FailureKind;
    if (!scsi_) {
        if (problemError_ == EACCES || problemError_ == EPERM) {
            return OutcomeOfError(problemError_, "cannot reach " + device_, false);
        }
        return NotSent(FailureKind::NoDevice, problem_, problemError_);
    }
    if (request.cdb.size() < 6 || request.cdb.size() > 16) {
        return NotSent(
            FailureKind::NoDevice,
            "not sent: a CDB of " + std::to_string(request.cdb.size()) + " bytes (6 to 16 only)");
    }
    const bool in = request.direction == scsi::Direction::In && request.dataInLength != 0;
    const bool out = request.direction == scsi::Direction::Out && !request.dataOut.empty();
    if (in && request.dataInLength > MaxDataIn()) {
        return NotSent(FailureKind::NoDevice, "not sent: " + std::to_string(request.dataInLength) +
                                                  " bytes asked for, more than " + node_ +
                                                  " takes in one command (" +
                                                  std::to_string(MaxDataIn()) + ")");
    }
    scsi::Outcome failure;
    const int fd = Descriptor(out || request.cdb[0] == scsi::kOpPersistentReserveOut, failure);
    if (fd < 0) {
        return failure;
    }

    std::vector<std::uint8_t> buffer(in ? request.dataInLength : 0);
    std::array<std::uint8_t, kSenseSize> sense{};
    const std::uint32_t seconds =
        request.timeoutSeconds == 0
            ? kSgioDefaultTimeout
            : (request.timeoutSeconds < kLongestTimeout ? request.timeoutSeconds : kLongestTimeout);
    sg_io_hdr_t io{};
    io.interface_id = 'S';
    io.cmd_len = static_cast<unsigned char>(request.cdb.size());
    io.cmdp = const_cast<unsigned char*>(request.cdb.data());
    io.mx_sb_len = static_cast<unsigned char>(sense.size());
    io.sbp = sense.data();
    io.timeout = seconds * 1000;
    if (in) {
        io.dxfer_direction = SG_DXFER_FROM_DEV;
        io.dxfer_len = request.dataInLength;
        io.dxferp = buffer.data();
    } else if (out) {
        io.dxfer_direction = SG_DXFER_TO_DEV;
        io.dxfer_len = static_cast<unsigned int>(request.dataOut.size());
        io.dxferp = const_cast<std::uint8_t*>(request.dataOut.data());
    } else {
        io.dxfer_direction = SG_DXFER_NONE;
    }
    // Not sent again on EINTR: the sg driver leaves an interrupted command running on the device.
    if (ioctl(fd, SG_IO, &io) != 0) {
        return OutcomeOfError(errno, "SG_IO on " + node_, true);
    }
    SgioHeader header;
    header.status = io.status;
    header.hostStatus = io.host_status;
    header.driverStatus = io.driver_status;
    header.senseWritten = io.sb_len_wr;
    header.residual = io.resid;
    header.durationMs = io.duration;
    return OutcomeOfReply(header, sense, std::move(buffer), node_);
}

std::uint32_t SgioTarget::MaxDataIn() const {
    return scsi_ && scsi_->limit != 0 ? scsi_->limit : kSgioDefaultLimit;
}

std::string SgioTarget::InitiatorName() const {
    if (!scsi_ || scsi_->initiatorName.empty()) {
        return {};
    }
    const ParsedIsid isid = ParseIsid(scsi_->isid);
    return isid.ok ? InitiatorPortName(scsi_->initiatorName, isid.isid) : scsi_->initiatorName;
}

std::string SgioTarget::Where() const {
    return map_ ? map_->device + ", path " + map_->path : device_;
}

std::vector<scsi::Fact> SgioTarget::Describe() const {
    using scsi::Fact;
    std::vector<Fact> facts{Fact::Text("kind", "sgio"),
                            Fact::Text("device", map_ ? map_->device : device_)};
    if (map_) {
        facts.push_back(Fact::Text("map", map_->name));
        facts.push_back(Fact::Text("path", map_->path));
    }
    if (!scsi_) {
        return facts;
    }
    facts.push_back(Fact::Text("node", node_));
    const auto add = [&facts](const char* name, const std::string& value) {
        if (!value.empty()) {
            facts.push_back(Fact::Text(name, value));
        }
    };
    add("disk", scsi_->disk.empty() ? "" : "/dev/" + scsi_->disk);
    add("sg", scsi_->generic.empty() ? "" : "/dev/" + scsi_->generic);
    add("scsi_address", scsi_->address);
    add("initiator_name", scsi_->initiatorName);
    add("isid", scsi_->isid);
    return facts;
}

}  // namespace tessaly::targets
