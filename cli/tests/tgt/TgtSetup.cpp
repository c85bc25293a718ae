// Plays a set-up text of the stand-in driver onto the LUNs of a tgt target, so that a real target
// holds the registrations and reservations of the stand-in's disks: disk N is LUN N + 1 (tgt's
// LUN 0 is its controller); this host's path P registers as the initiator
// iqn.2026-12.org.tessaly:pathP and another host's initiator F as iqn.2026-12.org.tessaly:foreignF,
// the names READ FULL STATUS gives them on the stand-in, each from a session of its own, in the
// order of the set-up; the holder then reserves. Each LUN up to the last disk's is cleared first
// (every registration and reservation of every session goes), so that a set-up can be played
// again. What tgt cannot be told (unit attentions, quirks, latency) is left out. tgt keeps what a
// session registered and reserved after it logs out.
//   tgt_setup PORTAL TARGET-NAME SETUP-FILE     (SETUP-FILE "-": the stand-in's default disks)
#include <fstream>
#include <iostream>
#include <map>
#include <memory>
#include <sstream>
#include <string>

#include "scsi/Codes.h"
#include "scsi/PersistentReservation.h"
#include "scsi/Sense.h"
#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "targets/iscsi/IscsiTarget.h"

namespace {

using tessaly::scsi::PrAction;

struct Registration {
    int order;
    bool foreign;
    std::uint32_t number;
    tessaly::scsi::ReservationKey key;
};

// Sends the command again while a unit attention (tgt's power-on one of a new session) meets it.
bool Send(tessaly::scsi::Target& target, PrAction action, const tessaly::scsi::PrFields& fields) {
    for (int attempt = 0; attempt < 5; ++attempt) {
        const auto outcome = target.Execute(tessaly::scsi::MakeRequest(action, fields, 10));
        const auto sense = tessaly::scsi::DecodeSense(outcome.sense);
        if (outcome.Ran() && outcome.status == tessaly::scsi::kStatusCheckCondition && sense &&
            sense->key == tessaly::scsi::kSenseUnitAttention) {
            continue;
        }
        if (!outcome.Ran() || outcome.status != tessaly::scsi::kStatusGood) {
            std::cerr << "tgt_setup: " << target.Where() << ": "
                      << tessaly::scsi::ActionRow(action).name << ": "
                      << (outcome.Ran() ? tessaly::scsi::StatusName(outcome.status)
                                        : outcome.failureText)
                      << "\n";
            return false;
        }
        return true;
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::cerr << "usage: tgt_setup PORTAL TARGET-NAME SETUP-FILE\n";
        return 2;
    }
    std::string text(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength);
    if (std::string(argv[3]) != "-") {
        std::ifstream file(argv[3]);
        std::ostringstream read;
        read << file.rdbuf();
        text = read.str();
    }
    static vlksim::DiskSetup setup;
    const vlksim::SetupParseResult parsed = vlksim::ParseSetup(text.data(), text.size(), setup);
    if (!parsed.Ok()) {
        std::cerr << "tgt_setup: " << argv[3] << ":" << parsed.line << ": "
                  << vlksim::SetupErrorText(parsed.error) << "\n";
        return 2;
    }
    const auto address = tessaly::targets::ParseIscsiAddress(std::string("iscsi://") + argv[1] +
                                                             "/" + argv[2] + "/1");
    if (!address.ok) {
        std::cerr << "tgt_setup: " << address.error.message << "\n";
        return 2;
    }
    // One connector, so one session, for each initiator: its registrations are its nexus's.
    std::map<std::string, std::unique_ptr<tessaly::targets::IscsiConnector>> hosts;
    const auto lunOf = [&](const std::string& name, std::uint32_t lun) {
        auto& host = hosts[name];
        if (!host) {
            host = std::make_unique<tessaly::targets::IscsiConnector>(
                tessaly::targets::IscsiOptions{name, std::nullopt, 10});
        }
        tessaly::targets::IscsiAddress one = address.address;
        one.luns = {static_cast<std::uint16_t>(lun)};
        return std::move(host->Open(one).front());
    };
    const auto nameOf = [](bool foreign, std::uint32_t number) {
        return std::string("iqn.2026-12.org.tessaly:") + (foreign ? "foreign" : "path") +
               std::to_string(number);
    };
    bool ok = true;
    std::uint32_t last = 0;
    for (std::uint32_t d = 0; d <= vlksim::kSetupMaxDevice; ++d) {
        last = setup.devices[d].present ? d : last;
    }
    for (std::uint32_t d = 0; d <= last; ++d) {
        const tessaly::scsi::ReservationKey resetKey = {'T', 'G', 'T', '-', 'S', 'E', 'T', 'U'};
        tessaly::scsi::PrFields fields;
        fields.serviceActionKey = resetKey;
        const auto lun = lunOf("iqn.2026-12.org.tessaly:setup", d + 1);
        ok &= Send(*lun, PrAction::RegisterAndIgnoreExistingKey, fields);
        fields.reservationKey = resetKey;
        ok &= Send(*lun, PrAction::Clear, fields);
    }
    for (std::uint32_t d = 0; d <= vlksim::kSetupMaxDevice; ++d) {
        const vlksim::SetupDevice& device = setup.devices[d];
        if (!device.present) {
            continue;
        }
        std::multimap<std::pair<int, std::uint32_t>, Registration> order;
        const auto gather = [&](const vlksim::SetupRegistration* keys, std::uint32_t count,
                                bool foreign) {
            for (std::uint32_t n = 0; n < count; ++n) {
                if (keys[n].present) {
                    Registration r{keys[n].order, foreign, n, {}};
                    std::copy(keys[n].key, keys[n].key + 8, r.key.begin());
                    order.emplace(std::make_pair(r.order, n), r);
                }
            }
        };
        gather(device.pathKeys, vlksim::kSetupMaxPath + 1, false);
        gather(device.foreignKeys, vlksim::kSetupMaxForeign + 1, true);
        for (const auto& [where, r] : order) {
            tessaly::scsi::PrFields fields;
            fields.serviceActionKey = r.key;
            ok &= Send(*lunOf(nameOf(r.foreign, r.number), d + 1), PrAction::Register, fields);
            if (device.holder != vlksim::SetupHolder::None &&
                r.foreign == (device.holder == vlksim::SetupHolder::Foreign) &&
                r.number == device.holderNumber) {
                fields = {};
                fields.reservationKey = r.key;
                fields.scopeAndType = device.reservationType;
                ok &= Send(*lunOf(nameOf(r.foreign, r.number), d + 1), PrAction::Reserve, fields);
            }
        }
    }
    return ok ? 0 : 1;
}
