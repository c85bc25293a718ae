// Times overlapped READ KEYS calls on the stand-in driver's control device, all sent at once and
// gathered through an I/O completion port, in three shapes: one call (the floor: one latency),
// one call to each of the disks FIRST..LAST, and as many calls to the disk FIRST alone.
//   vlkpath_latency_bench FIRST LAST ROUNDS
// Prints one line a round: "floor-ms many-disks-ms one-disk-ms failures".
#include <windows.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <vector>

#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"

namespace {

using tessaly::PassThroughRequest;

struct Flight {
    OVERLAPPED overlapped{};
    PassThroughRequest request;
};

// Sends one READ KEYS to each disk of `disks` and waits for all: the milliseconds, and the calls
// that failed.
double Round(HANDLE handle, HANDLE port, const std::vector<std::uint32_t>& disks, int& failures) {
    const std::array<std::uint8_t, tessaly::kCdbSize> cdb = {0x5E, 0, 0, 0, 0, 0, 0, 0, 60, 0};
    std::vector<std::unique_ptr<Flight>> flights;
    for (const std::uint32_t disk : disks) {
        flights.push_back(std::unique_ptr<Flight>(
            new Flight{{}, PassThroughRequest(disk, 0, tessaly::DataDirection::In, cdb, {})}));
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto& flight : flights) {
        if (!DeviceIoControl(handle, tessaly::IOCTL_PATH_PASS_THROUGH, flight->request.Bytes(), 616,
                             flight->request.OutputArea(), 152, nullptr, &flight->overlapped) &&
            GetLastError() != ERROR_IO_PENDING) {
            ++failures;
        }
    }
    for (std::size_t i = 0; i < flights.size(); ++i) {
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* overlapped = nullptr;
        if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 120000)) {
            ++failures;
        }
    }
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: vlkpath_latency_bench FIRST LAST ROUNDS\n");
        return 2;
    }
    const auto first = static_cast<std::uint32_t>(std::atoi(argv[1]));
    const auto last = static_cast<std::uint32_t>(std::atoi(argv[2]));
    const int rounds = std::atoi(argv[3]);
    const HANDLE handle =
        CreateFileA(tessaly::DeviceChannel::kDeviceName, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                    OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        std::fprintf(stderr, "open failed: %lu\n", GetLastError());
        return 1;
    }
    const HANDLE port = CreateIoCompletionPort(handle, nullptr, 1, 0);
    std::vector<std::uint32_t> many;
    for (std::uint32_t disk = first; disk <= last; ++disk) {
        many.push_back(disk);
    }
    const std::vector<std::uint32_t> one(many.size(), first);
    for (int round = 0; round < rounds; ++round) {
        int failures = 0;
        const double floor = Round(handle, port, {first}, failures);
        const double spread = Round(handle, port, many, failures);
        const double queued = Round(handle, port, one, failures);
        std::printf("%.2f %.2f %.2f %d\n", floor, spread, queued, failures);
    }
    CloseHandle(port);
    CloseHandle(handle);
    return 0;
}
