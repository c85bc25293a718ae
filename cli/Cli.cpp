#include "cli/Cli.h"

#include <optional>

#include "cli/Arguments.h"
#include "cli/Doctor.h"
#include "cli/Exchange.h"
#include "cli/InOrder.h"
#include "cli/Json.h"
#include "cli/Output.h"
#include "cli/Program.h"
#include "cli/Validate.h"
#include "core/Pause.h"

namespace tessaly::cli {
namespace {

// Standard output that cannot be written (a full disk, a closed pipe) loses the report: a
// script must never take that for success.
bool Written(std::ostream& out, std::ostream& err, const std::string& what) {
    out.flush();
    if (out) {
        return true;
    }
    err << "tessaly-cli: standard output cannot be written: " << what << "\n";
    return false;
}

}  // namespace

int Run(const std::vector<std::string>& arguments, Transports& transports, Pause& pause,
        std::ostream& out, std::ostream& err) {
    const ParsedArguments parsed = ParseArguments(arguments);
    if (!parsed.help.empty()) {
        out << parsed.help;
        return Written(out, err, "the usage is lost") ? kSuccess : kOutputFailed;
    }
    if (!parsed.invocation) {
        err << "tessaly-cli: " << parsed.error << "\n";
        if (parsed.json) {
            Json doc = Json::Object();
            doc.Set("program", "tessaly-cli");
            doc.Set("exit_status", static_cast<int>(kSyntaxError));
            doc.Set("error", parsed.error);
            doc.Set("word", parsed.word.empty() ? Json() : Json(parsed.word));
            out << doc.Dump() << "\n";
        }
        return Written(out, err, "the report is lost") ? kSyntaxError : kOutputFailed;
    }
    const Invocation& in = *parsed.invocation;

    Exchanger exchanger(in.retries, in.timeoutSeconds);
    Program program(in, exchanger, pause, transports);
    Doctor doctor(in, exchanger, transports);
    if (!in.iscsi && in.systemDevices.empty()) {
        transports.OpenVlk();  // its failure said once, before any device
    }

    int exitStatus = kSuccess;
    Json devices = Json::Array();
    // Only the group clear pauses between its commands.
    std::optional<ShortPauses> shortPauses;
    bool wouldChange = false;
    if (in.verb == Verb::GroupClear && in.yes) {
        shortPauses.emplace(pause);
    }
    // Up to --parallel devices at once; each reported in the order given, its notes with it.
    const bool written = RunInOrder<DeviceReport>(
        in.devices.size(), in.parallel,
        [&](std::size_t i) {
            return in.verb == Verb::Doctor     ? doctor.Examine(i)
                   : in.verb == Verb::Validate ? Validate(in, transports, in.devices[i])
                                               : program.RunDevice(in.devices[i]);
        },
        [&](std::size_t, DeviceReport& report) {
            for (const Step& step : report.steps) {
                for (const std::string& note : step.notes) {
                    err << "tessaly-cli: " << note << "\n";
                }
            }
            if (exitStatus == kSuccess) {
                exitStatus = report.exitStatus;
            }
            wouldChange = wouldChange || report.wouldChange;
            if (in.json) {
                devices.Push(DeviceJson(report));
                return true;
            }
            PrintHuman(out, report);
            // Nothing more is begun once a report is lost: the next device would go unreported.
            return Written(out, err,
                           "the report of device " + report.target +
                               " is lost; stopped there, the devices not yet begun were not "
                               "touched");
        });
    if (!written) {
        return kOutputFailed;
    }
    // Across the devices: split holders. Findings above a note end a run without failures with 3.
    Json findings = Json::Array();
    if (in.verb == Verb::Doctor) {
        for (const Finding& f : doctor.Findings()) {
            findings.Push(FindingJson(f));
            if (f.devices.size() > 1 && !in.json) {
                out << "devices " << f.devices.front();
                for (std::size_t i = 1; i < f.devices.size(); ++i) {
                    out << ", " << f.devices[i];
                }
                out << ": a finding across them (" << f.code << ")\n  " << SeverityName(f.severity)
                    << " " << f.code << ": " << f.text << "\n";
            }
        }
        if (exitStatus == kSuccess && doctor.Troubled()) {
            exitStatus = kFindings;
        }
        if (!in.json && !Written(out, err, "the findings across the devices are lost")) {
            return kOutputFailed;
        }
    }
    // Only a plan that would change a device asks for --yes: a range where none would (nothing
    // to do, or a disk validate refuses) does not.
    if (!in.yes && wouldChange) {
        err << "tessaly-cli: nothing was changed; add --yes to " << VerbName(in.verb) << "\n";
    } else if (!in.yes && (in.verb == Verb::GroupClear || in.verb == Verb::Fence)) {
        err << "tessaly-cli: nothing was changed"
            << (exitStatus == kSuccess ? ", and --yes would change nothing either" : "") << "\n";
    }
    if (in.json) {
        Json doc = Json::Object();
        doc.Set("program", "tessaly-cli");
        doc.Set("format_version", kFormatVersion);
        doc.Set("command", VerbName(in.verb));
        doc.Set("path", in.iscsi                                 ? Json()
                        : !in.systemDevices.empty()              ? (in.allPaths           ? Json("all")
                                                                    : in.pathName.empty() ? Json()
                                                                                          : Json(in.pathName))
                        : in.allPaths || in.verb == Verb::Doctor ? Json("all")
                                                                 : Json(in.path));
        doc.Set("yes", in.yes);
        doc.Set("exit_status", exitStatus);
        doc.Set("devices", std::move(devices));
        if (in.verb == Verb::Doctor) {
            doc.Set("findings", std::move(findings));
        }
        out << doc.Dump() << "\n";
        if (!Written(out, err, "the JSON document is lost")) {
            return kOutputFailed;
        }
    }
    return exitStatus;
}

int Run(const std::vector<std::string>& arguments, DriverPort& driver, Pause& pause,
        MessageLookup& messages, std::ostream& out, std::ostream& err) {
    DriverTransports transports(driver, messages, [&err](const std::string& note) {
        err << "tessaly-cli: " << note << "\n";
    });
    return Run(arguments, transports, pause, out, err);
}

}  // namespace tessaly::cli
