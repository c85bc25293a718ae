// The disks the stand-in driver starts with when its service key holds no set-up of its own.
// The one place this text lives: the driver compiles it in, and `vlk_setup --default` prints it.
#pragma once

#include <cstddef>

namespace vlksim {

inline constexpr char kDefaultSetupText[] =
    "# The stand-in driver's default disks. \"TESSALY1\" is the program's own fixed key.\n"
    "#\n"
    "# Device 0: reserved by another cluster node that ran this same program.\n"
    "device 0 paths 0,1\n"
    "device 0 foreign 0 key 54455353414C5931 reserve 6\n"
    "# Device 1: four paths; another node's program holds the reservation, a third node is\n"
    "# registered with the same key.\n"
    "device 1 paths 0-3\n"
    "device 1 foreign 1 key 54455353414C5931 reserve 6\n"
    "device 1 foreign 2 key 54455353414C5931\n"
    "# Device 2: reserved by another host under its own key; this host's path 1 is registered.\n"
    "device 2 paths 0,1,2\n"
    "device 2 foreign 3 key \"NODE-B01\" reserve 6\n"
    "device 2 path 1 key 54455353414C5931\n"
    "# Device 3 does not exist.\n"
    "# Device 4: free, no registrations.\n"
    "device 4 paths 0,1\n"
    "# Device 5: this host's path 0 and another node are registered; the other node's program\n"
    "# holds the reservation.\n"
    "device 5 paths 0,1,2\n"
    "device 5 path 0 key 54455353414C5931\n"
    "device 5 foreign 4 key 54455353414C5931 reserve 6\n"
    "# Device 6: reports unit attentions. This host's paths 0 and 1 are registered, another\n"
    "# host holds the reservation under its own key. A clear on one path reaches the other path\n"
    "# once, as CHECK CONDITION with sense key 6h (2Ah/03h), in place of its next command.\n"
    "device 6 paths 0,1 unit-attentions\n"
    "device 6 path 0,1 key 54455353414C5931\n"
    "device 6 foreign 3 key \"NODE-B01\" reserve 5\n"
    "# Device 7: a cluster node that died holds the disk under its key NODE-C03 on its three\n"
    "# initiators; this host's paths 0 and 1 and the surviving node are registered with TESSALY1.\n"
    "# Preempting NODE-C03 from path 0 or 1 fences the dead node. Reports unit attentions.\n"
    "device 7 paths 0-3 unit-attentions\n"
    "device 7 foreign 5-7 key \"NODE-C03\" reserve 6\n"
    "device 7 path 0,1 key 54455353414C5931\n"
    "device 7 foreign 1 key 54455353414C5931\n";

inline constexpr std::size_t kDefaultSetupLength = sizeof(kDefaultSetupText) - 1;

}  // namespace vlksim
