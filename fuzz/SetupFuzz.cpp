// The set-up parser over any bytes, and the disk model loaded from what it accepts: the model must
// take every set-up the parser accepts and then hold exactly that, as READ KEYS and READ
// RESERVATION show it, with the quirks the text names.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz/FuzzInput.h"
#include "scsi/Bytes.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace {

using tessaly::fuzz::Check;
using tessaly::scsi::LoadBe32;

// The registration whose line came `order`-th on the device.
const vlksim::SetupRegistration* Registration(const vlksim::SetupDevice& device,
                                              std::uint8_t order) {
    for (const auto& r : device.pathKeys) {
        if (r.present && r.order == order) {
            return &r;
        }
    }
    for (const auto& r : device.foreignKeys) {
        if (r.present && r.order == order) {
            return &r;
        }
    }
    return nullptr;
}

void CheckDevice(vlksim::DiskModel& model, std::uint32_t number, const vlksim::SetupDevice& device,
                 const std::string& lowerText) {
    Check(model.Generation(number) == 0, "set-up leaves the generation at 0");
    Check(model.Quirks(number) == device.quirks, "the model has the quirks of the set-up");
    for (std::uint32_t quirk = 1; quirk <= vlksim::kQuirksAll; quirk <<= 1) {
        const char* name = vlksim::SetupQuirkName(quirk);
        Check(name != nullptr, "every quirk has a name");
        Check((device.quirks & quirk) == 0 || lowerText.find(name) != std::string::npos,
              "a quirk of the set-up is named in the text");
    }
    for (std::uint32_t p = 0; p < vlksim::kPathCount; ++p) {
        Check(model.HasPath(number, p) == ((device.paths >> p) & 1),
              "the model has the paths of the set-up");
    }
    std::uint8_t cdb[10] = {0x5E, 0x00, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0};
    std::uint8_t data[512];
    model.Execute(number, {true, 0}, cdb, sizeof cdb, nullptr, 0, data, sizeof data);
    Check(LoadBe32(data + 4) == 8u * device.registrationCount,
          "READ KEYS lists every registration line");
    for (std::uint8_t order = 1; order <= device.registrationCount; ++order) {
        const vlksim::SetupRegistration* r = Registration(device, order);
        Check(r != nullptr && std::memcmp(data + 8 * order, r->key, 8) == 0,
              "READ KEYS lists the keys in the order of their lines");
    }

    cdb[1] = 0x01;
    model.Execute(number, {true, 0}, cdb, sizeof cdb, nullptr, 0, data, sizeof data);
    if (device.holder == vlksim::SetupHolder::None) {
        Check(LoadBe32(data + 4) == 0, "no reservation without a holder line");
        return;
    }
    Check(LoadBe32(data + 4) == 16 && (data[21] & 0x0F) == device.reservationType,
          "the reservation of the holder line");
    const vlksim::SetupRegistration& holder = device.holder == vlksim::SetupHolder::Path
                                                  ? device.pathKeys[device.holderNumber]
                                                  : device.foreignKeys[device.holderNumber];
    const bool allRegistrants = device.reservationType == 7 || device.reservationType == 8;
    Check(allRegistrants || std::memcmp(data + 8, holder.key, 8) == 0,
          "the reservation carries the holder's key");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static vlksim::DiskSetup setup;
    static vlksim::DiskModel model;
    const auto result = vlksim::ParseSetup(reinterpret_cast<const char*>(data), size, setup);
    Check(vlksim::SetupErrorText(result.error) != nullptr, "every error has a text");
    if (!result.Ok()) {
        const auto lines = 1 + std::count(data, data + size, '\n');
        Check(result.line >= 1 && result.line <= lines, "the error names a line of the text");
        for (const auto& device : setup.devices) {
            Check(!device.present, "a failed parse leaves no disks");
        }
        return 0;
    }
    Check(result.line == 0, "success names no line");
    Check(vlksim::ApplySetup(setup, model), "the model takes every set-up the parser accepts");
    std::string lowerText(reinterpret_cast<const char*>(data), size);
    for (char& c : lowerText) {
        c = c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    }
    for (std::uint32_t d = 0; d < vlksim::kDeviceCount; ++d) {
        Check(model.HasDevice(d) == setup.devices[d].present, "the model has the set-up's disks");
        Check(vlksim::SetupLatency(setup, d) <= vlksim::kSetupMaxLatencyMs &&
                  (setup.devices[d].present || vlksim::SetupLatency(setup, d) == 0),
              "a latency in range, and none for a disk that is not there");
        if (setup.devices[d].present) {
            CheckDevice(model, d, setup.devices[d], lowerText);
        } else {
            Check(setup.devices[d].quirks == 0, "no quirks for a disk that is not there");
        }
    }
    return 0;
}
