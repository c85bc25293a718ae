// The floor of a scan: one process that opens the VLK driver's control device and makes the same
// READ FULL STATUS calls as `tessaly-cli scan FIRST-LAST --path P`, one per device, and nothing
// else. Prints the seconds the calls took inside the process.
//   tessaly_cli_scan_floor FIRST LAST PATH
#include <windows.h>

#include <cstdio>
#include <cstdlib>

#include "core/DeviceChannel.h"
#include "scsi/PersistentReservation.h"
#include "win32/Win32DriverPort.h"

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: tessaly_cli_scan_floor FIRST LAST PATH\n");
        return 2;
    }
    const auto first = static_cast<std::uint32_t>(std::atoi(argv[1]));
    const auto last = static_cast<std::uint32_t>(std::atoi(argv[2]));
    const auto path = static_cast<std::uint32_t>(std::atoi(argv[3]));
    tessaly::win32::Win32DriverPort port;
    tessaly::DeviceChannel channel(port);
    if (!channel.Open()) {
        std::fprintf(stderr, "cannot open the control device: error %u\n",
                     static_cast<unsigned>(channel.OpenError()));
        return 15;
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    int failed = 0;
    for (std::uint32_t device = first; device <= last; ++device) {
        constexpr std::uint32_t kWhole = tessaly::request_layout::kDataAreaSize;
        const auto cdb =
            tessaly::scsi::PersistentReserveInCdb(tessaly::scsi::kReadFullStatus, kWhole);
        tessaly::PassThroughRequest request(device, path, tessaly::DataDirection::In, cdb, {},
                                            kWhole, 10);
        tessaly::OperationResult result;
        failed += channel.Send(request, result, tessaly::OutputLength(kWhole)) != 0;
    }
    ::QueryPerformanceCounter(&end);
    std::printf("%.6f %d\n",
                static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart),
                failed);
    return 0;
}
