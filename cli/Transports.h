// What this build of the program can reach: a target for each address a person gives. Each
// platform's program brings its own; a transport it lacks answers every command with a failure
// that says so.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "core/DriverPort.h"
#include "report/MessageLookup.h"
#include "scsi/Target.h"
#include "targets/vlk/VlkTarget.h"

namespace tessaly::cli {

class Transports {
  public:
    virtual ~Transports() = default;

    // Device `device` through VLK path `path`.
    virtual std::unique_ptr<scsi::Target> Vlk(std::uint32_t device, std::uint32_t path) = 0;
};

// A target that is not there: every command fails with `text`, nothing is sent.
std::unique_ptr<scsi::Target> Unreachable(std::string where, std::string text);

// The VLK driver's control device through a driver port (the Windows program's, or a stand-in's
// for tests); why it cannot be opened goes to `note`, once.
class DriverTransports : public Transports {
  public:
    DriverTransports(DriverPort& driver, MessageLookup& messages,
                     std::function<void(const std::string&)> note)
        : vlk_(driver, messages, std::move(note)) {}

    std::unique_ptr<scsi::Target> Vlk(std::uint32_t device, std::uint32_t path) override {
        return vlk_.Path(device, path);
    }

  private:
    targets::VlkControlDevice vlk_;
};

}  // namespace tessaly::cli
