#include "sim/config/SetupApply.h"

namespace vlksim {

bool ApplySetup(const DiskSetup& setup, DiskModel& model) {
    model.Clear();
    bool ok = true;
    for (std::uint32_t d = 0; d <= kSetupMaxDevice; ++d) {
        const SetupDevice& device = setup.devices[d];
        if (!device.present) {
            continue;
        }
        ok = model.AddDevice(d) && ok;
        for (std::uint32_t p = 0; p <= kSetupMaxPath; ++p) {
            if ((device.paths & (std::uint64_t{1} << p)) != 0) {
                ok = model.AddPath(d, p) && ok;
            }
        }
        for (std::uint32_t p = 0; p <= kSetupMaxPath; ++p) {
            if (device.pathKeys[p].present) {
                ok = model.AddPathRegistration(d, p, device.pathKeys[p].key) && ok;
            }
        }
        for (std::uint32_t f = 0; f <= kSetupMaxForeign; ++f) {
            if (device.foreignKeys[f].present) {
                ok = model.AddForeignRegistration(d, f, device.foreignKeys[f].key) && ok;
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
