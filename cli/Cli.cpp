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

void Describe(DeviceReport& r, const FullStatusReply& reply) {
    r.lines.push_back("generation: " + Hex32(reply.generation));
    r.facts.Set("generation", reply.generation);
    r.lines.push_back(reply.registrations.empty() && reply.bytesNotShown == 0
                          ? "no registered keys"
                          : "registrations: " + std::to_string(reply.registrations.size()));
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
    if (reply.bytesNotShown > 0) {
        r.lines.push_back("not shown: " + std::to_string(reply.bytesNotShown) +
                          " bytes of further descriptors, beyond the data area");
    }
    r.facts.Set("registrations", std::move(list));
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
    void Read(DeviceReport& r);
    void Scan(DeviceReport& r);
    void Change(DeviceReport& r);
    void GroupClear(DeviceReport& r);
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
        default:
            Change(r);
            break;
    }
    return r;
}

void Program::Read(DeviceReport& r) {
    const Command command = in_.verb == Verb::Keys          ? Command::ReadKeys
                            : in_.verb == Verb::Reservation ? Command::ReadReservation
                            : in_.verb == Verb::FullStatus  ? Command::ReadFullStatus
                                                            : Command::ReportCapabilities;
    const Step step = r.Add(ex_.Run(command, WholeDataArea(r.device, r.path)));
    r.heading = step.Good() ? RowOf(command).name
                            : std::string(RowOf(command).name) + " failed: " + step.failure;
    const auto describe = [&r, &step](auto decoder) {
        const auto reply = Decode(r, step, decoder);
        if (reply) {
            Describe(r, *reply);
        }
        return reply.has_value();
    };
    const bool decoded = command == Command::ReadKeys          ? describe(DecodeReadKeys)
                         : command == Command::ReadReservation ? describe(DecodeReadReservation)
                         : command == Command::ReadFullStatus  ? describe(DecodeReadFullStatus)
                                                               : describe(DecodeReportCapabilities);
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
    std::uint32_t generation = 0;
    std::vector<ReservationKey> keys;
    std::optional<ReservationReply> reservation;
    const Step full = ex_.Run(Command::ReadFullStatus, WholeDataArea(r.device, r.path));
    const auto sense = DecodeSense(full.sense);
    const bool unsupported =
        full.exitStatus == kIllegalRequest && sense && (sense->asc == 0x24 || sense->asc == 0x20);
    if (unsupported) {
        // A device without READ FULL STATUS: READ KEYS and READ RESERVATION tell the same.
        r.steps.push_back(full);
        const Step keysStep = r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path)));
        const Step resStep =
            r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path)));
        const auto keyReply = Decode(r, keysStep, DecodeReadKeys);
        reservation = Decode(r, resStep, DecodeReadReservation);
        if (keyReply && reservation) {
            generation = keyReply->generation;
            keys = keyReply->keys;
        }
    } else if (const auto reply = Decode(r, r.Add(full), DecodeReadFullStatus)) {
        generation = reply->generation;
        ReservationReply held{reply->generation, false, {}, 0, 0, 0};
        for (const auto& reg : reply->registrations) {
            keys.push_back(reg.key);
            if (reg.holder && !held.held) {
                held = ReservationReply{reply->generation, true, reg.key, reg.scope, reg.type, 0};
            }
        }
        reservation = held;
    }
    if (r.exitStatus != kSuccess) {
        r.HeadWithFailure();
        return;
    }
    const std::size_t count = keys.size();
    r.heading =
        "generation " + Hex32(generation) + ", " +
        (count == 0 ? std::string("no registrations")
                    : std::to_string(count) + (count == 1 ? " registration" : " registrations")) +
        ", " +
        (reservation->held
             ? "held by " + HolderText(*reservation) + ", " + TypeText(reservation->type)
             : std::string("no reservation"));
    r.facts.Set("generation", generation);
    Json list = Json::Array();
    for (const auto& key : keys) {
        list.Push(KeyJson(key));
    }
    r.facts.Set("keys", std::move(list));
    r.facts.Set("reservation", ReservationJson(*reservation));
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
    if (!in_.yes) {
        const Step before =
            r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path)));
        const auto was = Decode(r, before, DecodeReadReservation);
        if (!was) {
            r.HeadWithFailure();
            return;
        }
        if (!was->held) {
            r.heading = "nothing held";
        } else if (was->key == in_.key) {
            r.heading = "would clear: held by " + KeyText(was->key) + " (this host's key)";
        } else {
            r.heading = "would not clear: held by " + KeyText(was->key) +
                        " (key not ours: its CLEAR would be refused)";
        }
        r.facts.Set("plan", r.heading);
        r.facts.Set("reservation", ReservationJson(*was));
        return;
    }
    // What the dialog does, byte for byte with this host's key: read the holder's key, register,
    // clear with the key read, each followed by a 1 ms pause.
    const Step read = r.Add(ex_.Run(Command::ReadReservation, DialogShape(r.device, r.path)));
    ReservationKey keyRead{};
    if (read.data.size() >= 16) {
        std::copy_n(read.data.begin() + 8, 8, keyRead.begin());
    }
    const auto was = Decode(r, read, DecodeReadReservation);
    Pause1();
    // The REGISTER and the CLEAR may be refused (a path registered already, a key not ours) with
    // the device none the worse: the reads before and after decide the outcome.
    RequestFields reg = DialogShape(r.device, r.path);
    reg.serviceActionKey = in_.key;
    const Step registered = ex_.Run(Command::RegisterDevice, reg);
    r.steps.push_back(registered);
    Pause1();
    RequestFields clear = DialogShape(r.device, r.path);
    clear.reservationKey = keyRead;
    clear.serviceActionKey = keyRead;
    const Step clearStep = ex_.Run(Command::ClearReservation, clear);
    r.steps.push_back(clearStep);
    Pause1();
    const Step after = r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path)));
    const auto now = Decode(r, after, DecodeReadReservation);

    r.lines.push_back("READ RESERVATION: " + StepResult(read) +
                      (was ? (was->held ? ", held by " + KeyText(was->key) : ", none") : ""));
    r.lines.push_back("REGISTER " + KeyText(in_.key) + ": " + StepResult(registered));
    r.lines.push_back("CLEAR with " + KeyText(keyRead) + ": " + StepResult(clearStep));
    r.lines.push_back("READ RESERVATION: " + StepResult(after) +
                      (now ? (now->held ? ", held by " + KeyText(now->key) : ", none") : ""));
    if (now) {
        r.facts.Set("reservation", ReservationJson(*now));
    }
    if (!now || !was) {
        r.HeadWithFailure();
        return;
    }
    if (now->held) {
        r.heading = "left held by " + KeyText(now->key) +
                    (now->key == in_.key ? std::string() : " (key not ours)");
        r.Fail(clearStep.Good() ? kOtherFailure : clearStep.exitStatus);
    } else {
        r.heading = was->held ? "cleared" : "nothing held";
    }
    r.facts.Set("outcome", r.heading);
}

void Program::Fence(DeviceReport& r) {
    const auto victimIn = [this](const KeysReply& keys) {
        return std::find(keys.keys.begin(), keys.keys.end(), in_.victim) != keys.keys.end();
    };
    const Step keysStep = r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path)));
    const auto keys = Decode(r, keysStep, DecodeReadKeys);
    const Step resStep = r.Add(ex_.Run(Command::ReadReservation, WholeDataArea(r.device, r.path)));
    const auto reservation = Decode(r, resStep, DecodeReadReservation);
    if (!keys || !reservation) {
        r.HeadWithFailure();
        return;
    }
    const std::uint8_t type = reservation->held ? reservation->type : 0x6;
    if (!victimIn(*keys)) {
        r.heading = "victim key " + KeyText(in_.victim) + " not registered: nothing to do";
        r.facts.Set("outcome", r.heading);
        return;
    }
    const std::string plan = "register " + KeyText(in_.key) + " on path " + std::to_string(r.path) +
                             ", then PREEMPT AND ABORT " + KeyText(in_.victim) + " with " +
                             TypeText(type);
    if (!in_.yes) {
        r.heading = "would " + plan;
        r.facts.Set("plan", r.heading);
        return;
    }
    RequestFields reg = Fields(r.device, r.path);
    reg.reservationKey = ReservationKey{};
    reg.serviceActionKey = in_.key;
    const Step registered = r.Add(ex_.Run(Command::RegisterAndIgnoreExistingKey, reg));
    r.lines.push_back("REGISTER AND IGNORE EXISTING KEY " + KeyText(in_.key) + ": " +
                      StepResult(registered));
    if (registered.Good()) {
        RequestFields preempt = Fields(r.device, r.path);
        preempt.serviceActionKey = in_.victim;
        preempt.scopeAndType = type;
        const Step preempted = r.Add(ex_.Run(Command::PreemptAndAbort, preempt));
        r.lines.push_back("PREEMPT AND ABORT " + KeyText(in_.victim) + ", " + TypeText(type) +
                          ": " + StepResult(preempted));
    }
    const Step verify = r.Add(ex_.Run(Command::ReadKeys, WholeDataArea(r.device, r.path)));
    const auto after = Decode(r, verify, DecodeReadKeys);
    r.lines.push_back("READ KEYS: " + StepResult(verify));
    if (after && !victimIn(*after)) {
        r.heading = "fenced: victim key " + KeyText(in_.victim) + " gone";
    } else if (after) {
        r.heading = "victim key " + KeyText(in_.victim) + " still registered";
        r.Fail(kOtherFailure);
    } else {
        r.HeadWithFailure();
    }
    r.facts.Set("outcome", r.heading);
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

}  // namespace

int Run(const std::vector<std::string>& arguments, DriverPort& driver, Pause& pause,
        MessageLookup& messages, std::ostream& out, std::ostream& err) {
    const ParsedArguments parsed = ParseArguments(arguments);
    if (!parsed.help.empty()) {
        out << parsed.help;
        return kSuccess;
    }
    if (!parsed.invocation) {
        err << "tessaly-cli: " << parsed.error << "\n";
        return kSyntaxError;
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
        } else {
            PrintHuman(out, report);
            out.flush();
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
    }
    return exitStatus;
}

}  // namespace tessaly::cli
