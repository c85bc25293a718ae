// vlkpath.sys under Wine, reached the way the program reaches it: "\\.\vlkpath" through the
// Win32 driver port, requests from the command core. The prefix holds the disks of
// driver-setup.txt.
#include <gtest/gtest.h>
#include <windows.h>

#include <array>
#include <cstdint>
#include <cstdlib>
#include <thread>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"
#include "win32/Win32DriverPort.h"

namespace tessaly::win32 {
namespace {

using Key = std::array<std::uint8_t, 8>;
constexpr Key kTessaly = {0x54, 0x45, 0x53, 0x53, 0x41, 0x4C, 0x59, 0x31};
constexpr Key kNodeB01 = {'N', 'O', 'D', 'E', '-', 'B', '0', '1'};
constexpr Key kOtherNode = {1, 2, 3, 4, 5, 6, 7, 8};
constexpr Key kZeroKey = {};

constexpr std::uint8_t kGood = 0x00;
constexpr std::uint8_t kCheckCondition = 0x02;
constexpr std::uint8_t kReservationConflict = 0x18;
constexpr std::uint32_t kErrorNoSuchDevice = 55;  // ERROR_DEV_NOT_EXIST
constexpr std::uint32_t kUntouched = 0xA5A5A5A5;

bool DriverExpected() {
    const char* value = std::getenv("TESSALY_EXPECT_DRIVER");
    return value != nullptr && value[0] == '1';
}

std::uint32_t Be32(std::span<const std::uint8_t> data, std::size_t at) {
    return (std::uint32_t{data[at]} << 24) | (std::uint32_t{data[at + 1]} << 16) |
           (std::uint32_t{data[at + 2]} << 8) | std::uint32_t{data[at + 3]};
}

Key KeyAt(std::span<const std::uint8_t> data, std::size_t at) {
    Key key{};
    for (std::size_t i = 0; i < key.size(); ++i) {
        key[i] = data[at + i];
    }
    return key;
}

// One exchange: the request after the call, the outcome and the error number.
struct Exchange {
    PassThroughRequest request;
    OperationResult result;
    std::uint32_t error;

    std::span<const std::uint8_t> Data() const { return request.DataArea(); }
    std::uint8_t Status() const { return request.ScsiStatus(); }
};

class VlkpathDriver : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DriverExpected()) {
            GTEST_SKIP() << "vlkpath.sys is not installed in this prefix";
        }
        ASSERT_TRUE(channel_.Open()) << "open error " << channel_.OpenError();
    }

    Exchange Send(PassThroughRequest request) {
        Exchange exchange{request, {}, 0};
        exchange.result.bytesReturned = kUntouched;
        exchange.error = channel_.Send(exchange.request, exchange.result);
        return exchange;
    }

    // A command of the program, with the program's rules for CurrentKey.
    Exchange Run(Command command, std::uint32_t device, std::uint32_t path) {
        Exchange exchange = Send(BuildCommandRequest(command, device, path, key_));
        if (command == Command::ReadKeys || command == Command::ReadReservation) {
            key_.CaptureFrom(exchange.request);
        }
        return exchange;
    }

    // A request with a command block of the test's own.
    Exchange RunCdb(std::uint32_t device, std::uint32_t path,
                    const std::array<std::uint8_t, kCdbSize>& cdb) {
        return Send(PassThroughRequest(device, path, DataDirection::In, cdb, {}));
    }

    // Raw DeviceIoControl on the channel's handle: error number, bytes returned.
    std::pair<DWORD, DWORD> Raw(DWORD code, void* input, DWORD inputLength, void* output,
                                DWORD outputLength) {
        DWORD bytes = kUntouched;
        SetLastError(0);
        const BOOL ok = DeviceIoControl(reinterpret_cast<HANDLE>(channel_.Handle()), code, input,
                                        inputLength, output, outputLength, &bytes, nullptr);
        return {ok ? 0 : GetLastError(), bytes};
    }

    Win32DriverPort port_;
    DeviceChannel channel_{port_};
    CurrentKey key_;
};

// Every successful exchange writes exactly the 152-byte output area and says so.
void ExpectCompleted(const Exchange& exchange) {
    EXPECT_EQ(exchange.error, 0u);
    EXPECT_NE(exchange.result.success, 0);
    EXPECT_EQ(exchange.result.bytesReturned, 152u);
}

TEST_F(VlkpathDriver, ReadKeysListsTheRegisteredKeysInTheirOrder) {
    const Exchange e = Run(Command::ReadKeys, 2, 0);
    ExpectCompleted(e);
    EXPECT_EQ(e.Status(), kGood);
    EXPECT_EQ(e.request.DataTransferLength(), 24u);
    EXPECT_EQ(Be32(e.Data(), 0), 0u) << "generation: the set-up counts as the start state";
    EXPECT_EQ(Be32(e.Data(), 4), 16u) << "additional length: two keys";
    EXPECT_EQ(KeyAt(e.Data(), 8), kTessaly);
    EXPECT_EQ(KeyAt(e.Data(), 16), kOtherNode);
    EXPECT_EQ(Key(key_.Bytes()), kTessaly);
    // Nothing beyond the allocation length of 24, nothing beyond the output area.
    for (std::size_t i = 24; i < PassThroughRequest::kDataAreaSize; ++i) {
        ASSERT_EQ(e.Data()[i], 0) << "data byte " << i;
    }
    // The addressing numbers before the output area are the request's own.
    EXPECT_EQ(LoadLe32(e.request.Bytes()), 2u);
    EXPECT_EQ(LoadLe32(e.request.Bytes() + 4), 0u);
}

TEST_F(VlkpathDriver, ReadReservationNamesTheHolderAndType) {
    const Exchange e = Run(Command::ReadReservation, 2, 1);
    ExpectCompleted(e);
    EXPECT_EQ(e.Status(), kGood);
    EXPECT_EQ(e.request.DataTransferLength(), 24u);
    EXPECT_EQ(Be32(e.Data(), 4), 16u);
    EXPECT_EQ(KeyAt(e.Data(), 8), kTessaly);
    EXPECT_EQ(e.Data()[21], 0x06) << "scope LU, Exclusive Access Registrants Only";

    const Exchange foreign = Run(Command::ReadReservation, 1, 2);
    ExpectCompleted(foreign);
    EXPECT_EQ(KeyAt(foreign.Data(), 8), kNodeB01);
    EXPECT_EQ(Key(key_.Bytes()), kNodeB01);
}

TEST_F(VlkpathDriver, RegisterReserveAndClearChangeTheDisk) {
    const Exchange empty = Run(Command::ReadKeys, 0, 0);
    ExpectCompleted(empty);
    EXPECT_EQ(Be32(empty.Data(), 4), 0u);
    EXPECT_EQ(empty.request.DataTransferLength(), 8u);

    const Exchange registered = Run(Command::RegisterDevice, 0, 0);
    ExpectCompleted(registered);
    EXPECT_EQ(registered.Status(), kGood);

    const Exchange keys = Run(Command::ReadKeys, 0, 1);
    EXPECT_EQ(Be32(keys.Data(), 0), 1u) << "generation after one REGISTER";
    EXPECT_EQ(Be32(keys.Data(), 4), 8u);
    EXPECT_EQ(KeyAt(keys.Data(), 8), kTessaly);

    // Path 1 is not registered: it may not reserve.
    EXPECT_EQ(Run(Command::ReserveDevice, 0, 1).Status(), kReservationConflict);

    const Exchange reserved = Run(Command::ReserveDevice, 0, 0);
    ExpectCompleted(reserved);
    EXPECT_EQ(reserved.Status(), kGood);
    const Exchange holder = Run(Command::ReadReservation, 0, 1);
    EXPECT_EQ(KeyAt(holder.Data(), 8), kTessaly);
    EXPECT_EQ(holder.Data()[21], 0x06);

    // CLEAR with the key just read.
    const Exchange cleared = Run(Command::ClearReservation, 0, 0);
    ExpectCompleted(cleared);
    EXPECT_EQ(cleared.Status(), kGood);
    const Exchange after = Run(Command::ReadKeys, 0, 0);
    EXPECT_EQ(Be32(after.Data(), 0), 2u) << "generation after REGISTER and CLEAR";
    EXPECT_EQ(Be32(after.Data(), 4), 0u);
    const Exchange noHolder = Run(Command::ReadReservation, 0, 0);
    EXPECT_EQ(Be32(noHolder.Data(), 4), 0u);
    EXPECT_EQ(noHolder.request.DataTransferLength(), 8u);
    EXPECT_EQ(Key(key_.Bytes()), kZeroKey);
}

TEST_F(VlkpathDriver, ForeignHolderMakesClearAConflict) {
    ASSERT_EQ(KeyAt(Run(Command::ReadReservation, 1, 0).Data(), 8), kNodeB01);
    // Not registered on this path.
    const Exchange unregistered = Run(Command::ClearReservation, 1, 0);
    ExpectCompleted(unregistered);
    EXPECT_EQ(unregistered.Status(), kReservationConflict);

    EXPECT_EQ(Run(Command::RegisterDevice, 1, 0).Status(), kGood);
    // Registered with TESSALY1, but CLEAR carries the holder's key.
    ASSERT_EQ(KeyAt(Run(Command::ReadReservation, 1, 0).Data(), 8), kNodeB01);
    const Exchange wrongKey = Run(Command::ClearReservation, 1, 0);
    ExpectCompleted(wrongKey);
    EXPECT_EQ(wrongKey.Status(), kReservationConflict);
    EXPECT_EQ(Run(Command::ReserveDevice, 1, 0).Status(), kReservationConflict);

    // The other host still holds it.
    EXPECT_EQ(KeyAt(Run(Command::ReadReservation, 1, 2).Data(), 8), kNodeB01);
}

TEST_F(VlkpathDriver, RefusedCommandGivesCheckConditionWithSense) {
    // PERSISTENT RESERVE IN with a service action that does not exist.
    const Exchange e = RunCdb(3, 0, {0x5E, 0x1F, 0, 0, 0, 0, 0, 0, 24, 0});
    ExpectCompleted(e);
    EXPECT_EQ(e.Status(), kCheckCondition);
    const std::uint8_t* sense = e.request.Bytes() + request_offset::kSenseArea;
    EXPECT_EQ(sense[0], 0x70) << "current error, fixed format";
    EXPECT_EQ(sense[2] & 0x0F, 0x05) << "ILLEGAL REQUEST";
    EXPECT_EQ(sense[12], 0x24) << "INVALID FIELD IN CDB";
    EXPECT_EQ(sense[13], 0x00);
    // At most SenseInfoLength (24) bytes of sense come back.
    for (std::size_t i = 24; i < PassThroughRequest::kSenseAreaSize; ++i) {
        EXPECT_EQ(sense[i], 0) << "sense byte " << i;
    }
}

TEST_F(VlkpathDriver, MissingDeviceOrPathFailsTheCallAndLeavesTheCountAlone) {
    struct Address {
        std::uint32_t device;
        std::uint32_t path;
    };
    for (const Address a : {Address{5, 0}, Address{4, 0}, Address{0, 2}, Address{101, 0},
                            Address{100, 31}, Address{0xFFFFFFFF, 0}}) {
        const Exchange e = Run(Command::ReadKeys, a.device, a.path);
        EXPECT_EQ(e.error, kErrorNoSuchDevice) << a.device << "/" << a.path;
        EXPECT_EQ(e.result.success, 0);
        EXPECT_EQ(e.result.bytesReturned, kUntouched) << "a failed call writes no count";
        EXPECT_EQ(e.Status(), 0);
        EXPECT_EQ(Key(key_.Bytes()), kZeroKey);
    }
    const Exchange highest = Run(Command::ReadKeys, 100, 32);
    ExpectCompleted(highest);
    EXPECT_EQ(highest.Status(), kGood);
}

TEST_F(VlkpathDriver, MalformedRequestsFailWithInvalidParameter) {
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 2, 0, CurrentKey{});
    std::vector<std::uint8_t> block(PassThroughRequest::kSize + 8, 0);
    auto raw = [&](DWORD inputLength, DWORD outputLength) {
        return Raw(IOCTL_PATH_PASS_THROUGH, request.Bytes(), inputLength, block.data(),
                   outputLength);
    };
    for (const auto& [in, out] : std::vector<std::pair<DWORD, DWORD>>{
             {615, 152}, {617, 152}, {0, 152}, {616, 151}, {616, 0}, {8, 8}}) {
        const auto [error, bytes] = raw(in, out);
        EXPECT_EQ(error, 87u) << in << "/" << out;
        EXPECT_EQ(bytes, kUntouched) << in << "/" << out;
    }
    // A header that is not a pass-through header.
    PassThroughRequest broken = request;
    StoreLe16(broken.Bytes() + request_offset::kLength, 55);
    const auto [error, bytes] =
        Raw(IOCTL_PATH_PASS_THROUGH, broken.Bytes(), 616, broken.OutputArea(), 152);
    EXPECT_EQ(error, 87u);
    EXPECT_EQ(bytes, kUntouched);

    // A control code the driver does not know: STATUS_INVALID_DEVICE_REQUEST.
    const auto [otherError, otherBytes] =
        Raw(IOCTL_PATH_PASS_THROUGH + 4, request.Bytes(), 616, request.OutputArea(), 152);
    EXPECT_EQ(otherError, static_cast<DWORD>(ERROR_INVALID_FUNCTION));
    EXPECT_EQ(otherBytes, kUntouched);
}

TEST_F(VlkpathDriver, SeparateBuffersAndALargerOutputStillReturn152) {
    PassThroughRequest request = BuildCommandRequest(Command::ReadKeys, 2, 1, CurrentKey{});
    std::vector<std::uint8_t> output(608, 0xEE);
    const auto [error, bytes] =
        Raw(IOCTL_PATH_PASS_THROUGH, request.Bytes(), 616, output.data(), 608);
    EXPECT_EQ(error, 0u);
    EXPECT_EQ(bytes, 152u);
    EXPECT_EQ(output[2], kGood);
    EXPECT_EQ(KeyAt(std::span<const std::uint8_t>(output).subspan(92), 8), kTessaly);
}

TEST_F(VlkpathDriver, RequestsFromSeveralThreadsAreServedOneAtATime) {
    // Each thread reads the same disk again and again through a handle of its own (calls on one
    // synchronous handle would queue before they reach the driver); an answer mixed from two
    // requests would show another command's bytes.
    std::vector<std::thread> threads;
    std::array<int, 4> bad{};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            const HANDLE handle =
                CreateFileA(DeviceChannel::kDeviceName, GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            if (handle == INVALID_HANDLE_VALUE) {
                bad[t] = -1;
                return;
            }
            const Command command = t % 2 == 0 ? Command::ReadKeys : Command::ReadReservation;
            for (int i = 0; i < 100; ++i) {
                PassThroughRequest request = BuildCommandRequest(command, 2, t % 2, CurrentKey{});
                DWORD bytes = 0;
                const BOOL ok = DeviceIoControl(handle, IOCTL_PATH_PASS_THROUGH, request.Bytes(),
                                                616, request.OutputArea(), 152, &bytes, nullptr);
                const auto data = request.DataArea();
                const bool right = ok && bytes == 152 && request.ScsiStatus() == kGood &&
                                   KeyAt(data, 8) == kTessaly &&
                                   (command == Command::ReadKeys ? KeyAt(data, 16) == kOtherNode
                                                                 : data[21] == 0x06);
                bad[t] += right ? 0 : 1;
            }
            CloseHandle(handle);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(bad, (std::array<int, 4>{}));
}

// The driver whose set-up text was refused: the default disks.
class VlkpathDefault : public VlkpathDriver {};

TEST_F(VlkpathDefault, DisksExistAsTheDefaultSetUpSays) {
    struct Disk {
        std::uint32_t device;
        std::uint32_t paths;
    };
    for (const Disk disk : {Disk{0, 2}, Disk{1, 4}, Disk{2, 3}, Disk{4, 2}, Disk{5, 3}}) {
        for (std::uint32_t path = 0; path < disk.paths; ++path) {
            EXPECT_EQ(Run(Command::ReadKeys, disk.device, path).error, 0u)
                << disk.device << "/" << path;
        }
        EXPECT_EQ(Run(Command::ReadKeys, disk.device, disk.paths).error, kErrorNoSuchDevice)
            << disk.device << "/" << disk.paths;
    }
    EXPECT_EQ(Run(Command::ReadKeys, 3, 0).error, kErrorNoSuchDevice);
    EXPECT_EQ(Run(Command::ReadKeys, 6, 0).error, kErrorNoSuchDevice);
    // Nothing of a refused set-up text remains, not even its lines before the faulty one.
    EXPECT_EQ(Run(Command::ReadKeys, 7, 0).error, kErrorNoSuchDevice);
}

TEST_F(VlkpathDefault, ReservationsLeftByOtherHosts) {
    for (std::uint32_t device : {0u, 1u, 5u}) {
        const Exchange e = Run(Command::ReadReservation, device, 0);
        ExpectCompleted(e);
        EXPECT_EQ(KeyAt(e.Data(), 8), kTessaly) << device;
        EXPECT_EQ(e.Data()[21], 0x06) << device;
    }
    const Exchange foreign = Run(Command::ReadReservation, 2, 0);
    EXPECT_EQ(KeyAt(foreign.Data(), 8), kNodeB01);
    EXPECT_EQ(foreign.Data()[21], 0x06);
    const Exchange free = Run(Command::ReadReservation, 4, 1);
    ExpectCompleted(free);
    EXPECT_EQ(Be32(free.Data(), 4), 0u);
    EXPECT_EQ(Be32(Run(Command::ReadKeys, 4, 0).Data(), 4), 0u);
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
