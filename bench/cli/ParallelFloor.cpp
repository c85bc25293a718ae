// The floor of `tessaly-cli --parallel N VERB FIRST-LAST --path 0`: one process that opens the VLK
// driver's control device for overlapped calls and, on N threads, sends each device the commands
// the program sends it on the benchmark's disks, in the same order with the same pauses, and
// nothing else (no decoding, no output per device).
//   tessaly_cli_parallel_floor scan|group-clear|fence FIRST LAST N
// scan: READ FULL STATUS. group-clear (each disk held under TESSALY1 by another node, path 0
// registered nowhere): READ FULL STATUS, the dialog's READ RESERVATION, REGISTER and CLEAR, each
// followed by 1 ms, then READ RESERVATION. fence (path 0 registered as TESSALY1, NODE-C03 holding):
// READ FULL STATUS, PREEMPT AND ABORT of NODE-C03 under TESSALY1, READ KEYS. Prints the seconds and
// the number of calls that failed.
#include <windows.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

#include "core/DeviceChannel.h"
#include "scsi/PersistentReservation.h"
#include "win32/Win32DriverPort.h"

namespace {

using namespace tessaly;
using scsi::PrAction;

struct Floor {
    DeviceChannel& channel;
    std::atomic<int> failed{0};

    void Send(std::uint32_t device, PrAction action, const scsi::PrFields& fields) {
        const scsi::Request r = scsi::MakeRequest(action, fields, 10);
        const bool in = r.direction == scsi::Direction::In;
        const auto transfer = in ? r.dataInLength : static_cast<std::uint32_t>(r.dataOut.size());
        PassThroughRequest record(device, 0, in ? DataDirection::In : DataDirection::Out, r.cdb,
                                  r.dataOut, transfer, r.timeoutSeconds);
        OperationResult result;
        const std::uint32_t output = OutputLength(transfer) > PassThroughRequest::kOutputSize
                                         ? OutputLength(transfer)
                                         : PassThroughRequest::kOutputSize;
        failed += channel.Send(record, result, output, 10000) != 0;
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: tessaly_cli_parallel_floor scan|group-clear|fence FIRST LAST N\n");
        return 2;
    }
    const char* verb = argv[1];
    const auto first = static_cast<std::uint32_t>(std::atoi(argv[2]));
    const auto last = static_cast<std::uint32_t>(std::atoi(argv[3]));
    const int width = std::atoi(argv[4]);
    win32::Win32DriverPort port(true);
    DeviceChannel channel(port);
    if (!channel.Open()) {
        std::fprintf(stderr, "cannot open the control device: error %u\n",
                     static_cast<unsigned>(channel.OpenError()));
        return 15;
    }
    Floor floor{channel};
    const scsi::ReservationKey ours = {'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1'};
    const scsi::ReservationKey victim = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};
    const auto device = [&](std::uint32_t d) {
        scsi::PrFields whole;
        whole.allocationLength = request_layout::kDataAreaSize;
        floor.Send(d, PrAction::ReadFullStatus, whole);
        if (std::strcmp(verb, "group-clear") == 0) {
            scsi::PrFields dialog;
            dialog.scopeAndType = 0x06;
            dialog.allocationLength = 24;
            floor.Send(d, PrAction::ReadReservation, dialog);
            ::Sleep(1);
            dialog.serviceActionKey = ours;
            floor.Send(d, PrAction::Register, dialog);
            ::Sleep(1);
            dialog.reservationKey = ours;
            floor.Send(d, PrAction::Clear, dialog);
            ::Sleep(1);
            floor.Send(d, PrAction::ReadReservation, whole);
        } else if (std::strcmp(verb, "fence") == 0) {
            scsi::PrFields preempt;
            preempt.reservationKey = ours;
            preempt.serviceActionKey = victim;
            preempt.scopeAndType = 0x06;
            floor.Send(d, PrAction::PreemptAndAbort, preempt);
            floor.Send(d, PrAction::ReadKeys, whole);
        }
    };
    if (std::strcmp(verb, "group-clear") == 0) {
        ::timeBeginPeriod(1);
    }
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    std::atomic<std::uint32_t> next{first};
    std::vector<std::thread> threads;
    for (int t = 0; t < width; ++t) {
        threads.emplace_back([&] {
            for (std::uint32_t d = next++; d <= last; d = next++) {
                device(d);
            }
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    ::QueryPerformanceCounter(&end);
    std::printf("%.6f %d\n",
                static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart),
                floor.failed.load());
    return 0;
}
