#include "testing/MemoryDialog.h"

namespace tessaly::testing {

OpsBench::OpsBench(bool openChannel) {
    if (!openChannel) {
        port.FailOpen(2);
    }
    channel.Open();
}

}  // namespace tessaly::testing
