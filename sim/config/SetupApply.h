// Loads a parsed set-up into the disk model. Freestanding, like the parser and the model.
#pragma once

#include "sim/config/Setup.h"
#include "sim/model/DiskModel.h"

namespace vlksim {

// Clears the model, then adds the set-up's disks, paths, registrations, reservation holders and
// quirks.
// False when the model refuses any of them (the model then holds what it took until then).
bool ApplySetup(const DiskSetup& setup, DiskModel& model);

}  // namespace vlksim
