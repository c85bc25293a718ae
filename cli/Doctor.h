// tessaly-cli doctor: reads each device over every path this host has to it and reports what is
// wrong with its persistent reservations, each finding with a stable code, a severity, the
// devices and paths it concerns, a sentence, and the command line that mends it where one does.
// It only reads.
#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "cli/Arguments.h"
#include "cli/Exchange.h"
#include "cli/Json.h"
#include "cli/Output.h"
#include "cli/Transports.h"

namespace tessaly::cli {

// The exit status of a run that found something above a note (doctor), or of a step that failed
// (validate).
inline constexpr int kFindings = 3;

enum class Severity { Note, Warning, Error };
const char* SeverityName(Severity severity);

struct Finding {
    std::string code;  // "path-not-registered", ...
    Severity severity = Severity::Warning;
    std::vector<std::string> devices;  // as given: "4", "iscsi://host:3260/iqn.../2"
    Json paths = Json::Array();        // VLK path numbers, or iSCSI initiator ports
    std::string text;
    std::string fix;  // a tessaly-cli command line; empty where none mends it
};

Json FindingJson(const Finding& finding);

class Doctor {
  public:
    Doctor(const Invocation& invocation, Exchanger& exchanger, Transports& transports);

    // Reads the invocation's device at `index` (a VLK device over every path it has, a multipath
    // map over its paths, or one iSCSI LUN) and reports it with its findings. Many devices may be
    // examined at once, each from a thread of its own.
    DeviceReport Examine(std::size_t index);

    // Every finding so far, in the order of the devices, those across the devices (split-holders)
    // added once they are all examined.
    std::vector<Finding> Findings() const;
    // Whether one of them is above a note.
    bool Troubled() const;

  private:
    struct Holding {
        std::string device;
        scsi::ReservationKey key;
    };

    const Invocation& in_;
    Exchanger& ex_;
    Transports& transports_;
    std::mutex transportsLock_;
    std::vector<std::vector<Finding>> found_;      // each device's, by its place
    std::vector<std::optional<Holding>> holders_;  // each device's holder key, where one holds it
};

}  // namespace tessaly::cli
