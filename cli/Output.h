// What the program reports of one device: a heading, facts one a line and the same facts as JSON
// members (each pair from one call, so that they cannot drift apart), and every command with its
// raw reply. The verbs fill a DeviceReport; the program prints it or writes it into the document.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

#include "cli/Exchange.h"
#include "cli/Json.h"
#include "scsi/Replies.h"
#include "scsi/Target.h"

namespace tessaly::cli {

struct DeviceReport {
    std::string where;                // "device 2, path 0": the start of its line
    std::string target;               // the address as given: "2", "iscsi://host/iqn.../5"
    Json device;                      // the device (or LUN) number, for JSON
    Json path;                        // the path number, "all", or null
    Json transport = Json::Object();  // what the transport knows of the target
    std::string heading;
    std::vector<std::string> lines;
    Json facts = Json::Object();
    std::vector<Step> steps;
    int exitStatus = kSuccess;
    bool wouldChange = false;  // a plan without --yes that would change the device with it

    void Fail(int status) {
        if (exitStatus == kSuccess) {
            exitStatus = status;
        }
    }
    // Unless a heading says more already: the failure of the step that decided the outcome.
    void HeadWithFailure();
    // Keeps the step; a failed one makes the device's outcome a failure.
    Step Add(Step step);
    // One fact: its line for a person (none when empty) and its member for JSON.
    void Fact(std::string line, const std::string& member, Json value);
};

// A report for one target, its where, target and transport facts filled in.
DeviceReport ReportFor(const scsi::Target& target, std::string asGiven, Json device, Json path);

// "0x0000002A"
std::string Hex32(std::uint32_t value);
// "Exclusive Access - Registrants Only (6h)", "type 9h"
std::string TypeText(std::uint8_t type);
// "every registrant (key ...)" under an all-registrants reservation, else the holder's key.
std::string HolderText(const scsi::ReservationReply& reply);
// What a step answered: GOOD, or its failure.
std::string StepResult(const Step& step);
// A key for JSON: {"key": "0x...", "text": "NODE-C03" or null}.
Json KeyJson(const scsi::ReservationKey& key);
// A reservation for JSON: null, or the holder's key with scope and type.
Json ReservationJson(const scsi::ReservationReply& reply);

// The decoded replies, as facts. `total`: every registration the device has, where READ KEYS
// counted them because READ FULL STATUS's descriptors did not all fit.
void Describe(DeviceReport& r, const scsi::KeysReply& reply);
void Describe(DeviceReport& r, const scsi::ReservationReply& reply);
void Describe(DeviceReport& r, const scsi::FullStatusReply& reply,
              std::optional<std::uint32_t> total);
void Describe(DeviceReport& r, const scsi::CapabilitiesReply& reply);

// Decodes the reply of a good step, or marks the device as failed with the reason.
template <class Reply>
std::optional<Reply> Decode(DeviceReport& r, const Step& step,
                            scsi::Decoded<Reply> (*decoder)(std::span<const std::uint8_t>,
                                                            std::uint32_t)) {
    if (!step.Good()) {
        return std::nullopt;
    }
    scsi::Decoded<Reply> decoded = decoder(step.Data(), step.allocationLength);
    if (!decoded.reply) {
        r.Fail(kMalformedReply);
        r.heading = std::string(scsi::ActionRow(step.action).name) +
                    " reply cannot be decoded: " + decoded.problem;
    }
    return decoded.reply;
}

void PrintHuman(std::ostream& out, const DeviceReport& r);
Json DeviceJson(const DeviceReport& r);

}  // namespace tessaly::cli
