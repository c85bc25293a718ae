#include "cli/Output.h"

#include <cstdio>

#include "cli/Values.h"
#include "scsi/Codes.h"
#include "scsi/Hex.h"
#include "scsi/Sense.h"

namespace tessaly::cli {
namespace {

using scsi::HexBytes;

std::string ScopeText(std::uint8_t scope) {
    const char* name = scsi::ScopeName(scope);
    return name != nullptr ? name : "scope " + std::to_string(scope) + "h";
}

const scsi::Fact* FindFact(const std::vector<scsi::Fact>& facts, const std::string& name) {
    for (const auto& fact : facts) {
        if (fact.name == name) {
            return &fact;
        }
    }
    return nullptr;
}

Json FactJson(const scsi::Fact& fact) {
    return fact.isNumber ? Json(fact.number) : Json(fact.text);
}

Json StepJson(const Step& step) {
    const scsi::Outcome& o = step.outcome;
    Json json = Json::Object();
    json.Set("service_action", scsi::ActionRow(step.action).name);
    json.Set("cdb", HexBytes(step.cdb));
    if (!step.parameterList.empty()) {
        json.Set("parameter_list", HexBytes(step.parameterList));
    } else {
        json.Set("allocation_length", step.allocationLength);
    }
    json.Set("attempts", step.attempts);
    json.Set("sent", o.sent);
    json.Set("error", o.failureNumber);
    const scsi::Fact* errorText = FindFact(o.facts, "error_text");
    json.Set("error_text", errorText != nullptr && !errorText->text.empty() ? FactJson(*errorText)
                           : o.Ran()                                        ? Json()
                                                                            : Json(o.failureText));
    const scsi::Fact* returned = FindFact(o.facts, "bytes_returned");
    json.Set("bytes_returned", returned != nullptr ? FactJson(*returned) : Json());
    json.Set("status", static_cast<int>(o.status));
    json.Set("status_name", o.Ran() ? Json(scsi::StatusName(o.status)) : Json());
    json.Set("sense", HexBytes(o.sense));
    if (const auto sense = scsi::DecodeSense(o.sense);
        sense && o.status == scsi::kStatusCheckCondition) {
        json.Set("sense_key", static_cast<int>(sense->key));
        json.Set("asc", static_cast<int>(sense->asc));
        json.Set("ascq", static_cast<int>(sense->ascq));
        json.Set("sense_text", scsi::SenseText(*sense));
    }
    json.Set("data", HexBytes(o.dataIn));
    json.Set("residual", o.residual);
    for (const auto& fact : o.facts) {
        if (fact.name != "error_text" && fact.name != "bytes_returned") {
            json.Set(fact.name, FactJson(fact));
        }
    }
    json.Set("exit_status", step.exitStatus);
    json.Set("failure", step.failure.empty() ? Json() : Json(step.failure));
    return json;
}

}  // namespace

void DeviceReport::HeadWithFailure() {
    for (const Step& step : steps) {
        if (heading.empty() && !step.Good() && step.exitStatus == exitStatus) {
            heading = "failed: " + step.failure;
        }
    }
}

Step DeviceReport::Add(Step step) {
    if (!step.Good()) {
        Fail(step.exitStatus);
        // What the transport knows of why, for a person.
        if (const scsi::Fact* note = FindFact(step.outcome.facts, "note")) {
            lines.push_back("note: " + note->text);
        }
    }
    steps.push_back(step);
    return step;
}

void DeviceReport::Fact(std::string line, const std::string& member, Json value) {
    if (!line.empty()) {
        lines.push_back(std::move(line));
    }
    facts.Set(member, std::move(value));
}

DeviceReport ReportFor(const scsi::Target& target, std::string asGiven, Json device, Json path) {
    DeviceReport r;
    r.where = target.Where();
    r.target = std::move(asGiven);
    r.device = std::move(device);
    r.path = std::move(path);
    for (const auto& fact : target.Describe()) {
        r.transport.Set(fact.name, FactJson(fact));
    }
    return r;
}

std::string Hex32(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", static_cast<unsigned>(value));
    return text;
}

std::string TypeText(std::uint8_t type) {
    const char* name = scsi::TypeName(type);
    char code[8];
    std::snprintf(code, sizeof code, "%Xh", static_cast<unsigned>(type));
    return name != nullptr ? std::string(name) + " (" + code + ")" : std::string("type ") + code;
}

std::string HolderText(const scsi::ReservationReply& reply) {
    return scsi::EveryRegistrantHolds(reply.type)
               ? "every registrant (key " + KeyText(reply.key) + ")"
               : KeyText(reply.key);
}

std::string StepResult(const Step& step) {
    return step.Good() ? scsi::StatusName(step.outcome.status) : step.failure;
}

Json KeyJson(const scsi::ReservationKey& key) {
    Json json = Json::Object();
    json.Set("key", KeyHex(key));
    const auto ascii = KeyAscii(key);
    json.Set("text", ascii ? Json(*ascii) : Json());
    return json;
}

Json ReservationJson(const scsi::ReservationReply& reply) {
    if (!reply.held) {
        return Json();
    }
    Json json = KeyJson(reply.key);
    json.Set("scope", static_cast<int>(reply.scope));
    json.Set("scope_name", ScopeText(reply.scope));
    json.Set("type", static_cast<int>(reply.type));
    json.Set("type_name",
             scsi::TypeName(reply.type) != nullptr ? Json(scsi::TypeName(reply.type)) : Json());
    return json;
}

void Describe(DeviceReport& r, const scsi::KeysReply& reply) {
    r.Fact("generation: " + Hex32(reply.generation), "generation", reply.generation);
    const std::uint32_t count = static_cast<std::uint32_t>(reply.keys.size()) + reply.notShown;
    Json keys = Json::Array();
    for (const auto& key : reply.keys) {
        keys.Push(KeyJson(key));
    }
    r.Fact(count == 0 ? "no registered keys" : "registered keys: " + std::to_string(count), "keys",
           std::move(keys));
    for (const auto& key : reply.keys) {
        r.lines.push_back("key: " + KeyText(key));
    }
    r.Fact(reply.notShown > 0
               ? "not shown: " + std::to_string(reply.notShown) + " more keys, beyond the data area"
               : std::string(),
           "keys_not_shown", reply.notShown);
}

void Describe(DeviceReport& r, const scsi::ReservationReply& reply) {
    r.Fact("generation: " + Hex32(reply.generation), "generation", reply.generation);
    r.Fact(reply.held ? "holder: " + HolderText(reply) : "no reservation", "reservation",
           ReservationJson(reply));
    if (reply.held) {
        r.lines.push_back("scope: " + ScopeText(reply.scope));
        r.lines.push_back("type: " + TypeText(reply.type));
        if (reply.moreDescriptors > 0) {
            r.lines.push_back("further reservation descriptors: " +
                              std::to_string(reply.moreDescriptors));
        }
    }
}

void Describe(DeviceReport& r, const scsi::FullStatusReply& reply,
              std::optional<std::uint32_t> total) {
    r.Fact("generation: " + Hex32(reply.generation), "generation", reply.generation);
    const std::uint32_t shown = static_cast<std::uint32_t>(reply.registrations.size());
    const std::uint32_t count = total && *total > shown ? *total : shown;
    Json list = Json::Array();
    for (const auto& reg : reply.registrations) {
        Json json = KeyJson(reg.key);
        json.Set("holder", reg.holder);
        json.Set("scope", static_cast<int>(reg.scope));
        json.Set("type", static_cast<int>(reg.type));
        json.Set("all_target_ports", reg.allTargetPorts);
        json.Set("relative_target_port", static_cast<int>(reg.relativeTargetPort));
        json.Set("transport_id", HexBytes(reg.transportId));
        json.Set("transport_id_text", scsi::TransportIdText(reg.transportId));
        list.Push(std::move(json));
    }
    r.Fact(count == 0 && reply.bytesNotShown == 0 ? "no registered keys"
                                                  : "registrations: " + std::to_string(count),
           "registrations", std::move(list));
    for (const auto& reg : reply.registrations) {
        r.lines.push_back("registration: " + KeyText(reg.key));
        r.lines.push_back("  holder: " + (reg.holder ? "yes, " + TypeText(reg.type) + ", scope " +
                                                           ScopeText(reg.scope)
                                                     : std::string("no")));
        r.lines.push_back(std::string("  all target ports: ") +
                          (reg.allTargetPorts ? "yes" : "no"));
        r.lines.push_back("  relative target port: " + std::to_string(reg.relativeTargetPort));
        r.lines.push_back("  " + scsi::TransportIdText(reg.transportId));
    }
    r.Fact(count > shown ? "not shown: " + std::to_string(count - shown) +
                               " more registrations, beyond the data area"
                         : std::string(),
           "registrations_not_shown", count - shown);
    r.Fact(count == shown && reply.bytesNotShown > 0
               ? "not shown: " + std::to_string(reply.bytesNotShown) +
                     " bytes of further descriptors, beyond the data area"
               : std::string(),
           "bytes_not_shown", reply.bytesNotShown);
}

void Describe(DeviceReport& r, const scsi::CapabilitiesReply& reply) {
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
    r.Fact("length: " + std::to_string(reply.length), "length", static_cast<int>(reply.length));
    for (const auto& bit : bits) {
        r.Fact(std::string(bit.text) + ": " + (bit.value ? "yes" : "no"), bit.name, bit.value);
    }
    r.Fact("allow commands: " + std::to_string(reply.allowCommands), "allow_commands",
           static_cast<int>(reply.allowCommands));
    Json types = Json::Array();
    for (const std::uint8_t type : reply.types) {
        types.Push(static_cast<int>(type));
    }
    r.facts.Set("types", reply.typeMaskValid ? std::move(types) : Json());
    for (const std::uint8_t type : reply.types) {
        r.lines.push_back("type supported: " + TypeText(type));
    }
}

void PrintHuman(std::ostream& out, const DeviceReport& r) {
    out << r.where << ": " << r.heading << "\n";
    for (const auto& line : r.lines) {
        out << "  " << line << "\n";
    }
}

Json DeviceJson(const DeviceReport& r) {
    Json json = Json::Object();
    json.Set("device", r.device);
    json.Set("path", r.path);
    json.Set("target", r.target);
    Json transport = r.transport;
    const Step* failed = nullptr;
    for (const Step& step : r.steps) {
        if (failed == nullptr && !step.outcome.Ran()) {
            failed = &step;
        }
    }
    transport.Set("error", failed != nullptr ? Json(failed->outcome.failureNumber) : Json(0));
    transport.Set("error_text", failed != nullptr ? Json(failed->outcome.failureText) : Json());
    json.Set("transport", std::move(transport));
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

}  // namespace tessaly::cli
