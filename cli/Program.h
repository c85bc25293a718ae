// The verbs of tessaly-cli on one device: reads, changes, scan, group clear and fence, each
// filling a DeviceReport from the SCSI outcomes of its commands.
#pragma once

#include <cstdint>

#include "cli/Arguments.h"
#include "cli/Exchange.h"
#include "cli/Output.h"
#include "cli/Transports.h"
#include "core/Pause.h"

namespace tessaly::cli {

// A registration READ FULL STATUS shows under `name` (an iSCSI name, with ",i,0xISID" where the
// TransportID carries the session) is the nexus `own`'s.
bool SameInitiator(const std::string& name, const std::string& own);

class Program {
  public:
    Program(const Invocation& invocation, Exchanger& exchanger, Pause& pause,
            Transports& transports)
        : in_(invocation), ex_(exchanger), pause_(pause), transports_(transports) {}

    // The command on the device: its number in a VLK range, its LUN in an iSCSI range.
    DeviceReport RunDevice(std::uint32_t device);

  private:
    struct DiskState;
    std::optional<DiskState> ReadState(DeviceReport& r, scsi::Target& t);
    void Read(DeviceReport& r, scsi::Target& t);
    void Scan(DeviceReport& r, scsi::Target& t);
    void Change(DeviceReport& r, scsi::Target& t);
    void ChangeEveryPath(DeviceReport& r, std::uint32_t device);
    void GroupClear(DeviceReport& r, scsi::Target& t);
    void Fence(DeviceReport& r, scsi::Target& t);
    void Pause1() { pause_.Sleep(1); }
    // The initiator the commands go out as, for a person: "path 2", or "this initiator" on iSCSI.
    std::string Self() const {
        return in_.iscsi ? std::string("this initiator") : "path " + std::to_string(in_.path);
    }

    const Invocation& in_;
    Exchanger& ex_;
    Pause& pause_;
    Transports& transports_;
};

}  // namespace tessaly::cli
