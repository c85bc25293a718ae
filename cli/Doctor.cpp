#include "cli/Doctor.h"

#include <algorithm>
#include <map>
#include <optional>
#include <set>

#include "cli/Program.h"
#include "cli/Values.h"
#include "scsi/Codes.h"

namespace tessaly::cli {
namespace {

using scsi::PrAction;

// What one path of this host holds, as READ FULL STATUS names its I_T nexus.
struct PathState {
    Json id;          // the path number, or the initiator port on iSCSI
    std::string who;  // "path 2", "this initiator"
    std::uint32_t path = 0;
    enum class Own { Unknown, None, Key } own = Own::Unknown;
    ReservationKey key{};
    bool holder = false;
};

// The initiator port without its session identifier, and the session identifier ("" for none).
std::pair<std::string, std::string> SplitPort(const std::string& port) {
    const std::size_t at = port.find(",i,");
    return at == std::string::npos ? std::pair{port, std::string()}
                                   : std::pair{port.substr(0, at), port.substr(at + 3)};
}

std::string Join(const std::vector<std::string>& parts, const std::string& glue) {
    std::string text;
    for (const auto& part : parts) {
        text += (text.empty() ? "" : glue) + part;
    }
    return text;
}

std::string PathList(const std::vector<const PathState*>& paths) {
    std::vector<std::string> names;
    for (const PathState* p : paths) {
        names.push_back(std::to_string(p->path));
    }
    return (paths.size() == 1 ? "path " : "paths ") + Join(names, ", ");
}

Json PathIds(const std::vector<const PathState*>& paths) {
    Json ids = Json::Array();
    for (const PathState* p : paths) {
        ids.Push(p->id);
    }
    return ids;
}

bool RegistrantsType(std::uint8_t type) {
    return type == scsi::kTypeWriteExclusiveRegistrantsOnly ||
           type == scsi::kTypeExclusiveAccessRegistrantsOnly || scsi::EveryRegistrantHolds(type);
}

}  // namespace

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Note:
            return "note";
        case Severity::Warning:
            return "warning";
        case Severity::Error:
            return "error";
    }
    return "";
}

Json FindingJson(const Finding& finding) {
    Json json = Json::Object();
    json.Set("code", finding.code);
    json.Set("severity", SeverityName(finding.severity));
    Json devices = Json::Array();
    for (const auto& device : finding.devices) {
        devices.Push(device);
    }
    json.Set("devices", std::move(devices));
    json.Set("paths", finding.paths);
    json.Set("text", finding.text);
    json.Set("fix", finding.fix.empty() ? Json() : Json(finding.fix));
    return json;
}

Doctor::Doctor(const Invocation& invocation, Exchanger& exchanger, Transports& transports)
    : in_(invocation),
      ex_(exchanger),
      transports_(transports),
      found_(invocation.devices.size()),
      holders_(invocation.devices.size()) {}

DeviceReport Doctor::Examine(std::size_t index) {
    const std::uint32_t device = in_.devices[index];
    // The targets this host has to the device: every VLK path that exists, every path of a
    // multipath map, or the one initiator. Made one at a time, whatever thread asks.
    std::unique_lock<std::mutex> making(transportsLock_);
    std::vector<std::unique_ptr<scsi::Target>> targets;
    std::vector<PathState> paths;
    DeviceReport r;
    std::string asGiven;
    std::vector<Step> absent;
    if (in_.iscsi) {
        const auto lun = static_cast<std::uint16_t>(device);
        targets.push_back(
            transports_.Iscsi(*in_.iscsi, lun, {in_.initiatorName, in_.isid, in_.timeoutSeconds}));
        asGiven = targets::FormatIscsiAddress(*in_.iscsi, lun);
        r = ReportFor(*targets.front(), asGiven, Json(device), Json());
        paths.push_back({Json(targets.front()->InitiatorName()), "this initiator"});
    } else if (!in_.systemDevices.empty()) {
        asGiven = in_.systemDevices[device];
        SystemDevice system = transports_.System(asGiven);
        for (auto& [name, target] : system.paths) {
            paths.push_back(name.empty()
                                ? PathState{Json(target->InitiatorName()), "this initiator"}
                                : PathState{Json(name), "path " + name});
            targets.push_back(std::move(target));
        }
        r = ReportFor(*targets.front(), asGiven, Json(asGiven),
                      system.map.empty() ? Json() : Json("all"));
        r.where = asGiven;
    } else {
        asGiven = std::to_string(device);
        r.where = "device " + asGiven;
        r.target = asGiven;
        r.device = Json(device);
        r.path = Json("all");
        r.transport.Set("kind", "vlk");
        r.transport.Set("device", device);
        for (std::uint32_t path = 0; path <= kHighestPath; ++path) {
            targets.push_back(transports_.Vlk(device, path));
            paths.push_back({Json(path), "path " + std::to_string(path), path});
        }
    }
    making.unlock();

    // READ FULL STATUS through each path names that path's own registration.
    std::optional<scsi::FullStatusReply> full;
    std::optional<Step> fullRefused;
    std::vector<PathState> present;
    std::vector<scsi::Target*> reached;
    for (std::size_t i = 0; i < targets.size(); ++i) {
        Step step = ex_.Run(*targets[i], PrAction::ReadFullStatus, {});
        if (!in_.iscsi && step.outcome.failure == scsi::FailureKind::NoDevice &&
            step.outcome.sent) {
            absent.push_back(step);
            r.steps.push_back(std::move(step));
            continue;
        }
        PathState state = paths[i];
        if (NotSupported(step)) {
            fullRefused = step;
            r.steps.push_back(std::move(step));
        } else {
            const auto status = Decode(r, r.Add(step), scsi::DecodeReadFullStatus);
            if (!status) {
                r.HeadWithFailure();
                return r;
            }
            const std::string own = targets[i]->InitiatorName();
            for (const auto& reg : status->registrations) {
                if (SameInitiator(scsi::IscsiName(reg.transportId).value_or(""), own)) {
                    state.own = PathState::Own::Key;
                    state.key = reg.key;
                    state.holder = reg.holder;
                }
            }
            if (state.own == PathState::Own::Unknown && status->bytesNotShown == 0 &&
                !own.empty()) {
                state.own = PathState::Own::None;
            }
            if (!full) {
                full = *status;
            }
        }
        present.push_back(state);
        reached.push_back(targets[i].get());
    }
    if (present.empty()) {
        r.Add(absent.front());
        r.heading = "failed: the device has no path (" + absent.front().failure + ")";
        return r;
    }

    // Keys, reservation and capabilities through the first path: the device's, whatever path.
    scsi::Target& first = *reached.front();
    const auto keys =
        Decode(r, r.Add(ex_.Run(first, PrAction::ReadKeys, {})), scsi::DecodeReadKeys);
    const auto held = Decode(r, r.Add(ex_.Run(first, PrAction::ReadReservation, {})),
                             scsi::DecodeReadReservation);
    const Step capabilitiesStep = ex_.Run(first, PrAction::ReportCapabilities, {});
    std::optional<scsi::CapabilitiesReply> capabilities;
    const bool capabilitiesRefused = NotSupported(capabilitiesStep);
    if (capabilitiesRefused) {
        r.steps.push_back(capabilitiesStep);
    } else {
        capabilities = Decode(r, r.Add(capabilitiesStep), scsi::DecodeReportCapabilities);
    }
    if (!keys || !held || (!capabilities && !capabilitiesRefused)) {
        r.HeadWithFailure();
        return r;
    }

    const ReservationKey hostKey = in_.key;
    const std::string keyOption =
        hostKey == FixedRegistrationKey() ? std::string() : " --key " + KeyHex(hostKey);
    const std::string firstPath =
        in_.iscsi ? asGiven : asGiven + " --path " + std::to_string(present.front().path);
    std::vector<Finding> found;
    const auto add = [&](std::string code, Severity severity, Json ids, std::string text,
                         std::string fix) {
        Finding f;
        f.code = std::move(code);
        f.severity = severity;
        f.devices = {asGiven};
        f.paths = std::move(ids);
        f.text = std::move(text);
        f.fix = std::move(fix);
        found.push_back(std::move(f));
    };

    std::vector<const PathState*> registered;
    std::vector<const PathState*> unregistered;
    std::vector<const PathState*> unknown;
    for (const auto& p : present) {
        (p.own == PathState::Own::Key    ? registered
         : p.own == PathState::Own::None ? unregistered
                                         : unknown)
            .push_back(&p);
    }
    // The key this host's paths should hold: --key where one of them holds it, else the first's.
    ReservationKey wanted = hostKey;
    if (!registered.empty() &&
        std::none_of(registered.begin(), registered.end(),
                     [&](const PathState* p) { return p->key == hostKey; })) {
        wanted = registered.front()->key;
    }
    const std::string wantedOption =
        wanted == FixedRegistrationKey() ? std::string() : " --key " + KeyHex(wanted);

    if (!registered.empty() && !unregistered.empty()) {
        const bool refused = held->held && RegistrantsType(held->type);
        std::vector<std::string> fixes;
        for (const PathState* p : unregistered) {
            fixes.push_back("tessaly-cli register " + asGiven + " --path " +
                            std::to_string(p->path) + wantedOption);
        }
        add("path-not-registered", refused ? Severity::Error : Severity::Warning,
            PathIds(unregistered),
            "this host is registered through " + PathList(registered) + " but not through " +
                PathList(unregistered) + ": " +
                (refused ? "under the " + TypeText(held->type) +
                               " reservation I/O through those paths is refused"
                         : "under a registrants-only or all-registrants reservation I/O through "
                           "those paths would be refused"),
            Join(fixes, " && "));
    }

    std::set<ReservationKey> ownKeys;
    for (const PathState* p : registered) {
        ownKeys.insert(p->key);
    }
    if (ownKeys.size() > 1) {
        std::vector<std::string> holding;
        std::vector<std::string> fixes;
        std::vector<const PathState*> odd;
        for (const PathState* p : registered) {
            holding.push_back("path " + std::to_string(p->path) + " " + KeyText(p->key));
            if (p->key != wanted) {
                odd.push_back(p);
                fixes.push_back("tessaly-cli register " + asGiven + " --path " +
                                std::to_string(p->path) + " --old-key " + KeyHex(p->key) +
                                wantedOption);
            }
        }
        add("key-differs-across-paths", Severity::Warning, PathIds(odd),
            "this host's paths hold different keys (" + Join(holding, ", ") +
                "): a change of key left half done; a PREEMPT or CLEAR under one key leaves the "
                "paths of the other outside",
            Join(fixes, " && "));
    }

    const auto holderPath = std::find_if(registered.begin(), registered.end(),
                                         [](const PathState* p) { return p->holder; });
    if (held->held && present.size() > 1 && holderPath != registered.end() &&
        (held->type == scsi::kTypeWriteExclusive || held->type == scsi::kTypeExclusiveAccess)) {
        const PathState& holder = **holderPath;
        std::vector<const PathState*> others;
        for (const auto& p : present) {
            if (&p != &holder) {
                others.push_back(&p);
            }
        }
        const bool writeOnly = held->type == scsi::kTypeWriteExclusive;
        const std::string on =
            asGiven + " --path " + std::to_string(holder.path) +
            (holder.key == FixedRegistrationKey() ? std::string() : " --key " + KeyHex(holder.key));
        add("single-nexus-reservation", Severity::Error, Json::Array().Push(holder.id),
            "path " + std::to_string(holder.path) + " holds a " + TypeText(held->type) +
                " reservation, which belongs to that one I_T nexus: " +
                (writeOnly ? "writes" : "I/O") + " through " + PathList(others) +
                " conflict, and after a failover to them the disk is lost to this host",
            "tessaly-cli release " + on + " --type " + (writeOnly ? "we" : "ea") +
                " && tessaly-cli reserve " + on + " --type " + (writeOnly ? "we-ro" : "ea-ro"));
    }

    if (held->held && !scsi::EveryRegistrantHolds(held->type) && held->key != hostKey &&
        holderPath == registered.end()) {
        std::vector<std::string> initiators;
        if (full) {
            for (const auto& reg : full->registrations) {
                if (reg.key == held->key) {
                    initiators.push_back(scsi::IscsiName(reg.transportId)
                                             .value_or(scsi::TransportIdText(reg.transportId)) +
                                         (reg.holder ? " (the holder)" : ""));
                }
            }
        }
        add("holder-foreign", Severity::Warning, Json::Array(),
            "the " + TypeText(held->type) + " reservation is held under " + KeyText(held->key) +
                ", not this host's key " + KeyText(hostKey) + "; " +
                (full ? "READ FULL STATUS shows that key registered by " +
                            (initiators.empty() ? std::string("no initiator it lists")
                                                : Join(initiators, ", "))
                      : std::string("the device has no READ FULL STATUS to name its initiators")) +
                "; if that host is down, fence it",
            "tessaly-cli fence " + firstPath + " --victim " + KeyHex(held->key) + keyOption +
                " --yes");
    }

    if (full) {
        // Initiator name and key -> the session identifiers registered under them.
        std::map<std::pair<std::string, ReservationKey>, std::vector<std::string>> sessions;
        for (const auto& reg : full->registrations) {
            const auto [name, isid] = SplitPort(scsi::IscsiName(reg.transportId).value_or(""));
            if (!isid.empty()) {
                sessions[{name, reg.key}].push_back(isid);
            }
        }
        for (const auto& [port, isids] : sessions) {
            if (std::set<std::string>(isids.begin(), isids.end()).size() > 1) {
                Json ids = Json::Array();
                for (const auto& isid : isids) {
                    ids.Push(port.first + ",i," + isid);
                }
                add("stale-nexus", Severity::Warning, std::move(ids),
                    KeyText(port.second) + " is registered " + std::to_string(isids.size()) +
                        " times by the initiator " + port.first + " under the sessions " +
                        Join(isids, ", ") +
                        ": a login again left the old I_T nexus registered; a PREEMPT of that "
                        "key would take the live session's registration with it",
                    "");
            }
        }
    }

    const std::uint32_t count = static_cast<std::uint32_t>(keys->keys.size()) + keys->notShown;
    if (capabilities && capabilities->persistThroughPowerLoss &&
        !capabilities->persistThroughPowerLossActive && count > 0) {
        add("no-persistence", Severity::Warning, Json::Array(),
            "the device can keep its registrations over a power loss (PTPL_C) but does not "
            "(PTPL_A clear): after one, every registration and the reservation are gone; a "
            "REGISTER with APTPL set keeps them",
            "");
    }

    std::vector<std::string> refused;
    if (fullRefused) {
        refused.push_back("READ FULL STATUS (" + fullRefused->failure + ")");
    }
    if (capabilitiesRefused) {
        refused.push_back("REPORT CAPABILITIES (" + capabilitiesStep.failure + ")");
    }
    if (!refused.empty()) {
        add("unsupported", Severity::Note, Json::Array(),
            "the device refuses " + Join(refused, " and ") +
                (fullRefused ? ": what each path holds and who the holder's initiators are "
                               "cannot be told"
                             : ""),
            "");
    }

    // The device's facts, then its findings.
    std::vector<std::string> pathTexts;
    Json pathsJson = Json::Array();
    for (const auto& p : present) {
        Json json = Json::Object();
        json.Set("path", p.id);
        json.Set("known", p.own != PathState::Own::Unknown);
        json.Set("key", p.own == PathState::Own::Key ? KeyJson(p.key) : Json());
        json.Set("holder", p.holder);
        pathsJson.Push(std::move(json));
        pathTexts.push_back(p.who + ": " +
                            (p.own == PathState::Own::Key
                                 ? KeyText(p.key) + (p.holder ? " (holder)" : "")
                             : p.own == PathState::Own::None ? std::string("no key")
                                                             : std::string("key not known")));
    }
    r.facts.Set("paths", std::move(pathsJson));
    r.facts.Set("generation", keys->generation);
    Json keysJson = Json::Array();
    for (const auto& key : keys->keys) {
        keysJson.Push(KeyJson(key));
    }
    r.facts.Set("keys", std::move(keysJson));
    r.facts.Set("reservation", ReservationJson(*held));
    Json codes = Json::Array();
    bool troubled = false;
    std::vector<std::string> names;
    for (const auto& f : found) {
        codes.Push(f.code);
        names.push_back(f.code);
        troubled |= f.severity != Severity::Note;
        r.lines.push_back(std::string(SeverityName(f.severity)) + " " + f.code + ": " + f.text);
        if (!f.fix.empty()) {
            r.lines.push_back("  fix: " + f.fix);
        }
    }
    r.facts.Set("findings", std::move(codes));
    if (troubled) {
        // What each path holds, before the findings; a healthy device says so in one line.
        r.lines.insert(r.lines.begin(), Join(pathTexts, "; "));
    }
    const std::string summary =
        "generation " + Hex32(keys->generation) + ", " +
        (count == 0 ? std::string("no registrations")
                    : std::to_string(count) + (count == 1 ? " registration" : " registrations")) +
        ", " +
        (held->held ? "held by " + HolderText(*held) + ", " + TypeText(held->type)
                    : std::string("no reservation"));
    r.heading = troubled ? std::to_string(found.size()) +
                               (found.size() == 1 ? " finding" : " findings") + " (" +
                               Join(names, ", ") + "); " + summary
                         : "healthy: " + summary;
    if (troubled) {
        r.Fail(kFindings);
    }
    if (held->held && !scsi::EveryRegistrantHolds(held->type)) {
        holders_[index] = Holding{asGiven, held->key};
    }
    found_[index] = std::move(found);
    return r;
}

std::vector<Finding> Doctor::Findings() const {
    std::vector<Finding> all;
    std::vector<Holding> holders;
    for (std::size_t i = 0; i < found_.size(); ++i) {
        all.insert(all.end(), found_[i].begin(), found_[i].end());
        if (holders_[i]) {
            holders.push_back(*holders_[i]);
        }
    }
    // Each holder key with its devices, in the order the devices were given.
    std::vector<std::pair<ReservationKey, std::vector<std::string>>> byKey;
    for (const auto& h : holders) {
        auto at = std::find_if(byKey.begin(), byKey.end(),
                               [&](const auto& entry) { return entry.first == h.key; });
        if (at == byKey.end()) {
            at = byKey.insert(byKey.end(), {h.key, {}});
        }
        at->second.push_back(h.device);
    }
    if (byKey.size() > 1) {
        Finding split;
        split.code = "split-holders";
        split.severity = Severity::Error;
        std::vector<std::string> parts;
        for (const auto& [key, devices] : byKey) {
            parts.push_back(KeyText(key) + " holds " +
                            (devices.size() == 1 ? "device " : "devices ") + Join(devices, ", "));
        }
        for (const auto& h : holders) {
            split.devices.push_back(h.device);
        }
        split.text = "the reservations of these devices are held under different keys (" +
                     Join(parts, "; ") +
                     "): each node won part of the disks, a split brain that a person must end";
        all.push_back(std::move(split));
    }
    return all;
}

bool Doctor::Troubled() const {
    const auto all = Findings();
    return std::any_of(all.begin(), all.end(),
                       [](const Finding& f) { return f.severity != Severity::Note; });
}

}  // namespace tessaly::cli
