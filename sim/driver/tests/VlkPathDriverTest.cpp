// vlkpath.sys under Wine, reached the way the program reaches it: "\\.\vlkpath" through the
// Win32 driver port, requests from the command core. The prefix holds the disks of
// driver-setup.txt (suite VlkpathDriver), the default disks (VlkpathDefault), no disks
// (VlkpathEmpty) or no driver at all (VlkpathStopped).
#include <gtest/gtest.h>
#include <windows.h>
// These two need windows.h first.
#include <sddl.h>
#include <winternl.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"
#include "sim/driver/DeviceSecurity.h"
#include "win32/Win32DriverPort.h"

namespace tessaly::win32 {
namespace {

using Key = std::array<std::uint8_t, 8>;
constexpr Key kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kNodeB01 = {'N', 'O', 'D', 'E', '-', 'B', '0', '1'};
constexpr Key kNodeC03 = {'N', 'O', 'D', 'E', '-', 'C', '0', '3'};
constexpr Key kOtherNode = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr Key kZeroKey = {};

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kConflict = 0x18;
constexpr std::uint32_t kNoSuchDevice = 55;  // ERROR_DEV_NOT_EXIST
constexpr DWORD kUntouched = 0xA5A5A5A5;

bool DriverExpected() {
    const char* value = std::getenv("TESSALY_EXPECT_DRIVER");
    return value != nullptr && value[0] == '1';
}

// One exchange: the request after the call, the outcome and the error number.
struct Exchange {
    PassThroughRequest request;
    OperationResult result;
    std::uint32_t error;

    std::uint8_t Status() const { return request.ScsiStatus(); }
    std::uint8_t Data(std::size_t i) const { return request.DataArea()[i]; }
    std::uint32_t Be32(std::size_t i) const {
        return (std::uint32_t{Data(i)} << 24) | (std::uint32_t{Data(i + 1)} << 16) |
               (std::uint32_t{Data(i + 2)} << 8) | Data(i + 3);
    }
    Key KeyAt(std::size_t i) const {
        Key key{};
        for (std::size_t j = 0; j < key.size(); ++j) {
            key[j] = Data(i + j);
        }
        return key;
    }
    // The ASC/ASCQ of a unit attention (sense key 6h) in the sense area, else 0.
    std::uint16_t Attention() const {
        const std::uint8_t* sense = request.Bytes() + request_offset::kSenseArea;
        if (Status() != 0x02 || (sense[2] & 0x0F) != 0x06) {
            return 0;
        }
        return static_cast<std::uint16_t>(sense[12] << 8 | sense[13]);
    }
};

class VlkpathDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DriverExpected()) {
            GTEST_SKIP() << "vlkpath.sys is not installed in this prefix";
        }
        ASSERT_TRUE(channel_.Open()) << "open error " << channel_.OpenError();
    }

    Exchange Send(const PassThroughRequest& request) {
        Exchange exchange{request, {}, 0};
        exchange.result.bytesReturned = kUntouched;
        exchange.error = channel_.Send(exchange.request, exchange.result);
        return exchange;
    }

    // A command of the program, with the program's rule for CurrentKey.
    Exchange Run(Command command, std::uint32_t device, std::uint32_t path) {
        Exchange exchange = Send(BuildCommandRequest(command, device, path, key_));
        if (command == Command::ReadKeys || command == Command::ReadReservation) {
            key_.CaptureFrom(exchange.request);
        }
        return exchange;
    }

    // Raw DeviceIoControl on the channel's handle: the error number and the bytes returned.
    std::pair<DWORD, DWORD> Raw(DWORD code, void* input, DWORD inputLength, void* output,
                                DWORD outputLength) {
        DWORD bytes = kUntouched;
        const BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(channel_.Handle()), code, input,
                                        inputLength, output, outputLength, &bytes, nullptr);
        return {ok ? 0 : GetLastError(), bytes};
    }

    Win32DriverPort port_;
    DeviceChannel channel_{port_};
    CurrentKey key_;
};

// A completed call: success, and exactly the 152-byte output area written.
void ExpectCompleted(const Exchange& e, std::uint8_t status) {
    EXPECT_EQ(e.error, 0u);
    EXPECT_NE(e.result.success, 0);
    EXPECT_EQ(e.result.bytesReturned, 152u);
    EXPECT_EQ(e.Status(), status);
}

TEST_F(VlkpathDriver, ReadRepliesCarryKeysAndHolder) {
    const Exchange keys = Run(Command::ReadKeys, 2, 0);
    ExpectCompleted(keys, kGood);
    EXPECT_EQ(keys.request.DataTransferLength(), 24u);
    EXPECT_EQ(keys.Be32(0), 0u) << "generation: the set-up is the start state";
    EXPECT_EQ(keys.Be32(4), 16u) << "two keys";
    EXPECT_EQ(keys.KeyAt(8), kTessaly);
    EXPECT_EQ(keys.KeyAt(16), kOtherNode);
    for (std::size_t i = 24; i < PassThroughRequest::kDataAreaSize; ++i) {
        ASSERT_EQ(keys.Data(i), 0) << "data byte " << i << " beyond the reply";
    }
    EXPECT_EQ(LoadLe32(keys.request.Bytes()), 2u) << "the bytes before the output area";

    const Exchange holder = Run(Command::ReadReservation, 1, 2);
    ExpectCompleted(holder, kGood);
    EXPECT_EQ(holder.request.DataTransferLength(), 24u);
    EXPECT_EQ(holder.Be32(4), 16u);
    EXPECT_EQ(holder.KeyAt(8), kNodeB01);
    EXPECT_EQ(holder.Data(21), 0x06) << "scope LU, Exclusive Access Registrants Only";
    EXPECT_EQ(Key(key_.Bytes()), kNodeB01);
}

TEST_F(VlkpathDriver, RegisterReserveAndClearChangeTheDisk) {
    const Exchange empty = Run(Command::ReadKeys, 0, 0);
    ExpectCompleted(empty, kGood);
    EXPECT_EQ(empty.Be32(4), 0u);
    EXPECT_EQ(empty.request.DataTransferLength(), 8u);

    ExpectCompleted(Run(Command::RegisterDevice, 0, 0), kGood);
    const Exchange keys = Run(Command::ReadKeys, 0, 1);
    EXPECT_EQ(keys.Be32(0), 1u);
    EXPECT_EQ(keys.Be32(4), 8u);
    EXPECT_EQ(keys.KeyAt(8), kTessaly);

    EXPECT_EQ(Run(Command::ReserveDevice, 0, 1).Status(), kConflict) << "path 1 is unregistered";
    ExpectCompleted(Run(Command::ReserveDevice, 0, 0), kGood);
    const Exchange holder = Run(Command::ReadReservation, 0, 1);
    EXPECT_EQ(holder.KeyAt(8), kTessaly);
    EXPECT_EQ(holder.Data(21), 0x06);

    ExpectCompleted(Run(Command::ClearReservation, 0, 0), kGood);  // with the key just read
    const Exchange after = Run(Command::ReadKeys, 0, 0);
    EXPECT_EQ(after.Be32(0), 2u);
    EXPECT_EQ(after.Be32(4), 0u);
    EXPECT_EQ(Run(Command::ReadReservation, 0, 0).Be32(4), 0u);
    EXPECT_EQ(Key(key_.Bytes()), kZeroKey);
}

TEST_F(VlkpathDriver, ForeignHolderMakesClearAConflict) {
    ASSERT_EQ(Run(Command::ReadReservation, 1, 0).KeyAt(8), kNodeB01);
    ExpectCompleted(Run(Command::ClearReservation, 1, 0), kConflict);  // path not registered
    ExpectCompleted(Run(Command::RegisterDevice, 1, 0), kGood);
    ASSERT_EQ(Run(Command::ReadReservation, 1, 0).KeyAt(8), kNodeB01);
    ExpectCompleted(Run(Command::ClearReservation, 1, 0), kConflict);  // not the path's key
    ExpectCompleted(Run(Command::ReserveDevice, 1, 0), kConflict);
    EXPECT_EQ(Run(Command::ReadReservation, 1, 2).KeyAt(8), kNodeB01);
}

TEST_F(VlkpathDriver, RefusedCommandGivesCheckConditionWithSense) {
    // PERSISTENT RESERVE IN with a service action that does not exist.
    const std::array<std::uint8_t, kCdbSize> cdb = {0x5E, 0x1F, 0, 0, 0, 0, 0, 0, 24, 0};
    const Exchange e = Send(PassThroughRequest(3, 0, DataDirection::In, cdb, {}));
    ExpectCompleted(e, kCheckCondition);
    const std::uint8_t* sense = e.request.Bytes() + request_offset::kSenseArea;
    EXPECT_EQ(sense[0], 0x70) << "current error, fixed format";
    EXPECT_EQ(sense[2] & 0x0F, 0x05) << "ILLEGAL REQUEST";
    EXPECT_EQ(sense[12], 0x24) << "INVALID FIELD IN CDB";
    for (std::size_t i = 24; i < PassThroughRequest::kSenseAreaSize; ++i) {
        EXPECT_EQ(sense[i], 0) << "sense byte " << i << " beyond SenseInfoLength";
    }
}

TEST_F(VlkpathDriver, MissingDeviceOrPathFailsAndLeavesTheCountAlone) {
    for (const auto& [device, path] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {5, 0}, {0, 2}, {101, 0}, {100, 31}, {0xFFFFFFFF, 0}}) {
        const Exchange e = Run(Command::ReadKeys, device, path);
        EXPECT_EQ(e.error, kNoSuchDevice) << device << "/" << path;
        EXPECT_EQ(e.result.success, 0);
        EXPECT_EQ(e.result.bytesReturned, kUntouched);
        EXPECT_EQ(e.Status(), 0);
    }
    ExpectCompleted(Run(Command::ReadKeys, 100, 32), kGood);
}

TEST_F(VlkpathDriver, MalformedRequestsFailWithInvalidParameter) {
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 2, 0, CurrentKey{});
    std::vector<std::uint8_t> out(1024, 0);
    for (const auto& [in, size] : std::vector<std::pair<DWORD, DWORD>>{
             {615, 152}, {617, 152}, {0, 152}, {616, 151}, {616, 0}}) {
        const auto [error, bytes] =
            Raw(IOCTL_PATH_PASS_THROUGH, request.Bytes(), in, out.data(), size);
        EXPECT_EQ(error, 87u) << in << "/" << size;
        EXPECT_EQ(bytes, kUntouched) << in << "/" << size;
    }
    PassThroughRequest broken = request;
    StoreLe16(broken.Bytes() + request_offset::kLength, 55);
    EXPECT_EQ(Raw(IOCTL_PATH_PASS_THROUGH, broken.Bytes(), 616, out.data(), 152),
              std::make_pair(DWORD{87}, kUntouched));
    // Another control code: STATUS_INVALID_DEVICE_REQUEST.
    EXPECT_EQ(Raw(IOCTL_PATH_PASS_THROUGH + 4, request.Bytes(), 616, out.data(), 152),
              std::make_pair(DWORD{ERROR_INVALID_FUNCTION}, kUntouched));
    // A larger output than the program's, in a buffer of its own, still gets the 152 bytes.
    EXPECT_EQ(Raw(IOCTL_PATH_PASS_THROUGH, request.Bytes(), 616, out.data(), 608),
              std::make_pair(DWORD{0}, DWORD{152}));
}

TEST_F(VlkpathDriver, CallersOnSeveralHandlesGetWholeAnswers) {
    // Calls on one synchronous handle queue before the driver; handles of their own do not.
    std::array<int, 4> wrong{};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&wrong, t] {
            const HANDLE handle =
                CreateFileA(DeviceChannel::kDeviceName, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            const Command command = t % 2 == 0 ? Command::ReadKeys : Command::ReadReservation;
            for (int i = 0; i < 100; ++i) {
                PassThroughRequest r = BuildCommandRequest(command, 2, t % 2, CurrentKey{});
                DWORD bytes = 0;
                const BOOL ok = DeviceIoControl(handle, IOCTL_PATH_PASS_THROUGH, r.Bytes(), 616,
                                                r.OutputArea(), 152, &bytes, nullptr);
                const auto data = r.DataArea();
                const bool whole = ok && bytes == 152 && data[8] == 0x54 &&
                                   (command == Command::ReadKeys ? data[16] == 1 : data[21] == 6);
                wrong[t] += whole ? 0 : 1;
            }
            CloseHandle(handle);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(wrong, (std::array<int, 4>{}));
}

// A path registered with the program's key fences a dead node: PREEMPT AND ABORT of its key,
// with another type. The disk reports unit attentions to this host's other paths.
TEST_F(VlkpathDriver, PreemptAndAbortTakesTheDeadNodesReservationOver) {
    std::array<std::uint8_t, kParameterListSize> list{};
    std::copy(kTessaly.begin(), kTessaly.end(), list.begin());
    std::copy(kNodeC03.begin(), kNodeC03.end(), list.begin() + 8);
    const std::array<std::uint8_t, kCdbSize> preempt = {0x5F, 0x05, 0x05, 0, 0, 0, 0, 0, 24, 0};
    const Exchange e = Send(PassThroughRequest(4, 0, DataDirection::Out, preempt, list));
    ExpectCompleted(e, kGood);
    EXPECT_EQ(e.request.DataTransferLength(), 24u);

    // Path 1 kept its registration under a reservation of another type: RESERVATIONS RELEASED.
    // Path 2 bore the dead node's key: REGISTRATIONS PREEMPTED. Each once, in place of a command.
    EXPECT_EQ(Run(Command::ReadReservation, 4, 1).Attention(), 0x2A04);
    EXPECT_EQ(Run(Command::ReadKeys, 4, 2).Attention(), 0x2A05);
    const Exchange holder = Run(Command::ReadReservation, 4, 1);
    ExpectCompleted(holder, kGood);
    EXPECT_EQ(holder.KeyAt(8), kTessaly);
    EXPECT_EQ(holder.Data(21), 0x05);
    EXPECT_EQ(Run(Command::ReadKeys, 4, 2).Be32(4), 16u) << "this host's two paths are left";

    // READ FULL STATUS on the whole data area, through the port with the whole output block.
    const std::array<std::uint8_t, kCdbSize> fullStatus = {0x5E, 0x03, 0, 0, 0, 0, 0, 2, 0, 0};
    PassThroughRequest status(4, 1, DataDirection::In, fullStatus, {});
    StoreLe32(status.Bytes() + request_offset::kDataTransferLength, 512);
    std::uint32_t returned = 0;
    const ControlOutcome outcome =
        port_.Control(channel_.Handle(), IOCTL_PATH_PASS_THROUGH, status.Bytes(), 616,
                      status.OutputArea(), 608, &returned);
    ASSERT_NE(outcome.success, 0) << outcome.error;
    EXPECT_EQ(returned, 604u);
    EXPECT_EQ(status.DataTransferLength(), 128u);
    const auto data = status.DataArea();
    EXPECT_EQ(data[3], 1) << "generation";
    EXPECT_EQ(data[7], 120) << "two descriptors of 24 bytes and a 36-byte TransportID";
    for (std::size_t at : {8u, 68u}) {
        EXPECT_TRUE(std::equal(kTessaly.begin(), kTessaly.end(), data.begin() + at));
        EXPECT_EQ(data[at + 12], at == 8 ? 1 : 0) << "R_HOLDER";
        EXPECT_EQ(data[at + 13], at == 8 ? 0x05 : 0) << "scope and type";
        EXPECT_EQ(data[at + 19], 1) << "relative target port";
        EXPECT_EQ(data[at + 24], 0x05) << "iSCSI";
        const std::string name(reinterpret_cast<const char*>(data.data()) + at + 28);
        EXPECT_EQ(name,
                  at == 8 ? "iqn.2026-12.org.tessaly:path0" : "iqn.2026-12.org.tessaly:path1");
    }
}

TEST_F(VlkpathDriver, ControlDeviceIsLockedDown) {
    // Type and characteristics: Wine asks the driver for what Windows' I/O manager answers from
    // the device object.
    FILE_FS_DEVICE_INFORMATION info{};
    IO_STATUS_BLOCK io{};
    const NTSTATUS status =
        NtQueryVolumeInformationFile(reinterpret_cast<HANDLE>(channel_.Handle()), &io, &info,
                                     sizeof info, FileFsDeviceInformation);
    ASSERT_EQ(status, 0) << std::hex << status;
    EXPECT_EQ(io.Information, sizeof info);
    EXPECT_EQ(info.DeviceType, 0x84C9u);
    constexpr ULONG kSecureOpen = 0x100;  // FILE_DEVICE_SECURE_OPEN
    EXPECT_EQ(info.Characteristics, kSecureOpen);

    // The descriptor the driver gives its device (which Wine does not show through a handle to
    // the device, nor enforce) is the one its SDDL text describes.
    PSECURITY_DESCRIPTOR fromSddl = nullptr;
    ULONG size = 0;
    ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorA(
        vlkpath::kDeviceSddl, SDDL_REVISION_1, &fromSddl, &size));
    const vlkpath::DeviceSecurityDescriptor handMade;
    const auto* expected = static_cast<const std::uint8_t*>(fromSddl);
    EXPECT_EQ(std::vector<std::uint8_t>(expected, expected + size),
              std::vector<std::uint8_t>(reinterpret_cast<const std::uint8_t*>(&handMade),
                                        reinterpret_cast<const std::uint8_t*>(&handMade + 1)));
    LocalFree(fromSddl);
}

// The driver whose set-up text was refused: the default disks.
class VlkpathDefault : public VlkpathDriver {};

TEST_F(VlkpathDefault, DisksAndReservationsOfTheDefaultSetUp) {
    for (const auto& [device, paths] : std::vector<std::pair<std::uint32_t, std::uint32_t>>{
             {0, 2}, {1, 4}, {2, 3}, {4, 2}, {5, 3}, {6, 2}, {7, 4}}) {
        EXPECT_EQ(Run(Command::ReadKeys, device, paths - 1).error, 0u) << device;
        EXPECT_EQ(Run(Command::ReadKeys, device, paths).error, kNoSuchDevice) << device;
    }
    EXPECT_EQ(Run(Command::ReadKeys, 3, 0).error, kNoSuchDevice);
    // Nothing of the refused text remains, not even its line before the faulty one.
    EXPECT_EQ(Run(Command::ReadKeys, 9, 0).error, kNoSuchDevice);

    for (const auto& [device, key, type] :
         {std::tuple{0u, kTessaly, 6}, std::tuple{1u, kTessaly, 6}, std::tuple{5u, kTessaly, 6},
          std::tuple{2u, kNodeB01, 6}, std::tuple{6u, kNodeB01, 5}, std::tuple{7u, kNodeC03, 6}}) {
        const Exchange e = Run(Command::ReadReservation, device, 0);
        EXPECT_EQ(e.KeyAt(8), key) << device;
        EXPECT_EQ(e.Data(21), type) << device;
    }
    EXPECT_EQ(Run(Command::ReadReservation, 4, 1).Be32(4), 0u);
    EXPECT_EQ(Run(Command::ReadKeys, 4, 0).Be32(4), 0u);

    // Device 6 as the running notes describe it: the program's clear on path 0 reaches path 1
    // once, as a unit attention in place of its next command.
    ASSERT_EQ(Run(Command::ReadKeys, 6, 0).KeyAt(8), kTessaly);
    ExpectCompleted(Run(Command::ClearReservation, 6, 0), kGood);
    EXPECT_EQ(Run(Command::ReadKeys, 6, 1).Attention(), 0x2A03);
    EXPECT_EQ(Run(Command::ReadKeys, 6, 1).Be32(4), 0u);
}

// The driver whose set-up is an empty text: no disks at all.
class VlkpathEmpty : public VlkpathDriver {};

TEST_F(VlkpathEmpty, EveryDeviceIsMissing) {
    for (std::uint32_t device = 0; device <= 100; ++device) {
        for (const std::uint32_t path : {0u, 1u, 32u}) {
            ASSERT_EQ(Run(Command::ReadKeys, device, path).error, kNoSuchDevice)
                << device << "/" << path;
        }
    }
}

TEST(VlkpathStopped, OpenFailsWithError2) {
    if (DriverExpected()) {
        GTEST_SKIP() << "vlkpath.sys is installed in this prefix";
    }
    Win32DriverPort port;
    DeviceChannel channel(port);
    EXPECT_FALSE(channel.Open());
    EXPECT_EQ(channel.OpenError(), 2u);
}

}  // namespace
}  // namespace tessaly::win32
