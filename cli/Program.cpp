#include "cli/Program.h"

#include <algorithm>

#include "cli/InOrder.h"
#include "cli/Values.h"
#include "report/Report.h"
#include "scsi/Codes.h"

namespace tessaly::cli {
namespace {

using scsi::PrAction;
using scsi::PrFields;

// 4, 6-9, 12: ascending numbers with their runs joined.
std::string NumberList(const std::vector<std::uint32_t>& numbers) {
    std::string text;
    for (std::size_t i = 0; i < numbers.size();) {
        std::size_t j = i;
        while (j + 1 < numbers.size() && numbers[j + 1] == numbers[j] + 1) {
            ++j;
        }
        text += (text.empty() ? "" : ", ") + std::to_string(numbers[i]) +
                (j > i ? "-" + std::to_string(numbers[j]) : std::string());
        i = j + 1;
    }
    return text;
}

std::string CountText(std::uint32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

// The dialog's request shape: a 24-byte allocation length or parameter list, scope and type 06h.
PrFields DialogShape() {
    PrFields fields;
    fields.scopeAndType = 0x06;
    fields.allocationLength = scsi::kParameterListLength;
    return fields;
}

// What a change verb sends, and how its line names it.
struct ChangeCommand {
    PrAction action;
    PrFields fields;
    std::string what;
};

ChangeCommand ChangeOf(const Invocation& in) {
    ChangeCommand c{PrAction::Register, {}, {}};
    c.fields.reservationKey = in.key;
    switch (in.verb) {
        case Verb::Register:
            c.action =
                in.ignoreExisting ? PrAction::RegisterAndIgnoreExistingKey : PrAction::Register;
            c.fields.reservationKey =
                in.ignoreExisting ? ReservationKey{} : in.oldKey.value_or(ReservationKey{});
            c.fields.serviceActionKey = in.key;
            c.what = std::string(scsi::ActionRow(c.action).name) + " " + KeyText(in.key);
            break;
        case Verb::Unregister:
            // Whatever key the path holds goes; a path without one stays as it is.
            c.action = PrAction::RegisterAndIgnoreExistingKey;
            c.fields.reservationKey = ReservationKey{};
            c.what = "unregister (REGISTER AND IGNORE EXISTING KEY with a zero key)";
            break;
        case Verb::Reserve:
        case Verb::Release:
            c.action = in.verb == Verb::Reserve ? PrAction::Reserve : PrAction::Release;
            c.fields.scopeAndType = in.type;
            c.what = std::string(scsi::ActionRow(c.action).name) + " " + TypeText(in.type);
            break;
        case Verb::Clear:
            c.action = PrAction::Clear;
            c.what = "CLEAR";
            break;
        case Verb::Preempt:
            c.action = in.abort ? PrAction::PreemptAndAbort : PrAction::Preempt;
            c.fields.serviceActionKey = in.victim;
            c.fields.scopeAndType = in.type;
            c.what = std::string(scsi::ActionRow(c.action).name) + " " + KeyText(in.victim) + ", " +
                     TypeText(in.type);
            break;
        case Verb::Keys:
        case Verb::Reservation:
        case Verb::FullStatus:
        case Verb::Capabilities:
        case Verb::Scan:
        case Verb::GroupClear:
        case Verb::Fence:
        case Verb::Doctor:
        case Verb::Validate:
            break;  // not a change of one command
    }
    return c;
}

}  // namespace

// A registration READ FULL STATUS shows under `name` is this nexus's own: the same iSCSI name, and
// the same session identifier where both carry one (",i,0x...").
bool SameInitiator(const std::string& name, const std::string& own) {
    if (own.empty()) {
        return false;
    }
    const auto base = [](const std::string& text) { return text.substr(0, text.find(",i,")); };
    const bool bothSessions =
        name.find(",i,") != std::string::npos && own.find(",i,") != std::string::npos;
    return bothSessions ? name == own : base(name) == base(own);
}

// What one path sees of a device, read before a scan, a group clear or a fence: every
// registration counted, the holder, and this path's own registration where READ FULL STATUS
// shows it.
struct Program::DiskState {
    std::uint32_t generation = 0;
    std::vector<ReservationKey> keys;  // the keys shown
    std::uint32_t keysNotShown = 0;    // registrations whose keys did not fit
    scsi::ReservationReply reservation{};
    // This path's own registration: known to be none, known to be `ownKey`, or not known (the
    // device has no READ FULL STATUS, or the descriptors that came back do not include it).
    enum class Own { Unknown, None, Key } own = Own::Unknown;
    ReservationKey ownKey{};
    // READ FULL STATUS's registrations, when it listed every one of them.
    std::optional<std::vector<scsi::Registration>> registrations;

    std::uint32_t Registrations() const {
        return static_cast<std::uint32_t>(keys.size()) + keysNotShown;
    }
    bool Holds(const ReservationKey& key) const { return own == Own::Key && ownKey == key; }
};

namespace {

// What the group clear would do on a device, decided from what the path holds: the dialog's
// REGISTER gives this host's key only to a path that holds none, and its CLEAR, which carries the
// key READ RESERVATION gave, goes through only when that is the key the path then holds.
struct ClearPlan {
    bool clear = false;
    // What the REGISTER is foreseen to answer: GOOD where the path holds no key, a refusal where
    // it holds one; either where READ FULL STATUS does not tell.
    std::optional<bool> registerGood;
    std::string why;
};

template <class State>
ClearPlan PlanClear(const State& state, const scsi::ReservationReply& held,
                    const ReservationKey& hostKey, const std::string& p) {
    using Own = typename State::Own;
    const std::string holder = KeyText(held.key);
    ClearPlan plan;
    if (state.own != Own::Unknown) {
        plan.registerGood = state.own == Own::None;
    }
    if (scsi::EveryRegistrantHolds(held.type)) {
        plan.why = "held by every registrant (" + TypeText(held.type) + "), " +
                   (state.own == Own::Key ? p + " among them under " + KeyText(state.ownKey)
                    : state.own == Own::None
                        ? p + " not among them"
                        : "READ FULL STATUS does not show whether " + p + " is among them") +
                   "; READ RESERVATION gives no key under such a reservation, so its CLEAR "
                   "would be refused";
        return plan;
    }
    const std::uint32_t after = state.Registrations() + (state.own == Own::None ? 1 : 0);
    const std::string removes =
        after > 1 ? "; the CLEAR removes all " + std::to_string(after) +
                        " registrations, other nodes' too"
                  : "; the CLEAR removes the reservation and " + p + "'s registration";
    const bool ours = held.key == hostKey;
    switch (state.own) {
        case Own::Key:
            plan.clear = state.ownKey == held.key;
            plan.why = plan.clear ? "held by " + holder + ", the key " + p + " holds" + removes
                                  : "held by " + holder + ", but " + p + " holds " +
                                        KeyText(state.ownKey) + ": its CLEAR would be refused";
            break;
        case Own::None:
            plan.clear = ours;
            plan.why = ours ? "held by " + holder + " (this host's key), and " + p +
                                  " holds no key: its REGISTER gives it this key" + removes
                            : "held by " + holder + ", not this host's key, and " + p +
                                  " holds no key: its CLEAR would be refused";
            break;
        case Own::Unknown:
            plan.clear = ours;
            plan.why = ours ? "held by " + holder +
                                  " (this host's key); READ FULL STATUS does not show what " + p +
                                  " holds: it clears if " + p +
                                  " holds no key or this one (its REGISTER tells), and the CLEAR "
                                  "removes every registration, other nodes' too"
                            : "held by " + holder +
                                  ", not this host's key, and READ FULL STATUS does not show "
                                  "whether " +
                                  p + " holds it";
            break;
    }
    return plan;
}

}  // namespace

DeviceReport Program::RunDevice(std::uint32_t device) {
    if (!in_.systemDevices.empty()) {
        return RunSystemDevice(in_.systemDevices[device]);
    }
    if (in_.allPaths) {
        DeviceReport r;
        r.where = "device " + std::to_string(device);
        r.target = std::to_string(device);
        r.device = Json(device);
        r.path = Json("all");
        r.transport.Set("kind", "vlk");
        r.transport.Set("device", device);
        ChangeEveryPath(r, device);
        return r;
    }
    std::unique_ptr<scsi::Target> target;
    DeviceReport r;
    if (in_.iscsi) {
        const auto lun = static_cast<std::uint16_t>(device);
        {
            const std::lock_guard<std::mutex> guard(transportsLock_);
            target = transports_.Iscsi(*in_.iscsi, lun,
                                       {in_.initiatorName, in_.isid, in_.timeoutSeconds});
        }
        r = ReportFor(*target, targets::FormatIscsiAddress(*in_.iscsi, lun), Json(device), Json());
    } else {
        target = VlkTarget(device, in_.path);
        r = ReportFor(*target, std::to_string(device), Json(device), Json(in_.path));
    }
    RunVerb(r, *target, in_.iscsi ? "this initiator" : "path " + std::to_string(in_.path), {});
    return r;
}

void Program::RunVerb(DeviceReport& r, scsi::Target& t, const std::string& self,
                      const std::vector<MapPathTarget>& mapPaths) {
    switch (in_.verb) {
        case Verb::Keys:
        case Verb::Reservation:
        case Verb::FullStatus:
        case Verb::Capabilities:
            Read(r, t);
            break;
        case Verb::Scan:
            Scan(r, t, mapPaths);
            break;
        case Verb::GroupClear:
            GroupClear(r, t, self);
            break;
        case Verb::Fence:
            Fence(r, t, self);
            break;
        case Verb::Doctor:
        case Verb::Validate:
            break;  // their own classes (cli/Doctor.h, cli/Validate.h) run them
        case Verb::Register:
        case Verb::Unregister:
        case Verb::Reserve:
        case Verb::Release:
        case Verb::Clear:
        case Verb::Preempt:
            Change(r, t);
            break;
    }
}

DeviceReport Program::RunSystemDevice(const std::string& path) {
    SystemDevice device;
    {
        const std::lock_guard<std::mutex> guard(transportsLock_);
        device = transports_.System(path);
    }
    const auto fail = [&](DeviceReport r, int status, std::string why) {
        r.where = path;  // nothing was sent through any one path
        r.heading = "failed: " + why;
        r.Fail(status);
        return r;
    };
    if (device.map.empty()) {
        scsi::Target& t = *device.paths.front().second;
        DeviceReport r = ReportFor(t, path, Json(path), Json());
        if (in_.allPaths || !in_.pathName.empty()) {
            if (!device.missing.empty()) {  // whether it would be a map is not known
                return fail(std::move(r), kNoDevice, device.missing);
            }
            return fail(std::move(r), kSyntaxError,
                        std::string(in_.allPaths ? "--all-paths" : "--path") +
                            " belongs to a multipath map, and " + path +
                            " is one SCSI device of its own");
        }
        RunVerb(r, t, "this initiator", {});
        return r;
    }
    std::vector<MapPathTarget> paths;
    std::string names;
    for (auto& [name, target] : device.paths) {
        paths.push_back({name, target.get()});
        names += (names.empty() ? "" : ", ") + name;
    }
    if (in_.allPaths) {
        // Every path of the map, the way multipath fencing does it: a registrants-only
        // reservation refuses I/O on a path of this host that is not registered.
        DeviceReport r;
        r.where = path;
        r.target = path;
        r.device = Json(path);
        r.path = Json("all");
        r.transport.Set("kind", "sgio");
        r.transport.Set("map", device.map);
        const ChangeCommand c = ChangeOf(in_);
        r.heading = c.what + " on every path";
        RunInOrder<Step>(
            paths.size(), in_.parallel,
            [&](std::size_t i) { return ex_.Run(*paths[i].target, c.action, c.fields); },
            [&](std::size_t i, Step& step) {
                r.lines.push_back("path " + paths[i].name + ": " + StepResult(step));
                r.Add(std::move(step));
                return true;
            });
        return r;
    }
    const MapPathTarget* chosen = nullptr;
    if (!in_.pathName.empty()) {
        for (const auto& p : paths) {
            chosen = p.name == in_.pathName ? &p : chosen;
        }
        if (chosen == nullptr) {
            return fail(ReportFor(*paths.front().target, path, Json(path), Json()), kNoDevice,
                        "the map " + device.map + " has no path " + in_.pathName +
                            " (its paths: " + names + ")");
        }
    } else if (in_.verb == Verb::Register || in_.verb == Verb::Unregister) {
        return fail(ReportFor(*paths.front().target, path, Json(path), Json()), kSyntaxError,
                    "a map's paths are registered each: --all-paths for every one of them, or "
                    "--path NAME for one (" +
                        names + ")");
    } else {
        // The first path that answers (a TEST UNIT READY with any status) carries the commands.
        const scsi::Request probe{
            {0, 0, 0, 0, 0, 0}, scsi::Direction::None, {}, 0, in_.timeoutSeconds};
        for (const auto& p : paths) {
            if (chosen == nullptr && p.target->Execute(probe).Ran()) {
                chosen = &p;
            }
        }
        if (chosen == nullptr) {
            return fail(ReportFor(*paths.front().target, path, Json(path), Json()), kNoDevice,
                        "no path of the map " + device.map + " answers (" + names + ")");
        }
    }
    DeviceReport r = ReportFor(*chosen->target, path, Json(path), Json(chosen->name));
    RunVerb(r, *chosen->target, "path " + chosen->name, paths);
    return r;
}

std::optional<Program::DiskState> Program::ReadState(DeviceReport& r, scsi::Target& t) {
    DiskState state;
    const Step full = ex_.Run(t, PrAction::ReadFullStatus, {});
    if (NotSupported(full)) {
        r.steps.push_back(full);  // a device without READ FULL STATUS: no failure of its own
    } else {
        const auto status = Decode(r, r.Add(full), scsi::DecodeReadFullStatus);
        if (!status) {
            return std::nullopt;
        }
        const std::string own = t.InitiatorName();
        for (const auto& reg : status->registrations) {
            state.keys.push_back(reg.key);
            if (reg.holder && !state.reservation.held) {
                state.reservation = {status->generation, true, reg.key, reg.scope, reg.type, 0};
            }
            if (SameInitiator(scsi::IscsiName(reg.transportId).value_or(""), own)) {
                state.own = DiskState::Own::Key;
                state.ownKey = reg.key;
            }
        }
        state.generation = status->generation;
        if (status->bytesNotShown == 0) {
            if (state.own == DiskState::Own::Unknown && !own.empty()) {
                state.own = DiskState::Own::None;
            }
            state.registrations = status->registrations;
            return state;
        }
    }
    // READ KEYS counts every registration (a list of 8-byte keys where READ FULL STATUS holds
    // descriptors of 24 bytes and more), READ RESERVATION names the holder wherever its
    // descriptor lies.
    const auto keys = Decode(r, r.Add(ex_.Run(t, PrAction::ReadKeys, {})), scsi::DecodeReadKeys);
    const auto reservation =
        Decode(r, r.Add(ex_.Run(t, PrAction::ReadReservation, {})), scsi::DecodeReadReservation);
    if (!keys || !reservation) {
        return std::nullopt;
    }
    state.generation = keys->generation;
    state.keys = keys->keys;
    state.keysNotShown = keys->notShown;
    state.reservation = *reservation;
    return state;
}

void Program::Read(DeviceReport& r, scsi::Target& t) {
    const PrAction action = in_.verb == Verb::Keys          ? PrAction::ReadKeys
                            : in_.verb == Verb::Reservation ? PrAction::ReadReservation
                            : in_.verb == Verb::FullStatus  ? PrAction::ReadFullStatus
                                                            : PrAction::ReportCapabilities;
    const char* name = scsi::ActionRow(action).name;
    const Step step = r.Add(ex_.Run(t, action, {}));
    r.heading = step.Good() ? name : std::string(name) + " failed: " + step.failure;
    bool decoded = false;
    switch (action) {
        case PrAction::ReadFullStatus:
            if (const auto reply = Decode(r, step, scsi::DecodeReadFullStatus)) {
                // Descriptors that did not fit are counted by READ KEYS, never left as bytes.
                std::optional<std::uint32_t> total;
                if (reply->bytesNotShown > 0) {
                    const Step keysStep = r.Add(ex_.Run(t, PrAction::ReadKeys, {}));
                    if (const auto keys = Decode(r, keysStep, scsi::DecodeReadKeys)) {
                        total = static_cast<std::uint32_t>(keys->keys.size()) + keys->notShown;
                    } else if (!keysStep.Good()) {
                        r.heading = "READ KEYS failed: " + keysStep.failure;
                    }
                }
                Describe(r, *reply, total);
                decoded = true;
            }
            break;
        case PrAction::ReadKeys:
            if (const auto reply = Decode(r, step, scsi::DecodeReadKeys)) {
                Describe(r, *reply);
                decoded = true;
            }
            break;
        case PrAction::ReadReservation:
            if (const auto reply = Decode(r, step, scsi::DecodeReadReservation)) {
                Describe(r, *reply);
                decoded = true;
            }
            break;
        default:
            if (const auto reply = Decode(r, step, scsi::DecodeReportCapabilities)) {
                Describe(r, *reply);
                decoded = true;
            }
            break;
    }
    if (in_.hex && (decoded || !step.Data().empty())) {
        r.lines.push_back("data area, " + std::to_string(step.Data().size()) + " bytes:");
        r.lines.push_back(kHexDumpColumnHeader);
        for (const auto& row :
             HexDumpRows(step.Data(), static_cast<std::uint32_t>(step.Data().size()))) {
            r.lines.push_back(row);
        }
    }
}

void Program::Scan(DeviceReport& r, scsi::Target& t, const std::vector<MapPathTarget>& mapPaths) {
    const auto state = ReadState(r, t);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    const scsi::ReservationReply& held = state->reservation;
    const std::uint32_t count = state->Registrations();
    r.heading = "generation " + Hex32(state->generation) + ", " +
                (count == 0 ? std::string("no registrations")
                            : CountText(count, "registration", "registrations")) +
                ", " +
                (held.held ? "held by " + HolderText(held) + ", " + TypeText(held.type)
                           : std::string("no reservation"));
    r.facts.Set("generation", state->generation);
    Json list = Json::Array();
    for (const auto& key : state->keys) {
        list.Push(KeyJson(key));
    }
    r.facts.Set("keys", std::move(list));
    r.facts.Set("keys_not_shown", state->keysNotShown);
    r.facts.Set("reservation", ReservationJson(held));
    if (mapPaths.empty()) {
        return;
    }
    // A multipath map: which of its paths hold this host's key, where READ FULL STATUS names
    // each path's initiator port.
    std::uint32_t holding = 0;
    bool known = state->registrations.has_value();
    Json paths = Json::Array();
    for (const auto& path : mapPaths) {
        const std::string own = path.target->InitiatorName();
        std::optional<bool> holds;
        if (state->registrations && !own.empty()) {
            holds = false;
            for (const auto& reg : *state->registrations) {
                if (SameInitiator(scsi::IscsiName(reg.transportId).value_or(""), own)) {
                    holds = reg.key == in_.key;
                }
            }
        }
        known = known && holds.has_value();
        holding += holds.value_or(false) ? 1 : 0;
        Json json = Json::Object();
        json.Set("name", path.name);
        json.Set("holds_key", holds ? Json(*holds) : Json());
        paths.Push(std::move(json));
    }
    const std::string m = std::to_string(mapPaths.size());
    r.heading += known ? ", this host's key on " + std::to_string(holding) + " of " + m + " paths"
                       : ", this host's key on an unknown number of its " + m +
                             " paths (READ FULL STATUS does not name their initiator ports)";
    r.facts.Set("paths", std::move(paths));
    r.facts.Set("paths_with_key", known ? Json(holding) : Json());
}

void Program::Change(DeviceReport& r, scsi::Target& t) {
    const ChangeCommand c = ChangeOf(in_);
    const Step step = r.Add(ex_.Run(t, c.action, c.fields));
    r.heading = c.what + ": " + StepResult(step);
    if (step.exitStatus == kReservationConflict && c.action == PrAction::Register) {
        r.lines.push_back(
            "this path may hold a registration already: --old-key names it, "
            "--ignore-existing replaces it");
    }
}

std::unique_ptr<scsi::Target> Program::VlkTarget(std::uint32_t device, std::uint32_t path) {
    const std::lock_guard<std::mutex> guard(transportsLock_);
    return transports_.Vlk(device, path);
}

void Program::ChangeEveryPath(DeviceReport& r, std::uint32_t device) {
    const ChangeCommand c = ChangeOf(in_);
    r.heading = c.what + " on every path";
    std::vector<std::uint32_t> absent;
    // Every path at once (as many as --parallel), taken in the order of their numbers.
    RunInOrder<Step>(
        kHighestPath + 1, in_.parallel,
        [&](std::size_t path) {
            return ex_.Run(*VlkTarget(device, static_cast<std::uint32_t>(path)), c.action,
                           c.fields);
        },
        [&](std::size_t path, Step& step) {
            if (step.outcome.failure == scsi::FailureKind::NoDevice && step.outcome.sent) {
                absent.push_back(static_cast<std::uint32_t>(path));
                r.steps.push_back(std::move(step));
            } else {
                r.lines.push_back("path " + std::to_string(path) + ": " + StepResult(step));
                r.Add(std::move(step));
            }
            return true;
        });
    if (absent.size() == kHighestPath + 1) {
        r.Fail(kNoDevice);
        r.heading += ": the device has no path";
    } else if (!absent.empty()) {
        r.lines.push_back("paths that do not exist, skipped: " + NumberList(absent));
    }
}

void Program::GroupClear(DeviceReport& r, scsi::Target& t, const std::string& self) {
    const auto state = ReadState(r, t);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    // The dialog's read: the key it gives is the one the CLEAR carries.
    const Step read = r.Add(ex_.Run(t, PrAction::ReadReservation, DialogShape()));
    const auto held = Decode(r, read, scsi::DecodeReadReservation);
    if (!held) {
        r.HeadWithFailure();
        return;
    }
    r.facts.Set("reservation", ReservationJson(*held));
    const std::string& p = self;
    const ClearPlan plan = PlanClear(*state, *held, in_.key, p);
    const char* outcome = in_.yes ? "outcome" : "plan";
    if (!held->held) {
        r.heading = "nothing held";
        r.facts.Set(outcome, r.heading);
        return;
    }
    if (!in_.yes || !plan.clear) {
        r.heading = std::string(in_.yes      ? "not cleared: "
                                : plan.clear ? "would clear: "
                                             : "would not clear: ") +
                    plan.why;
        if (in_.yes) {
            r.Fail(kReservationConflict);
        }
        r.wouldChange = !in_.yes && plan.clear;
        r.facts.Set(outcome, r.heading);
        return;
    }
    r.lines.push_back("READ RESERVATION: " + StepResult(read) + ", held by " + KeyText(held->key));
    // The dialog's requests, byte for byte with this host's key, each after a 1 ms pause.
    Pause1();
    PrFields reg = DialogShape();
    reg.serviceActionKey = in_.key;
    const Step registered = ex_.Run(t, PrAction::Register, reg);
    r.steps.push_back(registered);
    r.lines.push_back("REGISTER " + KeyText(in_.key) + ": " + StepResult(registered));
    Pause1();
    if (!registered.Good() && registered.exitStatus != kReservationConflict) {
        r.Fail(registered.exitStatus);
        r.heading = "not cleared: REGISTER failed: " + registered.failure;
    } else if (plan.registerGood && *plan.registerGood != registered.Good()) {
        r.Fail(registered.Good() ? kOtherFailure : kReservationConflict);
        r.heading = "not cleared: REGISTER answered " + StepResult(registered) +
                    " where READ FULL STATUS showed " + p +
                    (registered.Good() ? " holding a key" : " holding none") +
                    "; stopped before the CLEAR";
    } else {
        PrFields clear = DialogShape();
        clear.reservationKey = held->key;
        clear.serviceActionKey = held->key;
        const Step cleared = r.Add(ex_.Run(t, PrAction::Clear, clear));
        r.lines.push_back("CLEAR with " + KeyText(held->key) + ": " + StepResult(cleared));
        Pause1();
        const Step after = r.Add(ex_.Run(t, PrAction::ReadReservation, {}));
        const auto now = Decode(r, after, scsi::DecodeReadReservation);
        r.lines.push_back("READ RESERVATION: " + StepResult(after) +
                          (now ? (now->held ? ", held by " + KeyText(now->key) : ", none") : ""));
        if (now) {
            r.facts.Set("reservation", ReservationJson(*now));
        }
        if (!cleared.Good()) {
            r.heading = "not cleared: CLEAR answered " + cleared.failure;
        } else if (now && now->held) {
            r.Fail(kOtherFailure);
            r.heading = "left held by " + KeyText(now->key) + " after a CLEAR that answered GOOD";
        } else if (now) {
            r.heading = "cleared: every registration went with the reservation";
        } else {
            r.HeadWithFailure();
        }
    }
    r.facts.Set(outcome, r.heading);
}

void Program::Fence(DeviceReport& r, scsi::Target& t, const std::string& self) {
    using Own = DiskState::Own;
    const auto state = ReadState(r, t);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    const std::string& p = self;
    const std::string victim = KeyText(in_.victim);
    const auto victimIn = [this](const std::vector<ReservationKey>& keys) {
        return std::find(keys.begin(), keys.end(), in_.victim) != keys.end();
    };
    const char* outcome = in_.yes ? "outcome" : "plan";
    if (!victimIn(state->keys)) {
        if (state->keysNotShown > 0) {
            r.Fail(kOtherFailure);
            r.heading = "victim key " + victim + " not among the " +
                        std::to_string(state->keys.size()) + " keys shown (" +
                        std::to_string(state->keysNotShown) + " not shown): nothing done";
        } else {
            r.heading = "victim key " + victim + " not registered: nothing to do";
        }
        r.facts.Set(outcome, r.heading);
        return;
    }
    if (state->Holds(in_.victim)) {
        r.Fail(kOtherFailure);
        r.heading = "refused: " + p + " holds the victim key " + victim +
                    " itself: fencing it through this path would fence this host";
        r.facts.Set(outcome, r.heading);
        return;
    }
    const std::uint8_t type = state->reservation.held ? state->reservation.type
                                                      : scsi::kTypeExclusiveAccessRegistrantsOnly;
    // A path of this host that is registered keeps its key and acts with it; one that holds
    // none registers this host's key first, with a REGISTER that a path holding a key refuses.
    const bool registers = state->own != Own::Key;
    const ReservationKey actingKey = registers ? in_.key : state->ownKey;
    const std::string preempt = "PREEMPT AND ABORT " + victim;
    if (!in_.yes) {
        r.heading = registers
                        ? "would register " + KeyText(in_.key) + " on " + p +
                              (state->own == Own::Unknown
                                   ? " (READ FULL STATUS does not show whether it holds a key: "
                                     "if it does, the REGISTER is refused and nothing changes)"
                                   : std::string()) +
                              ", then " + preempt + " with " + TypeText(type)
                        : "would " + preempt + " under " + KeyText(actingKey) + ", the key " + p +
                              " holds, with " + TypeText(type);
        r.wouldChange = true;
        r.facts.Set(outcome, r.heading);
        return;
    }
    if (registers) {
        PrFields reg;
        reg.serviceActionKey = in_.key;
        const Step registered = r.Add(ex_.Run(t, PrAction::Register, reg));
        r.lines.push_back("REGISTER " + KeyText(in_.key) + ": " + StepResult(registered));
        if (!registered.Good()) {
            r.heading = registered.exitStatus == kReservationConflict
                            ? "stopped: the REGISTER was refused: " + p +
                                  " holds a key that READ FULL STATUS did not show as its own; "
                                  "nothing changed"
                            : "stopped: REGISTER failed: " + registered.failure;
            r.facts.Set(outcome, r.heading);
            return;
        }
    }
    PrFields fields;
    fields.reservationKey = actingKey;
    fields.serviceActionKey = in_.victim;
    fields.scopeAndType = type;
    Step preempted = ex_.Run(t, PrAction::PreemptAndAbort, fields);
    r.lines.push_back(preempt + ", " + TypeText(type) + ": " + StepResult(preempted));
    if (NotSupported(preempted)) {
        // A device without PREEMPT AND ABORT: PREEMPT removes the same registrations, only the
        // victim's commands in progress are not aborted.
        r.steps.push_back(preempted);
        preempted = ex_.Run(t, PrAction::Preempt, fields);
        r.lines.push_back("PREEMPT " + victim + " instead, " + TypeText(type) + ": " +
                          StepResult(preempted));
    }
    r.Add(preempted);
    const Step verify = r.Add(ex_.Run(t, PrAction::ReadKeys, {}));
    const auto after = Decode(r, verify, scsi::DecodeReadKeys);
    r.lines.push_back("READ KEYS: " + StepResult(verify));
    if (r.exitStatus != kSuccess) {
        r.HeadWithFailure();
    } else if (after && victimIn(after->keys)) {
        r.Fail(kOtherFailure);
        r.heading = "victim key " + victim + " still registered";
    } else {
        r.heading = "fenced: victim key " + victim + " gone";
    }
    r.facts.Set(outcome, r.heading);
}

}  // namespace tessaly::cli
