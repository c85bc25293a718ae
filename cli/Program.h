// The verbs of tessaly-cli on one device: reads, changes, scan, group clear and fence, each
// filling a DeviceReport from the SCSI outcomes of its commands.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>

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
    // The transports' targets, made one at a time whatever thread asks.
    std::unique_ptr<scsi::Target> VlkTarget(std::uint32_t device, std::uint32_t path);
    // A multipath map's path, by name.
    struct MapPathTarget {
        std::string name;
        scsi::Target* target;
    };
    DeviceReport RunSystemDevice(const std::string& path);
    // The verb on one target, which goes out as `self` ("path 2", "this initiator", "path sdc");
    // `mapPaths`, when the target is one path of a multipath map, every path of it.
    void RunVerb(DeviceReport& r, scsi::Target& t, const std::string& self,
                 const std::vector<MapPathTarget>& mapPaths);
    std::optional<DiskState> ReadState(DeviceReport& r, scsi::Target& t);
    void Read(DeviceReport& r, scsi::Target& t);
    void Scan(DeviceReport& r, scsi::Target& t, const std::vector<MapPathTarget>& mapPaths);
    void Change(DeviceReport& r, scsi::Target& t);
    void ChangeEveryPath(DeviceReport& r, std::uint32_t device);
    void GroupClear(DeviceReport& r, scsi::Target& t, const std::string& self);
    void Fence(DeviceReport& r, scsi::Target& t, const std::string& self);
    void Pause1() { pause_.Sleep(1); }

    const Invocation& in_;
    Exchanger& ex_;
    Pause& pause_;
    Transports& transports_;
    std::mutex transportsLock_;
};

}  // namespace tessaly::cli
