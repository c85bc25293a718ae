#include "cli/Cli.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include "cli/Arguments.h"
#include "cli/Decode.h"
#include "cli/Exchange.h"
#include "cli/Json.h"
#include "cli/Values.h"
#include "core/DeviceChannel.h"
#include "report/Report.h"

namespace tessaly::cli {
namespace {

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

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

std::string TypeText(std::uint8_t type) {
    const char* name = TypeName(type);
    char code[8];
    std::snprintf(code, sizeof code, "%Xh", static_cast<unsigned>(type));
    return name != nullptr ? std::string(name) + " (" + code + ")" : std::string("type ") + code;
}

std::string ScopeText(std::uint8_t scope) {
    const char* name = ScopeName(scope);
    return name != nullptr ? name : "scope " + std::to_string(scope) + "h";
}

Json KeyJson(const ReservationKey& key) {
    Json json = Json::Object();
    json.Set("key", KeyHex(key));
    const auto ascii = KeyAscii(key);
    json.Set("text", ascii ? Json(*ascii) : Json());
    return json;
}

// What one device (or one device on every path) gave: a heading, facts one a line, the same facts
// for JSON, and every command with its raw reply.
struct DeviceReport {
    std::uint32_t device = 0;
    std::uint32_t path = 0;
    bool everyPath = false;
    std::string heading;
    std::vector<std::string> lines;
    Json facts = Json::Object();
    std::vector<Step> steps;
    int exitStatus = kSuccess;

    void Fail(int status) {
        if (exitStatus == kSuccess) {
            exitStatus = status;
        }
    }
    // Unless a heading says more already: the failure of the step that decided the outcome.
    void HeadWithFailure() {
        for (const Step& step : steps) {
            if (heading.empty() && !step.Good() && step.exitStatus == exitStatus) {
                heading = "failed: " + step.failure;
            }
        }
    }
    // Keeps the step; a failed one makes the device's outcome a failure.
    Step Add(Step step) {
        if (!step.Good()) {
            Fail(step.exitStatus);
        }
        steps.push_back(step);
        return step;
    }
};

std::string StepResult(const Step& step) {
    return step.Good() ? StatusName(step.status) : step.failure;
}

Json StepJson(const Step& step) {
    Json json = Json::Object();
    json.Set("service_action", RowOf(step.command).name);
    json.Set("cdb", HexBytes(step.cdb));
    if (!step.parameterList.empty()) {
        json.Set("parameter_list", HexBytes(step.parameterList));
    } else {
        json.Set("allocation_length", step.allocationLength);
    }
    json.Set("attempts", step.attempts);
    json.Set("sent", step.sent);
    json.Set("error", step.error);
    json.Set("error_text", step.errorText.empty() ? Json() : Json(step.errorText));
    json.Set("bytes_returned", step.bytesReturned);
    json.Set("status", static_cast<int>(step.status));
    json.Set("status_name", step.sent && step.error == 0 ? Json(StatusName(step.status)) : Json());
    json.Set("sense", HexBytes(step.sense));
    if (const auto sense = DecodeSense(step.sense); sense && step.status == kStatusCheckCondition) {
        json.Set("sense_key", static_cast<int>(sense->key));
        json.Set("asc", static_cast<int>(sense->asc));
        json.Set("ascq", static_cast<int>(sense->ascq));
        json.Set("sense_text", SenseText(*sense));
    }
    json.Set("data", HexBytes(step.data));
    json.Set("exit_status", step.exitStatus);
    json.Set("failure", step.failure.empty() ? Json() : Json(step.failure));
    return json;
}

// The decoded replies, as facts.

void Describe(DeviceReport& r, const KeysReply& reply) {
    r.lines.push_back("generation: " + Hex32(reply.generation));
    r.facts.Set("generation", reply.generation);
    Json keys = Json::Array();
    if (reply.keys.empty() && reply.notShown == 0) {
        r.lines.push_back("no registered keys");
    } else {
        r.lines.push_back("registered keys: " + std::to_string(reply.keys.size() + reply.notShown));
    }
    for (const auto& key : reply.keys) {
        r.lines.push_back("key: " + KeyText(key));
        keys.Push(KeyJson(key));
    }
    if (reply.notShown > 0) {
        r.lines.push_back("not shown: " + std::to_string(reply.notShown) +
                          " more keys, beyond the data area");
    }
    r.facts.Set("keys", std::move(keys));
    r.facts.Set("keys_not_shown", reply.notShown);
}

Json ReservationJson(const ReservationReply& reply) {
    if (!reply.held) {
        return Json();
    }
    Json json = KeyJson(reply.key);
    json.Set("scope", static_cast<int>(reply.scope));
    json.Set("scope_name", ScopeText(reply.scope));
    json.Set("type", static_cast<int>(reply.type));
    json.Set("type_name", TypeName(reply.type) != nullptr ? Json(TypeName(reply.type)) : Json());
    return json;
}

std::string HolderText(const ReservationReply& reply) {
    const bool everyRegistrant = reply.type == 0x7 || reply.type == 0x8;
    return everyRegistrant ? "every registrant (key " + KeyText(reply.key) + ")"
                           : KeyText(reply.key);
}

void Describe(DeviceReport& r, const ReservationReply& reply) {
    r.lines.push_back("generation: " + Hex32(reply.generation));
    r.facts.Set("generation", reply.generation);
    if (!reply.held) {
        r.lines.push_back("no reservation");
    } else {
        r.lines.push_back("holder: " + HolderText(reply));
        r.lines.push_back("scope: " + ScopeText(reply.scope));
        r.lines.push_back("type: " + TypeText(reply.type));
        if (reply.moreDescriptors > 0) {
            r.lines.push_back("further reservation descriptors: " +
                              std::to_string(reply.moreDescriptors));
        }
    }
    r.facts.Set("reservation", ReservationJson(reply));
}

// `total`: every registration the device has, where READ KEYS counted them because the
// descriptors did not all fit.
void Describe(DeviceReport& r, const FullStatusReply& reply, std::optional<std::uint32_t> total) {
    r.lines.push_back("generation: " + Hex32(reply.generation));
    r.facts.Set("generation", reply.generation);
    const std::uint32_t shown = static_cast<std::uint32_t>(reply.registrations.size());
    const std::uint32_t count = total && *total > shown ? *total : shown;
    r.lines.push_back(count == 0 && reply.bytesNotShown == 0
                          ? "no registered keys"
                          : "registrations: " + std::to_string(count));
    Json list = Json::Array();
    for (const auto& reg : reply.registrations) {
        r.lines.push_back("registration: " + KeyText(reg.key));
        r.lines.push_back("  holder: " + (reg.holder ? "yes, " + TypeText(reg.type) + ", scope " +
                                                           ScopeText(reg.scope)
                                                     : std::string("no")));
        r.lines.push_back(std::string("  all target ports: ") +
                          (reg.allTargetPorts ? "yes" : "no"));
        r.lines.push_back("  relative target port: " + std::to_string(reg.relativeTargetPort));
        r.lines.push_back("  " + TransportIdText(reg.transportId));
        Json json = KeyJson(reg.key);
        json.Set("holder", reg.holder);
        json.Set("scope", static_cast<int>(reg.scope));
        json.Set("type", static_cast<int>(reg.type));
        json.Set("all_target_ports", reg.allTargetPorts);
        json.Set("relative_target_port", static_cast<int>(reg.relativeTargetPort));
        json.Set("transport_id", HexBytes(reg.transportId));
        json.Set("transport_id_text", TransportIdText(reg.transportId));
        list.Push(std::move(json));
    }
    if (count > shown) {
        r.lines.push_back("not shown: " + std::to_string(count - shown) +
                          " more registrations, beyond the data area");
    } else if (reply.bytesNotShown > 0) {
        r.lines.push_back("not shown: " + std::to_string(reply.bytesNotShown) +
                          " bytes of further descriptors, beyond the data area");
    }
    r.facts.Set("registrations", std::move(list));
    r.facts.Set("registrations_not_shown", count - shown);
    r.facts.Set("bytes_not_shown", reply.bytesNotShown);
}

void Describe(DeviceReport& r, const CapabilitiesReply& reply) {
    const struct {
        const char* text;
        const char* name;
        bool value;
    } bits[] = {
        {"compatible reservation handling (CRH)", "crh", reply.compatibleReservationHandling},
        {"specify initiator ports capable (SIP_C)", "sip_c", reply.specifyInitiatorPorts},
        {"all target ports capable (ATP_C)", "atp_c", reply.allTargetPorts},
        {"persist through power loss capable (PTPL_C)", "ptpl_c", reply.persistThroughPowerLoss},
        {"type mask valid (TMV)", "tmv", reply.typeMaskValid},
        {"persist through power loss activated (PTPL_A)", "ptpl_a",
         reply.persistThroughPowerLossActive},
    };
    r.lines.push_back("length: " + std::to_string(reply.length));
    r.facts.Set("length", static_cast<int>(reply.length));
    for (const auto& bit : bits) {
        r.lines.push_back(std::string(bit.text) + ": " + (bit.value ? "yes" : "no"));
        r.facts.Set(bit.name, bit.value);
    }
    r.lines.push_back("allow commands: " + std::to_string(reply.allowCommands));
    r.facts.Set("allow_commands", static_cast<int>(reply.allowCommands));
    Json types = Json::Array();
    for (const std::uint8_t type : reply.types) {
        r.lines.push_back("type supported: " + TypeText(type));
        types.Push(static_cast<int>(type));
    }
    r.facts.Set("types", reply.typeMaskValid ? std::move(types) : Json());
}

// Decodes the reply of a good step, or marks the device as failed with the reason.
template <class Reply>
std::optional<Reply> Decode(DeviceReport& r, const Step& step,
                            Decoded<Reply> (*decoder)(Bytes, std::uint32_t)) {
    if (!step.Good()) {
        return std::nullopt;
    }
    Decoded<Reply> decoded = decoder(step.data, step.allocationLength);
    if (!decoded.reply) {
        r.Fail(kMalformedReply);
        r.heading =
            std::string(RowOf(step.command).name) + " reply cannot be decoded: " + decoded.problem;
    }
    return decoded.reply;
}

// What one path sees of a device, read before a scan, a group clear or a fence: every
// registration counted, the holder, and this path's own registration where READ FULL STATUS
// shows it.
struct DiskState {
    std::uint32_t generation = 0;
    std::vector<ReservationKey> keys;  // the keys shown
    std::uint32_t keysNotShown = 0;    // registrations whose keys did not fit
    ReservationReply reservation{};
    // This path's own registration: known to be none, known to be `ownKey`, or not known (the
    // device has no READ FULL STATUS, or the descriptors that came back do not include it).
    enum class Own { Unknown, None, Key } own = Own::Unknown;
    ReservationKey ownKey{};

    std::uint32_t Registrations() const {
        return static_cast<std::uint32_t>(keys.size()) + keysNotShown;
    }
    bool Holds(const ReservationKey& key) const { return own == Own::Key && ownKey == key; }
};

bool EveryRegistrantHolds(std::uint8_t type) {
    return type == 0x7 || type == 0x8;
}

std::string CountText(std::uint32_t count, const char* one, const char* many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
}

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

ClearPlan PlanClear(const DiskState& state, const ReservationReply& held,
                    const ReservationKey& hostKey, std::uint32_t path) {
    using Own = DiskState::Own;
    const std::string p = "path " + std::to_string(path);
    const std::string holder = KeyText(held.key);
    ClearPlan plan;
    if (state.own != Own::Unknown) {
        plan.registerGood = state.own == Own::None;
    }
    if (EveryRegistrantHolds(held.type)) {
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
                                  " (this host's key); READ FULL STATUS does "
                                  "not show what " +
                                  p + " holds: it clears if " + p +
                                  " holds no key or this one (its REGISTER tells), and the CLEAR "
                                  "removes every registration, other nodes' too"
                            : "held by " + holder +
                                  ", not this host's key, and READ FULL "
                                  "STATUS does not show whether " +
                                  p + " holds it";
            break;
    }
    return plan;
}

// A refusal of PERSISTENT RESERVE OUT's service action itself: a device without PREEMPT AND
// ABORT answers ILLEGAL REQUEST, INVALID FIELD IN CDB or INVALID COMMAND OPERATION CODE.
bool NotSupported(const Step& step) {
    const auto sense = DecodeSense(step.sense);
    return step.exitStatus == kIllegalRequest && sense &&
           (sense->asc == 0x24 || sense->asc == 0x20);
}

class Program {
  public:
    Program(const Invocation& invocation, Exchanger& exchanger, Pause& pause)
        : in_(invocation), ex_(exchanger), pause_(pause) {}

    DeviceReport RunDevice(std::uint32_t device);

  private:
    RequestFields Fields(std::uint32_t device, std::uint32_t path) const {
        RequestFields fields = WholeDataArea(device, path);
        fields.reservationKey = in_.key;
        return fields;
    }
    std::optional<DiskState> ReadState(DeviceReport& r);
    void Read(DeviceReport& r);
    void Scan(DeviceReport& r);
    void Change(DeviceReport& r);
    void GroupClear(DeviceReport& r);
    void ClearAsPlanned(DeviceReport& r, const ClearPlan& plan, const ReservationKey& keyRead);
    void Fence(DeviceReport& r);
    void Pause1() { pause_.Sleep(1); }

    const Invocation& in_;
    Exchanger& ex_;
    Pause& pause_;
};

DeviceReport Program::RunDevice(std::uint32_t device) {
    DeviceReport r;
    r.device = device;
    r.path = in_.path;
    switch (in_.verb) {
        case Verb::Keys:
        case Verb::Reservation:
        case Verb::FullStatus:
        case Verb::Capabilities:
            Read(r);
            break;
        case Verb::Scan:
            Scan(r);
            break;
        case Verb::GroupClear:
            GroupClear(r);
            break;
        case Verb::Fence:
            Fence(r);
            break;
        case Verb::Register:
        case Verb::Unregister:
        case Verb::Reserve:
        case Verb::Release:
        case Verb::Clear:
        case Verb::Preempt:
            Change(r);
            break;
    }
    return r;
}

std::optional<DiskState> Program::ReadState(DeviceReport& r) {
    DiskState state;
    const Step full = ex_.Run(Command::ReadFullStatus, WholeDataArea(r.device, r.path));
    std::optional<FullStatusReply> status;
    if (NotSupported(full)) {
        r.steps.push_back(full);  // a device without READ FULL STATUS: no failure of its own
    } else {
        status = Decode(r, r.Add(full), DecodeReadFullStatus);
        if (!status) {
            return std::nullopt;
        }
        const std::string own = PathInitiatorName(r.path);
        for (const auto& reg : status->registrations) {
            state.keys.push_back(reg.key);
            if (reg.holder && !state.reservation.held) {
                state.reservation = {status->generation, true, reg.key, reg.scope, reg.type, 0};
            }
            if (IscsiName(reg.transportId) == own) {
                state.own = DiskState::Own::Key;
                state.ownKey = reg.key;
            }
        }
        state.generation = status->generation;
        if (status->bytesNotShown == 0) {
            if (state.own == DiskState::Own::Unknown) {
                state.own = DiskState::Own::None;
            }
            return state;
        }
    }
    // READ KEYS counts every registration (its list holds 63 keys where READ FULL STATUS holds 8
    // descriptors), READ RESERVATION names the holder wherever its descriptor lies.
    const auto keys = Decode(r, r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path))),
                             DecodeReadKeys);
    const auto reservation =
        Decode(r, r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path))),
               DecodeReadReservation);
    if (!keys || !reservation) {
        return std::nullopt;
    }
    state.generation = keys->generation;
    state.keys = keys->keys;
    state.keysNotShown = keys->notShown;
    state.reservation = *reservation;
    return state;
}

void Program::Read(DeviceReport& r) {
    const Command command = in_.verb == Verb::Keys          ? Command::ReadKeys
                            : in_.verb == Verb::Reservation ? Command::ReadReservation
                            : in_.verb == Verb::FullStatus  ? Command::ReadFullStatus
                                                            : Command::ReportCapabilities;
    const Step step = r.Add(ex_.Run(command, WholeDataArea(r.device, r.path)));
    r.heading = step.Good() ? RowOf(command).name
                            : std::string(RowOf(command).name) + " failed: " + step.failure;
    bool decoded = false;
    if (command == Command::ReadFullStatus) {
        if (const auto reply = Decode(r, step, DecodeReadFullStatus)) {
            // Descriptors that did not fit are counted by READ KEYS, never left as bytes.
            std::optional<std::uint32_t> total;
            if (reply->bytesNotShown > 0) {
                const Step keysStep =
                    r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path)));
                if (const auto keys = Decode(r, keysStep, DecodeReadKeys)) {
                    total = static_cast<std::uint32_t>(keys->keys.size()) + keys->notShown;
                } else if (!keysStep.Good()) {
                    r.heading =
                        std::string(RowOf(Command::ReadKeys).name) + " failed: " + keysStep.failure;
                }
            }
            Describe(r, *reply, total);
            decoded = true;
        }
    } else {
        const auto describe = [&r, &step](auto decoder) {
            const auto reply = Decode(r, step, decoder);
            if (reply) {
                Describe(r, *reply);
            }
            return reply.has_value();
        };
        decoded = command == Command::ReadKeys          ? describe(DecodeReadKeys)
                  : command == Command::ReadReservation ? describe(DecodeReadReservation)
                                                        : describe(DecodeReportCapabilities);
    }
    if (in_.hex && (decoded || !step.data.empty())) {
        r.lines.push_back("data area, " + std::to_string(step.data.size()) + " bytes:");
        r.lines.push_back(kHexDumpColumnHeader);
        for (const auto& row :
             HexDumpRows(step.data, static_cast<std::uint32_t>(step.data.size()))) {
            r.lines.push_back(row);
        }
    }
}

void Program::Scan(DeviceReport& r) {
    const auto state = ReadState(r);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    const ReservationReply& held = state->reservation;
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
}

void Program::Change(DeviceReport& r) {
    RequestFields fields = Fields(r.device, r.path);
    Command command = Command::RegisterDevice;
    std::string what;
    switch (in_.verb) {
        case Verb::Register:
            command = in_.ignoreExisting ? Command::RegisterAndIgnoreExistingKey
                                         : Command::RegisterDevice;
            fields.reservationKey =
                in_.ignoreExisting ? ReservationKey{} : in_.oldKey.value_or(ReservationKey{});
            fields.serviceActionKey = in_.key;
            what = std::string(RowOf(command).name) + " " + KeyText(in_.key);
            break;
        case Verb::Unregister:
            // Whatever key the path holds goes; a path without one stays as it is.
            command = Command::RegisterAndIgnoreExistingKey;
            fields.reservationKey = ReservationKey{};
            what = "unregister (REGISTER AND IGNORE EXISTING KEY with a zero key)";
            break;
        case Verb::Reserve:
        case Verb::Release:
            command = in_.verb == Verb::Reserve ? Command::ReserveDevice : Command::Release;
            fields.scopeAndType = in_.type;
            what = std::string(RowOf(command).name) + " " + TypeText(in_.type);
            break;
        case Verb::Clear:
            command = Command::ClearReservation;
            what = "CLEAR";
            break;
        default:  // preempt
            command = in_.abort ? Command::PreemptAndAbort : Command::Preempt;
            fields.serviceActionKey = in_.victim;
            fields.scopeAndType = in_.type;
            what = std::string(RowOf(command).name) + " " + KeyText(in_.victim) + ", " +
                   TypeText(in_.type);
            break;
    }
    if (!in_.allPaths) {
        const Step step = r.Add(ex_.Run(command, fields));
        r.heading = what + ": " + StepResult(step);
        if (step.exitStatus == kReservationConflict && command == Command::RegisterDevice) {
            r.lines.push_back(
                "this path may hold a registration already: --old-key names it, "
                "--ignore-existing replaces it");
        }
        return;
    }
    r.everyPath = true;
    r.heading = what + " on every path";
    std::vector<std::uint32_t> absent;
    for (std::uint32_t path = 0; path <= kHighestPath; ++path) {
        fields.path = path;
        Step step = ex_.Run(command, fields);
        if (step.error == kErrorDeviceDoesNotExist) {
            absent.push_back(path);
            r.steps.push_back(std::move(step));
        } else {
            r.lines.push_back("path " + std::to_string(path) + ": " + StepResult(step));
            r.Add(std::move(step));
        }
    }
    if (absent.size() == kHighestPath + 1) {
        r.Fail(kNoDevice);
        r.heading += ": the device has no path";
    } else if (!absent.empty()) {
        r.lines.push_back("paths that do not exist, skipped: " + NumberList(absent));
    }
}

void Program::GroupClear(DeviceReport& r) {
    const auto state = ReadState(r);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    // The dialog's read: the key it gives is the one the CLEAR carries.
    const Step read = r.Add(ex_.Run(Command::ReadReservation, DialogShape(r.device, r.path)));
    const auto held = Decode(r, read, DecodeReadReservation);
    if (!held) {
        r.HeadWithFailure();
        return;
    }
    r.facts.Set("reservation", ReservationJson(*held));
    const ClearPlan plan = PlanClear(*state, *held, in_.key, r.path);
    const char* outcome = in_.yes ? "outcome" : "plan";
    if (!held->held) {
        r.heading = "nothing held";
    } else if (!in_.yes) {
        r.heading = (plan.clear ? "would clear: " : "would not clear: ") + plan.why;
    } else if (!plan.clear) {
        r.heading = "not cleared: " + plan.why;
        r.Fail(kReservationConflict);
    } else {
        r.lines.push_back("READ RESERVATION: " + StepResult(read) + ", held by " +
                          KeyText(held->key));
        ClearAsPlanned(r, plan, held->key);
    }
    r.facts.Set(outcome, r.heading);
}

void Program::ClearAsPlanned(DeviceReport& r, const ClearPlan& plan,
                             const ReservationKey& keyRead) {
    // The dialog's requests, byte for byte with this host's key, each after a 1 ms pause.
    Pause1();
    RequestFields reg = DialogShape(r.device, r.path);
    reg.serviceActionKey = in_.key;
    const Step registered = ex_.Run(Command::RegisterDevice, reg);
    r.steps.push_back(registered);
    r.lines.push_back("REGISTER " + KeyText(in_.key) + ": " + StepResult(registered));
    Pause1();
    const bool refused = registered.exitStatus == kReservationConflict;
    if (!registered.Good() && !refused) {
        r.Fail(registered.exitStatus);
        r.heading = "not cleared: REGISTER failed: " + registered.failure;
        return;
    }
    if (plan.registerGood && *plan.registerGood != registered.Good()) {
        r.Fail(registered.Good() ? kOtherFailure : kReservationConflict);
        r.heading = "not cleared: REGISTER answered " + StepResult(registered) +
                    " where READ FULL STATUS showed path " + std::to_string(r.path) +
                    (registered.Good() ? " holding a key" : " holding none") +
                    "; stopped before the CLEAR";
        return;
    }
    RequestFields clear = DialogShape(r.device, r.path);
    clear.reservationKey = keyRead;
    clear.serviceActionKey = keyRead;
    const Step cleared = r.Add(ex_.Run(Command::ClearReservation, clear));
    r.lines.push_back("CLEAR with " + KeyText(keyRead) + ": " + StepResult(cleared));
    Pause1();
    const Step after = r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path)));
    const auto now = Decode(r, after, DecodeReadReservation);
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

void Program::Fence(DeviceReport& r) {
    using Own = DiskState::Own;
    const auto state = ReadState(r);
    if (!state) {
        r.HeadWithFailure();
        return;
    }
    const std::string p = "path " + std::to_string(r.path);
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
    const std::uint8_t type = state->reservation.held ? state->reservation.type : 0x6;
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
        r.facts.Set(outcome, r.heading);
        return;
    }
    if (registers) {
        RequestFields reg = Fields(r.device, r.path);
        reg.reservationKey = ReservationKey{};
        reg.serviceActionKey = in_.key;
        const Step registered = r.Add(ex_.Run(Command::RegisterDevice, reg));
        r.lines.push_back("REGISTER " + KeyText(in_.key) + ": " + StepResult(registered));
        if (!registered.Good()) {
            r.heading = registered.exitStatus == kReservationConflict
                            ? "stopped: " + p + " refused the REGISTER: it holds a key that " +
                                  "READ FULL STATUS did not show as its own; nothing changed"
                            : "stopped: REGISTER failed: " + registered.failure;
            r.facts.Set(outcome, r.heading);
            return;
        }
    }
    RequestFields fields = WholeDataArea(r.device, r.path);
    fields.reservationKey = actingKey;
    fields.serviceActionKey = in_.victim;
    fields.scopeAndType = type;
    Step preempted = ex_.Run(Command::PreemptAndAbort, fields);
    r.lines.push_back(preempt + ", " + TypeText(type) + ": " + StepResult(preempted));
    if (NotSupported(preempted)) {
        // A device without PREEMPT AND ABORT: PREEMPT removes the same registrations, only the
        // victim's commands in progress are not aborted.
        r.steps.push_back(preempted);
        preempted = ex_.Run(Command::Preempt, fields);
        r.lines.push_back("PREEMPT " + victim + " instead, " + TypeText(type) + ": " +
                          StepResult(preempted));
    }
    r.Add(preempted);
    const Step verify = r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path)));
    const auto after = Decode(r, verify, DecodeReadKeys);
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

std::string Where(const DeviceReport& r) {
    return "device " + std::to_string(r.device) +
           (r.everyPath ? std::string() : ", path " + std::to_string(r.path));
}

void PrintHuman(std::ostream& out, const DeviceReport& r) {
    out << Where(r) << ": " << r.heading << "\n";
    for (const auto& line : r.lines) {
        out << "  " << line << "\n";
    }
}

Json DeviceJson(const DeviceReport& r) {
    Json json = Json::Object();
    json.Set("device", r.device);
    json.Set("path", r.everyPath ? Json("all") : Json(r.path));
    json.Set("exit_status", r.exitStatus);
    json.Set("summary", r.heading);
    json.Set("facts", r.facts);
    Json steps = Json::Array();
    for (const auto& step : r.steps) {
        steps.Push(StepJson(step));
    }
    json.Set("commands", std::move(steps));
    return json;
}

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

int Run(const std::vector<std::string>& arguments, DriverPort& driver, Pause& pause,
        MessageLookup& messages, std::ostream& out, std::ostream& err) {
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

    DeviceChannel channel(driver);
    const bool open = channel.Open();
    if (!open) {
        const std::string detail = SystemText(messages, channel.OpenError());
        err << "tessaly-cli: cannot open " << channel.DeviceName() << ": error "
            << channel.OpenError() << (detail.empty() ? "" : ": " + detail) << "\n";
    }
    Exchanger exchanger(channel, open, messages, in.retries, [&err](const std::string& note) {
        err << "tessaly-cli: " << note << "\n";
    });
    Program program(in, exchanger, pause);

    int exitStatus = kSuccess;
    Json devices = Json::Array();
    // Only the group clear pauses between its commands.
    std::optional<ShortPauses> shortPauses;
    if (in.verb == Verb::GroupClear && in.yes) {
        shortPauses.emplace(pause);
    }
    for (const std::uint32_t device : in.devices) {
        const DeviceReport report = program.RunDevice(device);
        if (exitStatus == kSuccess) {
            exitStatus = report.exitStatus;
        }
        if (in.json) {
            devices.Push(DeviceJson(report));
            continue;
        }
        PrintHuman(out, report);
        // Nothing more is done once a report is lost: the next device would go unreported.
        if (!Written(out, err,
                     "the report of device " + std::to_string(device) +
                         " is lost; stopped there, the devices after it were not touched")) {
            return kOutputFailed;
        }
    }
    if (!in.yes && (in.verb == Verb::GroupClear || in.verb == Verb::Fence)) {
        err << "tessaly-cli: nothing was changed; add --yes to " << VerbName(in.verb) << "\n";
    }
    if (in.json) {
        Json doc = Json::Object();
        doc.Set("program", "tessaly-cli");
        doc.Set("command", VerbName(in.verb));
        doc.Set("path", in.allPaths ? Json("all") : Json(in.path));
        doc.Set("yes", in.yes);
        doc.Set("exit_status", exitStatus);
        doc.Set("devices", std::move(devices));
        out << doc.Dump() << "\n";
        if (!Written(out, err, "the JSON document is lost")) {
            return kOutputFailed;
        }
    }
    return exitStatus;
}

}  // namespace tessaly::cli
