#include "sim/config/SetupApply.h"

namespace vlksim {

static_assert(kSetupMaxPortName == kPortNameMax, "the set-up gives no name the model cannot keep");

bool ApplySetup(const DiskSetup& setup, DiskModel& model) {
    model.Clear();
    bool ok = true;
    for (std::uint32_t d = 0; d <= kSetupMaxDevice; ++d) {
        const SetupDevice& device = setup.devices[d];
        if (!device.present) {
            continue;
        }
        ok = model.AddDevice(d) && ok;
        ok = model.SetUnitAttentions(d, device.unitAttentions) && ok;
        ok = model.SetQuirks(d, device.quirks) && ok;
        ok = model.SetPersistCapable(d, device.persistCapable) && ok;
        for (std::uint32_t f = 0; f <= kSetupMaxForeign; ++f) {
            const SetupPort& port = device.ports[f];
            if (port.present) {
                ok = model.SetForeignPort(d, f, port.name, port.nameLength, port.isid) && ok;
            }
        }
        for (std::uint32_t p = 0; p <= kSetupMaxPath; ++p) {
            if ((device.paths & (std::uint64_t{1} << p)) != 0) {
                ok = model.AddPath(d, p) && ok;
            }
        }
        // Registrations in the order of their lines.
        for (std::uint8_t order = 1; order <= device.registrationCount; ++order) {
            for (std::uint32_t p = 0; p <= kSetupMaxPath; ++p) {
                const SetupRegistration& r = device.pathKeys[p];
                if (r.present && r.order == order) {
                    ok = model.AddPathRegistration(d, p, r.key) && ok;
                }
            }
            for (std::uint32_t f = 0; f <= kSetupMaxForeign; ++f) {
                const SetupRegistration& r = device.foreignKeys[f];
                if (r.present && r.order == order) {
                    ok = model.AddForeignRegistration(d, f, r.key) && ok;
                }
            }
        }
        if (device.holder == SetupHolder::Path) {
            ok = model.ReservePath(d, device.holderNumber, device.reservationType) && ok;
        } else if (device.holder == SetupHolder::Foreign) {
            ok = model.ReserveForeign(d, device.holderNumber, device.reservationType) && ok;
        }
    }
    return ok;
}

}  // namespace vlksim
