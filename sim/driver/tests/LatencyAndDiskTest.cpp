// vlkpath.sys under Wine with disks that take their time (latency-setup.txt): calls in flight on
// an overlapped handle and a completion port, order per disk, cancelling, callers in several
// processes; the disk objects "\\.\PhysicalDrive<10000 + 100 x device + path>"; and, run last
// (VlkpathUnload), the driver stopped under pending calls.
#include <gtest/gtest.h>
#include <windows.h>
// After windows.h.
#include <ntddscsi.h>

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "core/DeviceChannel.h"
#include "core/PassThroughRequest.h"
#include "sim/driver/GuardedCall.h"

namespace tessaly::win32 {
namespace {

using Key = std::array<std::uint8_t, 8>;
constexpr Key kNoKey = {};
// The disks of latency-setup.txt: 500 ms, 10 ms like most, 60 s, 1 s, 1.5 s, and twins of 2 ms.
constexpr std::uint32_t kSlow = 20, kFast = 21, kMinute = 40, kSecond = 41, kSecondAndHalf = 42;
constexpr std::uint32_t kStress = 30, kOneAtATime = 31;
constexpr int kProcesses = 3, kThreadsEach = 2, kRounds = 3;
constexpr DWORD kWholeBlock = request_layout::kPassThroughBlockSize;  // 608

Key KeyFor(int n) {
    return {'K',
            'E',
            'Y',
            '-',
            static_cast<std::uint8_t>('0' + n / 100 % 10),
            static_cast<std::uint8_t>('0' + n / 10 % 10),
            static_cast<std::uint8_t>('0' + n % 10)};
}

HANDLE Open(const std::string& name, bool overlapped = false) {
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE,
                       FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                       overlapped ? FILE_FLAG_OVERLAPPED : 0, nullptr);
}

// PERSISTENT RESERVE OUT with a parameter list of two keys; IN on the whole data area.
PassThroughRequest Out(std::uint32_t device, std::uint32_t path, std::uint8_t action,
                       const Key& key, const Key& second, std::uint8_t type = 0) {
    const std::array<std::uint8_t, kCdbSize> cdb = {0x5F, action, type, 0, 0, 0, 0, 0, 24, 0};
    std::array<std::uint8_t, kParameterListSize> list{};
    std::copy(key.begin(), key.end(), list.begin());
    std::copy(second.begin(), second.end(), list.begin() + 8);
    return PassThroughRequest(device, path, DataDirection::Out, cdb, list);
}
PassThroughRequest In(std::uint32_t device, std::uint32_t path, std::uint8_t action = 0) {
    const std::array<std::uint8_t, kCdbSize> cdb = {0x5E, action, 0, 0, 0, 0, 0, 2, 0, 0};
    return PassThroughRequest(device, path, DataDirection::In, cdb, {}, 512);
}

// A synchronous call with the whole block as output: the error number.
DWORD Call(HANDLE handle, PassThroughRequest& request) {
    DWORD bytes = 0;
    return DeviceIoControl(handle, IOCTL_PATH_PASS_THROUGH, request.Bytes(), 616,
                           request.OutputArea(), kWholeBlock, &bytes, nullptr)
               ? 0
               : GetLastError();
}

// An overlapped call with an event of its own.
struct Flight {
    explicit Flight(PassThroughRequest r, int t = 0) : request(r), tag(t) {
        overlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Flight() { CloseHandle(overlapped.hEvent); }
    DWORD Send(HANDLE handle, DWORD code = IOCTL_PATH_PASS_THROUGH, void* in = nullptr,
               DWORD length = 616) {
        return DeviceIoControl(handle, code, in ? in : request.Bytes(), length,
                               in ? in : request.OutputArea(), in ? length : kWholeBlock, nullptr,
                               &overlapped)
                   ? 0
                   : GetLastError();
    }
    DWORD Wait(HANDLE handle) {  // the error number at the end
        DWORD bytes = 0;
        return GetOverlappedResult(handle, &overlapped, &bytes, TRUE) ? 0 : GetLastError();
    }
    bool Done() const { return WaitForSingleObject(overlapped.hEvent, 0) == WAIT_OBJECT_0; }

    OVERLAPPED overlapped{};
    PassThroughRequest request;
    int tag;
};
using Flights = std::vector<std::unique_ptr<Flight>>;

std::string ChildRole() {
    const char* role = std::getenv("TESSALY_CHILD");
    return role != nullptr ? role : "";
}

// This program again, for VlkpathChild.Role as `role`: its process.
HANDLE StartChild(const std::string& role) {
    char path[MAX_PATH];
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string command = std::string("\"") + path + "\" --gtest_filter=VlkpathChild.Role";
    SetEnvironmentVariableA("TESSALY_CHILD", role.c_str());
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION child{};
    const BOOL started = CreateProcessA(nullptr, command.data(), nullptr, nullptr, FALSE, 0,
                                        nullptr, nullptr, &startup, &child);
    SetEnvironmentVariableA("TESSALY_CHILD", nullptr);
    CloseHandle(child.hThread);
    return started ? child.hProcess : nullptr;
}

DWORD ExitCode(HANDLE process) {
    DWORD code = 1;
    WaitForSingleObject(process, INFINITE);
    GetExitCodeProcess(process, &code);
    CloseHandle(process);
    return code;
}

class VlkpathLatency : public ::testing::Test {
  protected:
    void SetUp() override {
        const char* expected = std::getenv("TESSALY_EXPECT_DRIVER");
        if (expected == nullptr || expected[0] != '1') {
            GTEST_SKIP() << "vlkpath.sys is not installed in this prefix";
        }
        ASSERT_NE(overlapped_, INVALID_HANDLE_VALUE) << GetLastError();
    }
    void TearDown() override {
        CloseHandle(overlapped_);
        CloseHandle(sync_);
        CloseHandle(port_);
    }

    // Sends every flight, each to stay in flight, and gives the order of their ends as a
    // completion port sees them, each with the whole reply.
    std::vector<int> EndOrder(Flights& flights) {
        if (port_ == nullptr) {  // a handle has one port, from its first use on
            port_ = CreateIoCompletionPort(overlapped_, nullptr, 0, 0);
        }
        for (auto& flight : flights) {
            EXPECT_EQ(flight->Send(overlapped_), DWORD{ERROR_IO_PENDING}) << flight->tag;
        }
        std::vector<int> order;
        DWORD bytes = 0;
        ULONG_PTR key = 0;
        OVERLAPPED* done = nullptr;
        while (order.size() < flights.size() &&
               GetQueuedCompletionStatus(port_, &bytes, &key, &done, 30000)) {
            const auto it = std::find_if(flights.begin(), flights.end(),
                                         [done](auto& f) { return &f->overlapped == done; });
            order.push_back((*it)->tag);
            const bool in = (*it)->request.Bytes()[request_offset::kCdb] == 0x5E;
            EXPECT_EQ(bytes, in ? 604u : 152u) << "the whole reply";
        }
        return order;
    }

    HANDLE overlapped_ = Open(DeviceChannel::kDeviceName, true);
    HANDLE sync_ = Open(DeviceChannel::kDeviceName);
    HANDLE port_ = nullptr;
};

TEST_F(VlkpathLatency, CallsToManyDisksAreInFlightAtOnceAndToOneInOrder) {
    // The slow disk first: disks of 10 ms end while it is in flight (not all of them need to on a
    // busy machine, where Wine may take longer than the slow disk's latency for the 95 calls).
    Flights flights;
    flights.push_back(std::make_unique<Flight>(In(kSlow, 0), kSlow));
    std::vector<int> fast;
    for (int d = 0; d <= 100; ++d) {
        if (d != 7 && d != kSlow && (d < 30 || d > 31) && (d < 40 || d > 42)) {
            flights.push_back(std::make_unique<Flight>(In(d, 0), d));
            fast.push_back(d);
        }
    }
    std::vector<int> order = EndOrder(flights);
    ASSERT_EQ(order.size(), flights.size());
    EXPECT_NE(order.front(), static_cast<int>(kSlow));
    EXPECT_GT(std::find(order.begin(), order.end(), static_cast<int>(kSlow)) - order.begin(), 10)
        << "more than ten calls ended before the first one sent";
    order.erase(std::find(order.begin(), order.end(), static_cast<int>(kSlow)));
    std::sort(order.begin(), order.end());
    EXPECT_EQ(order, fast);

    // On one disk each REGISTER needs the key the one before set: only their order succeeds.
    flights.clear();
    for (int i = 0; i < 4; ++i) {
        flights.push_back(std::make_unique<Flight>(
            Out(kFast, 0, 0, i == 0 ? kNoKey : KeyFor(i), i == 3 ? kNoKey : KeyFor(i + 1)), i));
    }
    flights.push_back(std::make_unique<Flight>(In(kFast, 0), 4));
    EXPECT_EQ(EndOrder(flights), (std::vector<int>{0, 1, 2, 3, 4}));
    for (const auto& flight : flights) {
        EXPECT_EQ(flight->request.ScsiStatus(), 0) << flight->tag;
    }
    EXPECT_EQ(flights.back()->request.DataArea()[3], 4) << "generation";
}

TEST_F(VlkpathLatency, CancelledCallsEndAndOnlyThey) {
    Flights f;
    for (int i = 0; i < 3; ++i) {
        f.push_back(std::make_unique<Flight>(In(kMinute, 0)));
        ASSERT_EQ(f[i]->Send(overlapped_), DWORD{ERROR_IO_PENDING});
    }
    // A middle one, the head, then the rest (CancelIo: all of this thread's calls).
    ASSERT_TRUE(CancelIoEx(overlapped_, &f[1]->overlapped));
    EXPECT_EQ(f[1]->Wait(overlapped_), DWORD{ERROR_OPERATION_ABORTED});
    ASSERT_TRUE(CancelIoEx(overlapped_, &f[0]->overlapped));
    EXPECT_EQ(f[0]->Wait(overlapped_), DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_FALSE(f[2]->Done());
    ASSERT_TRUE(CancelIo(overlapped_));
    EXPECT_EQ(f[2]->Wait(overlapped_), DWORD{ERROR_OPERATION_ABORTED});

    // A child leaves three calls of a second each. Were they still queued, a call there now would
    // end after one to a disk of a second and a half.
    ASSERT_EQ(ExitCode(StartChild("leave-calls")), 0u);
    Flights after;
    after.push_back(std::make_unique<Flight>(In(kSecond, 0), 1));
    after.push_back(std::make_unique<Flight>(In(kSecondAndHalf, 0), 2));
    EXPECT_EQ(EndOrder(after), (std::vector<int>{1, 2}));
}

// One caller on its own path: registered, re-keyed and unregistered kRounds times, then
// registered for good; every command succeeds in any interleaving with the others.
int RunCaller(HANDLE handle, std::uint32_t device, int caller) {
    const std::uint32_t path = 1 + static_cast<std::uint32_t>(caller);
    const Key first = KeyFor(10 * caller + 1), second = KeyFor(10 * caller + 2);
    std::vector<PassThroughRequest> commands;
    for (int round = 0; round < kRounds; ++round) {
        commands.push_back(Out(device, path, 0, kNoKey, first));
        commands.push_back(Out(device, path, 0, first, second));
        commands.push_back(Out(device, path, 0, second, kNoKey));
    }
    commands.push_back(Out(device, path, 0, kNoKey, first));
    int failures = 0;
    for (auto& command : commands) {
        failures += Call(handle, command) != 0 || command.ScsiStatus() != 0;
    }
    return failures;
}

TEST_F(VlkpathLatency, CallersInSeveralProcessesAgreeWithOneAtATime) {
    // Path 0 holds a registrants-only reservation throughout; the callers take paths 1 to 6.
    for (const std::uint32_t device : {kStress, kOneAtATime}) {
        PassThroughRequest reg = Out(device, 0, 0, kNoKey, KeyFor(900));
        PassThroughRequest reserve = Out(device, 0, 1, KeyFor(900), kNoKey, 5);
        ASSERT_EQ(Call(sync_, reg) + Call(sync_, reserve) + reserve.ScsiStatus(), 0u);
    }
    std::vector<HANDLE> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(StartChild("callers:" + std::to_string(p)));
    }
    for (const HANDLE child : children) {
        EXPECT_EQ(ExitCode(child), 0u);
    }
    for (int caller = 0; caller < kProcesses * kThreadsEach; ++caller) {
        EXPECT_EQ(RunCaller(sync_, kOneAtATime, caller), 0);
    }
    // Generation, keys in sorted order, holder and type.
    const auto state = [this](std::uint32_t device) {
        PassThroughRequest keys = In(device, 0), holder = In(device, 0, 1);
        EXPECT_EQ(Call(sync_, keys) + Call(sync_, holder), 0u);
        const auto k = keys.DataArea();
        std::vector<Key> list(k[7] / 8);
        std::memcpy(list.data(), &k[8], k[7]);
        std::sort(list.begin(), list.end());
        return std::make_tuple(
            k[3], list, std::vector(holder.DataArea().begin() + 8, holder.DataArea().begin() + 22));
    };
    EXPECT_EQ(std::get<0>(state(kOneAtATime)), 1 + kProcesses * kThreadsEach * (3 * kRounds + 1));
    EXPECT_EQ(state(kStress), state(kOneAtATime));
}

// The other half of the tests above, in a process of its own.
TEST(VlkpathChild, Role) {
    const std::string role = ChildRole();
    if (role.empty()) {
        GTEST_SKIP() << "started by a test only";
    }
    if (role == "leave-calls") {
        const HANDLE handle = Open(DeviceChannel::kDeviceName, true);
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ((new Flight(In(kSecond, 0)))->Send(handle), DWORD{ERROR_IO_PENDING});
        }
        ExitProcess(0);  // with the calls in flight
    }
    const int process = std::stoi(role.substr(role.find(':') + 1));  // "callers:P"
    std::array<int, kThreadsEach> failures{};
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsEach; ++t) {
        threads.emplace_back([&failures, process, t] {
            const HANDLE handle = Open(DeviceChannel::kDeviceName);
            failures[t] = RunCaller(handle, kStress, process * kThreadsEach + t);
            CloseHandle(handle);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, (std::array<int, kThreadsEach>{}));
}

// The buffered form as a 64-bit caller lays it out.
struct Spt {
    explicit Spt(std::uint8_t action = 0) {
        header.Length = sizeof header;
        header.CdbLength = 10;
        header.SenseInfoLength = sizeof sense;
        header.DataIn = SCSI_IOCTL_DATA_IN;
        header.DataTransferLength = sizeof data;
        header.DataBufferOffset = offsetof(Spt, data);
        header.SenseInfoOffset = offsetof(Spt, sense);
        const std::uint8_t cdb[10] = {0x5E, action, 0, 0, 0, 0, 0, 2, 0, 0};
        std::copy(cdb, cdb + 10, header.Cdb);
    }
    SCSI_PASS_THROUGH header{};
    ULONG filler = 0;
    UCHAR sense[32] = {};
    UCHAR data[512] = {};
};

std::pair<DWORD, DWORD> OnDisk(std::uint32_t number, void* buffer, DWORD length,
                               DWORD code = IOCTL_SCSI_PASS_THROUGH) {
    const HANDLE disk = Open("\\\\.\\PhysicalDrive" + std::to_string(number));
    DWORD bytes = 0;
    const BOOL ok = DeviceIoControl(disk, code, buffer, length, buffer, length, &bytes, nullptr);
    const DWORD error = ok ? 0 : GetLastError();
    CloseHandle(disk);
    return {error, bytes};
}

class VlkpathDisk : public VlkpathLatency {};

TEST_F(VlkpathDisk, ADiskObjectIsItsVlkPath) {
    // Reads: the bytes of VLK path 7/1, and the bytes returned cover them.
    for (const std::uint8_t action : {0, 1, 3}) {  // keys, reservation, full status
        PassThroughRequest vlk = In(7, 1, action);
        Spt s(action);
        ASSERT_EQ(Call(sync_, vlk), 0u);
        EXPECT_EQ(OnDisk(10701, &s, sizeof s),
                  std::make_pair(DWORD{0}, DWORD{92 + vlk.DataTransferLength()}));
        EXPECT_EQ(s.header.DataTransferLength, vlk.DataTransferLength());
        EXPECT_TRUE(std::equal(s.data, s.data + 512, vlk.DataArea().begin())) << int{action};
    }
    // A registration through disk 10702 is VLK path 7/2's: READ FULL STATUS names it there, and
    // that path unregisters it with its key.
    const Key key = KeyFor(702);
    PassThroughRequest reg = Out(7, 2, 0, kNoKey, key), status = In(7, 0, 3);
    Spt out;
    out.header.DataIn = SCSI_IOCTL_DATA_OUT;
    out.header.DataTransferLength = 24;
    std::copy(reg.Bytes() + request_offset::kCdb, reg.Bytes() + request_offset::kCdb + 10,
              out.header.Cdb);
    std::copy(reg.DataArea().begin(), reg.DataArea().begin() + 24, out.data);
    ASSERT_EQ(OnDisk(10702, &out, sizeof out).first, 0u);
    ASSERT_EQ(Call(sync_, status), 0u);
    const auto at =
        std::search(status.DataArea().begin(), status.DataArea().end(), key.begin(), key.end());
    ASSERT_NE(at, status.DataArea().end());
    EXPECT_STREQ(reinterpret_cast<const char*>(&*at) + 28, "iqn.2026-12.org.tessaly:path2");
    PassThroughRequest gone = Out(7, 2, 0, key, kNoKey);
    EXPECT_EQ(Call(sync_, gone) + gone.ScsiStatus(), 0u);

    // Refused: a malformed header (the rest of the rules are the native test's), another code,
    // a path or a disk that is not there.
    Spt bad;
    bad.header.CdbLength = 17;
    EXPECT_EQ(OnDisk(10701, &bad, sizeof bad).first, DWORD{ERROR_INVALID_PARAMETER});
    EXPECT_EQ(OnDisk(10701, &bad, sizeof bad, IOCTL_PATH_PASS_THROUGH).first,
              DWORD{ERROR_INVALID_FUNCTION});
    for (const std::uint32_t number : {10704u, 10001u, 20099u}) {
        EXPECT_EQ(Open("\\\\.\\PhysicalDrive" + std::to_string(number)), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), DWORD{ERROR_FILE_NOT_FOUND}) << number;
    }

    // A disk's latency: in flight on an overlapped handle, then the reply.
    const HANDLE disk = Open("\\\\.\\PhysicalDrive10801", true);
    Spt keys;
    Flight flight(In(8, 1));
    EXPECT_EQ(flight.Send(disk, IOCTL_SCSI_PASS_THROUGH, &keys, sizeof keys),
              DWORD{ERROR_IO_PENDING});
    EXPECT_EQ(flight.Wait(disk), 0u);
    EXPECT_EQ(keys.header.DataTransferLength, 8u);
    CloseHandle(disk);
}

// Under Wine the driver runs in winedevice.exe, not in the caller's process, and cannot map the
// caller's pages: DIRECT with data fails as a port driver does then; without data it runs.
TEST_F(VlkpathDisk, DirectFormUnderWineRunsOnlyWithoutData) {
    struct {
        SCSI_PASS_THROUGH_DIRECT header;
        ULONG filler;
        UCHAR sense[32];
    } direct{};
    alignas(8) std::array<std::uint8_t, 512> pages{};
    direct.header = {sizeof direct.header,
                     0,
                     0,
                     0,
                     0,
                     10,
                     32,
                     SCSI_IOCTL_DATA_IN,
                     512,
                     2,
                     pages.data(),
                     60,
                     {0x5E, 0, 0, 0, 0, 0, 0, 2}};
    static_assert(offsetof(decltype(direct), sense) == 60);
    EXPECT_EQ(OnDisk(10701, &direct, sizeof direct, IOCTL_SCSI_PASS_THROUGH_DIRECT).first,
              DWORD{ERROR_NO_SYSTEM_RESOURCES});
    direct.header.DataTransferLength = 0;
    direct.header.Cdb[0] = 0xC7;  // no such command
    EXPECT_EQ(OnDisk(10701, &direct, sizeof direct, IOCTL_SCSI_PASS_THROUGH_DIRECT),
              std::make_pair(DWORD{0}, DWORD{60 + 18}));
    EXPECT_EQ(direct.header.ScsiStatus, 0x02);
    EXPECT_EQ(direct.sense[12], 0x20) << "INVALID COMMAND OPERATION CODE";
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

// Run last, in a step of its own: calls waiting when the service stops end as cancelled, and
// the driver goes; started again, it answers.
class VlkpathUnload : public VlkpathLatency {};

TEST_F(VlkpathUnload, PendingCallsEndWhenTheDriverStops) {
    if (std::getenv("TESSALY_STOP_DRIVER") == nullptr) {
        GTEST_SKIP() << "stops the driver: only in its own step";
    }
    Flights f;
    for (const std::uint32_t device : {kMinute, kSecond, kMinute}) {
        f.push_back(std::make_unique<Flight>(In(device, 0)));
        ASSERT_EQ(f.back()->Send(overlapped_), DWORD{ERROR_IO_PENDING});
    }
    const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
    const SC_HANDLE service = OpenServiceA(manager, "vlkpath", SERVICE_ALL_ACCESS);
    SERVICE_STATUS status{};
    EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
    for (auto& flight : f) {
        EXPECT_EQ(flight->Wait(overlapped_), DWORD{ERROR_OPERATION_ABORTED});
    }
    for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
        Sleep(50);
        QueryServiceStatus(service, &status);
    }
    EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
    EXPECT_EQ(Open(DeviceChannel::kDeviceName), INVALID_HANDLE_VALUE);
    EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
    CloseServiceHandle(service);
    CloseServiceHandle(manager);
    HANDLE again = Open(DeviceChannel::kDeviceName);
    for (int i = 0; i < 100 && again == INVALID_HANDLE_VALUE; ++i) {
        Sleep(50);
        again = Open(DeviceChannel::kDeviceName);
    }
    PassThroughRequest keys = In(7, 0);
    EXPECT_EQ(Call(again, keys), 0u);
    EXPECT_EQ(keys.DataArea()[7], 24) << "the set-up's three registrations";
    CloseHandle(again);
}

}  // namespace
}  // namespace tessaly::win32
