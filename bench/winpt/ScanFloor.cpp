// The floor of a scan over the stand-in driver's disk objects: one process that opens each
// "\\.\PhysicalDrive<10000 + 100 x device>" (path 0) of FIRST..LAST in turn and sends it one READ
// FULL STATUS of ALLOCATION bytes in IOCTL_SCSI_PASS_THROUGH, and nothing else. With `target`,
// the same through PassThroughTarget and a request of scsi::MakeRequest, the transport's own
// work included. Prints the seconds the disks took inside the process and the calls that failed.
//   tessaly_winpt_scan_floor FIRST LAST ALLOCATION [target]
#include <windows.h>
// After windows.h.
#include <ntddscsi.h>

#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "scsi/PersistentReservation.h"
#include "targets/winpt/PassThroughTarget.h"

namespace {

std::string DiskName(unsigned device) {
    return "\\\\.\\PhysicalDrive" + std::to_string(10000 + 100 * device);
}

// Header, 32 bytes of sense, the data at 88 (8-aligned).
constexpr std::size_t kSenseOffset = sizeof(SCSI_PASS_THROUGH), kDataOffset = kSenseOffset + 32;

bool Bare(unsigned device, std::uint16_t allocation, std::vector<std::uint8_t>& buffer) {
    const HANDLE disk =
        CreateFileA(DiskName(device).c_str(), GENERIC_READ | GENERIC_WRITE,
                    FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (disk == INVALID_HANDLE_VALUE) {
        return false;
    }
    SCSI_PASS_THROUGH header{};
    header.Length = sizeof header;
    header.CdbLength = 10;
    header.SenseInfoLength = 32;
    header.DataIn = SCSI_IOCTL_DATA_IN;
    header.DataTransferLength = allocation;
    header.TimeOutValue = 10;
    header.DataBufferOffset = kDataOffset;
    header.SenseInfoOffset = kSenseOffset;
    const auto cdb =
        tessaly::scsi::PersistentReserveInCdb(tessaly::scsi::kReadFullStatus, allocation);
    std::memcpy(header.Cdb, cdb.data(), cdb.size());
    std::memcpy(buffer.data(), &header, sizeof header);
    DWORD returned = 0;
    const BOOL ok =
        DeviceIoControl(disk, IOCTL_SCSI_PASS_THROUGH, buffer.data(), kDataOffset, buffer.data(),
                        static_cast<DWORD>(kDataOffset + allocation), &returned, nullptr);
    CloseHandle(disk);
    return ok && buffer[offsetof(SCSI_PASS_THROUGH, ScsiStatus)] == 0;
}

bool ThroughTarget(unsigned device, std::uint16_t allocation) {
    tessaly::targets::PassThroughTarget disk(DiskName(device));
    tessaly::scsi::PrFields fields;
    fields.allocationLength = allocation;
    const tessaly::scsi::Outcome outcome = disk.Execute(
        tessaly::scsi::MakeRequest(tessaly::scsi::PrAction::ReadFullStatus, fields, 10));
    return outcome.Ran() && outcome.status == 0;
}

}  // namespace

int main(int argc, char** argv) {
    const bool target = argc == 5 && std::strcmp(argv[4], "target") == 0;
    if (argc != 4 && !target) {
        std::fprintf(stderr, "usage: tessaly_winpt_scan_floor FIRST LAST ALLOCATION [target]\n");
        return 2;
    }
    const auto first = static_cast<unsigned>(std::atoi(argv[1]));
    const auto last = static_cast<unsigned>(std::atoi(argv[2]));
    const auto allocation = static_cast<std::uint16_t>(std::atoi(argv[3]));
    std::vector<std::uint8_t> buffer(kDataOffset + allocation);
    LARGE_INTEGER frequency;
    LARGE_INTEGER start;
    LARGE_INTEGER end;
    ::QueryPerformanceFrequency(&frequency);
    ::QueryPerformanceCounter(&start);
    int failed = 0;
    for (unsigned device = first; device <= last; ++device) {
        failed += !(target ? ThroughTarget(device, allocation) : Bare(device, allocation, buffer));
    }
    ::QueryPerformanceCounter(&end);
    std::printf("%.6f %d\n",
                static_cast<double>(end.QuadPart - start.QuadPart) /
                    static_cast<double>(frequency.QuadPart),
                failed);
    return 0;
}
