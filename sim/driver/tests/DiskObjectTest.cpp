// The disk objects of vlkpath.sys under Wine (latency-setup.txt): "\\.\PhysicalDrive<10000 +
// 100 x device + path>" answers IOCTL_SCSI_PASS_THROUGH on the same I_T nexus as the VLK path
// with the same numbers; the DIRECT form as far as Wine lets a driver reach a caller's pages.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim/driver/GuardedCall.h"
#include "sim/driver/tests/DriverCalls.h"

namespace tessaly::win32 {
namespace {

using namespace driver_calls;

// The buffered form as a 64-bit caller lays it out.
struct SptWithBuffers {
    SCSI_PASS_THROUGH header;
    ULONG filler;
    UCHAR sense[32];
    UCHAR data[512];
};
static_assert(sizeof(SCSI_PASS_THROUGH) == 56 && offsetof(SptWithBuffers, data) == 92);

constexpr std::array<std::uint8_t, 10> kReadKeys = {0x5E, 0x00, 0, 0, 0, 0, 0, 0x02, 0x00, 0};

SptWithBuffers Spt(const std::array<std::uint8_t, 10>& cdb, std::uint8_t direction,
                   std::uint32_t transfer) {
    SptWithBuffers s{};
    s.header.Length = sizeof(SCSI_PASS_THROUGH);
    s.header.CdbLength = static_cast<UCHAR>(cdb.size());
    s.header.SenseInfoLength = sizeof s.sense;
    s.header.DataIn = direction;
    s.header.DataTransferLength = transfer;
    s.header.TimeOutValue = 2;
    s.header.DataBufferOffset = offsetof(SptWithBuffers, data);
    s.header.SenseInfoOffset = offsetof(SptWithBuffers, sense);
    std::copy(cdb.begin(), cdb.end(), s.header.Cdb);
    return s;
}

std::array<std::uint8_t, 10> WithServiceAction(std::uint8_t action) {
    std::array<std::uint8_t, 10> cdb = kReadKeys;
    cdb[1] = action;
    return cdb;
}

// One synchronous call: the error number (0 on success) and the bytes returned.
std::pair<DWORD, DWORD> Control(HANDLE handle, DWORD code, void* buffer, DWORD length) {
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(handle, code, buffer, length, buffer, length, &bytes, nullptr);
    return {ok ? 0 : GetLastError(), bytes};
}

std::string DiskName(std::uint32_t number) {
    return "\\\\.\\PhysicalDrive" + std::to_string(number);
}

class VlkpathDisk : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DriverExpected()) {
            GTEST_SKIP() << "vlkpath.sys with latencies is not installed in this prefix";
        }
        ASSERT_NE(control_.Get(), INVALID_HANDLE_VALUE) << control_.OpenError();
    }

    // A buffered call on a disk object.
    std::pair<DWORD, DWORD> OnDisk(std::uint32_t number, SptWithBuffers& s) {
        const Handle disk(DiskName(number).c_str(), false);
        EXPECT_NE(disk.Get(), INVALID_HANDLE_VALUE) << number << ": " << disk.OpenError();
        return Control(disk.Get(), IOCTL_SCSI_PASS_THROUGH, &s, sizeof s);
    }

    Handle control_{DeviceChannel::kDeviceName, false};
};

TEST_F(VlkpathDisk, ReadsGiveTheBytesOfTheVlkPath) {
    for (const std::uint8_t action : {0x00, 0x01, 0x03}) {  // keys, reservation, full status
        PassThroughRequest vlk = ReadIn(7, 1, action);
        ASSERT_EQ(Call(control_.Get(), vlk), 0u);
        SptWithBuffers s = Spt(WithServiceAction(action), SCSI_IOCTL_DATA_IN, 512);
        const auto [error, bytes] = OnDisk(10701, s);
        ASSERT_EQ(error, 0u) << int{action};
        const std::uint32_t length = vlk.DataTransferLength();
        EXPECT_EQ(s.header.ScsiStatus, vlk.ScsiStatus());
        EXPECT_EQ(s.header.DataTransferLength, length) << int{action};
        EXPECT_EQ(s.header.SenseInfoLength, 0) << "no sense";
        EXPECT_EQ(bytes, offsetof(SptWithBuffers, data) + length);
        EXPECT_TRUE(std::equal(s.data, s.data + length, vlk.DataArea().begin())) << int{action};
    }
}

TEST_F(VlkpathDisk, ARegistrationThroughADiskIsTheVlkPathsOwn) {
    SptWithBuffers reg = Spt({0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0}, SCSI_IOCTL_DATA_OUT, 24);
    const Key key = KeyFor(702);
    std::copy(key.begin(), key.end(), reg.data + 8);
    ASSERT_EQ(OnDisk(10702, reg).first, 0u);
    EXPECT_EQ(reg.header.ScsiStatus, 0);
    EXPECT_EQ(reg.header.DataTransferLength, 24u);

    // READ FULL STATUS through the VLK path 0 names path 2 with the key.
    PassThroughRequest status = ReadIn(7, 0, 0x03);
    ASSERT_EQ(Call(control_.Get(), status), 0u);
    const auto data = status.DataArea();
    const auto at = std::search(data.begin(), data.end(), key.begin(), key.end());
    ASSERT_NE(at, data.end());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(&*at) + 28),
              "iqn.2026-12.org.tessaly:path2");
    // The VLK path 2 holds that key: it alone may unregister with it.
    PassThroughRequest gone = Register(7, 2, key, kZeroKey);
    ASSERT_EQ(Call(control_.Get(), gone), 0u);
    EXPECT_EQ(gone.ScsiStatus(), 0);
    SptWithBuffers keys = Spt(kReadKeys, SCSI_IOCTL_DATA_IN, 512);
    ASSERT_EQ(OnDisk(10702, keys).first, 0u);
    EXPECT_EQ(keys.data[7], 24) << "the dead node's three keys left";
}

TEST_F(VlkpathDisk, MalformedCallsAndMissingDisksAreRefused) {
    const std::vector<std::pair<std::function<void(SptWithBuffers&)>, DWORD>> refused = {
        {[](SptWithBuffers& s) { s.header.CdbLength = 17; }, ERROR_INVALID_PARAMETER},
        {[](SptWithBuffers& s) { s.header.Length = 44; }, ERROR_INVALID_PARAMETER},
        {[](SptWithBuffers& s) { s.header.SenseInfoOffset = sizeof s; }, ERROR_INVALID_PARAMETER},
    };
    for (const auto& [change, expected] : refused) {
        SptWithBuffers s = Spt(kReadKeys, SCSI_IOCTL_DATA_IN, 512);
        change(s);
        EXPECT_EQ(OnDisk(10701, s), std::make_pair(expected, DWORD{0}));
    }
    SptWithBuffers s = Spt(kReadKeys, SCSI_IOCTL_DATA_IN, 512);
    const Handle disk(DiskName(10701).c_str(), false);
    EXPECT_EQ(Control(disk.Get(), IOCTL_PATH_PASS_THROUGH, &s, sizeof s).first,
              DWORD{ERROR_INVALID_FUNCTION});

    // A path the disk does not have, a disk that is not there: no such file.
    for (const std::uint32_t number : {10704u, 10001u, 20099u, 9999u}) {
        EXPECT_EQ(Handle(DiskName(number).c_str(), false).OpenError(), DWORD{ERROR_FILE_NOT_FOUND})
            << number;
    }
}

// Under Wine the driver runs in winedevice.exe, not in the caller's process: MmProbeAndLockPages
// does nothing there and MmMapLockedPagesSpecifyCache maps nothing, so a DIRECT call with data
// fails as a port driver fails when it cannot map the pages. Without data it runs, and its sense
// comes back through the system buffer.
TEST_F(VlkpathDisk, DirectFormRunsUnderWineOnlyWithoutData) {
    struct Direct {
        SCSI_PASS_THROUGH_DIRECT header;
        ULONG filler;
        UCHAR sense[32];
    };
    const auto direct = [](const std::array<std::uint8_t, 10>& cdb, void* data,
                           std::uint32_t transfer) {
        Direct d{};
        d.header.Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
        d.header.CdbLength = 10;
        d.header.SenseInfoLength = sizeof d.sense;
        d.header.DataIn = SCSI_IOCTL_DATA_IN;
        d.header.DataTransferLength = transfer;
        d.header.TimeOutValue = 2;
        d.header.DataBuffer = data;
        d.header.SenseInfoOffset = offsetof(Direct, sense);
        std::copy(cdb.begin(), cdb.end(), d.header.Cdb);
        return d;
    };
    const Handle disk(DiskName(10701).c_str(), false);
    alignas(8) std::array<std::uint8_t, 512> pages{};

    Direct keys = direct(kReadKeys, pages.data(), 512);
    EXPECT_EQ(Control(disk.Get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &keys, sizeof keys).first,
              DWORD{ERROR_NO_SYSTEM_RESOURCES});
    Direct unaligned = direct(kReadKeys, pages.data() + 2, 24);
    EXPECT_EQ(
        Control(disk.Get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &unaligned, sizeof unaligned).first,
        DWORD{ERROR_INVALID_PARAMETER});

    Direct ready = direct({0x00, 0, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr, 0);  // TEST UNIT READY
    EXPECT_EQ(Control(disk.Get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &ready, sizeof ready),
              std::make_pair(DWORD{0}, DWORD{sizeof(SCSI_PASS_THROUGH_DIRECT)}));
    EXPECT_EQ(ready.header.ScsiStatus, 0);

    Direct unknown = direct({0xC7, 0, 0, 0, 0, 0, 0, 0, 0, 0}, nullptr, 0);
    EXPECT_EQ(Control(disk.Get(), IOCTL_SCSI_PASS_THROUGH_DIRECT, &unknown, sizeof unknown),
              std::make_pair(DWORD{0}, DWORD{offsetof(Direct, sense) + 18}));
    EXPECT_EQ(unknown.header.ScsiStatus, 0x02);
    EXPECT_EQ(unknown.header.SenseInfoLength, 18);
    EXPECT_EQ(unknown.sense[2] & 0x0F, 0x05) << "ILLEGAL REQUEST";
    EXPECT_EQ(unknown.sense[12], 0x20) << "INVALID COMMAND OPERATION CODE";
}

TEST_F(VlkpathDisk, DisksWaitTheirLatencyOnOverlappedHandles) {
    const Handle disk(DiskName(10801).c_str(), true);
    SptWithBuffers s = Spt(kReadKeys, SCSI_IOCTL_DATA_IN, 512);
    Flight flight(ReadIn(8, 1, 0x00));
    EXPECT_EQ(flight.Send(disk.Get(), IOCTL_SCSI_PASS_THROUGH, &s, sizeof s, sizeof s),
              DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(flight.Wait(disk.Get()), std::make_pair(DWORD{0}, DWORD{92 + 8}));
    EXPECT_EQ(s.header.DataTransferLength, 8u);
}

void Returns(void*, std::uintptr_t, std::uintptr_t) {}
void Raises(void*, std::uintptr_t code, std::uintptr_t) {
    RaiseException(static_cast<DWORD>(code), 0, 0, nullptr);
}
void Faults(void* address, std::uintptr_t, std::uintptr_t) {
    *static_cast<volatile int*>(address) = 1;
}

// The guard the driver puts around MmProbeAndLockPages, here in user mode.
TEST(GuardedCall, GivesTheCodeOfWhatTheCallRaised) {
    EXPECT_EQ(vlkpath_GuardedCall(Returns, nullptr, 0, 0), 0u);
    EXPECT_EQ(vlkpath_GuardedCall(Raises, nullptr, 0xE0000042, 0), 0xE0000042u);
    EXPECT_EQ(vlkpath_GuardedCall(Faults, reinterpret_cast<void*>(16), 0, 0), 0xC0000005u);
}

}  // namespace
}  // namespace tessaly::win32
