// vlkpath.sys with disks that take their time (latency-setup.txt): calls in flight at once on an
// overlapped handle and an I/O completion port, order per disk, cancelling, callers in several
// processes, and the driver stopped under pending calls (suite VlkpathUnload, run last).
#include <gtest/gtest.h>
#include <windows.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "sim/driver/tests/DriverCalls.h"

namespace tessaly::win32 {
namespace {

using namespace driver_calls;

constexpr std::uint32_t kSlowDisk = 20;        // 500 ms
constexpr std::uint32_t kFastDisk = 21;        // 10 ms, like every disk without a line of its own
constexpr std::uint32_t kMinuteDisk = 40;      // 60 s
constexpr std::uint32_t kSecondDisk = 41;      // 1 s
constexpr std::uint32_t kSecondAndAHalf = 42;  // 1.5 s
constexpr std::uint32_t kStressDisk = 30;      // 2 ms, callers at once
constexpr std::uint32_t kOneAtATimeDisk = 31;  // 2 ms, the same commands one at a time
constexpr int kProcesses = 3;
constexpr int kThreadsEach = 2;
constexpr int kRounds = 3;
constexpr std::uint8_t kReadKeys = 0x00;
constexpr std::uint8_t kReadReservation = 0x01;

class VlkpathLatency : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!DriverExpected()) {
            GTEST_SKIP() << "vlkpath.sys with latencies is not installed in this prefix";
        }
        ASSERT_NE(handle_.Get(), INVALID_HANDLE_VALUE) << handle_.OpenError();
    }

    // Sends every flight, each in flight afterwards, and gathers the order of their ends through
    // a completion port.
    std::vector<int> CompletionOrder(std::vector<std::unique_ptr<Flight>>& flights) {
        const HANDLE port = CreateIoCompletionPort(handle_.Get(), nullptr, 7, 0);
        EXPECT_NE(port, nullptr);
        for (auto& flight : flights) {
            EXPECT_EQ(flight->Send(handle_.Get()), DWORD{ERROR_IO_PENDING}) << flight->tag;
        }
        std::vector<int> order;
        for (std::size_t i = 0; i < flights.size(); ++i) {
            DWORD bytes = 0;
            ULONG_PTR key = 0;
            OVERLAPPED* overlapped = nullptr;
            if (!GetQueuedCompletionStatus(port, &bytes, &key, &overlapped, 30000)) {
                ADD_FAILURE() << "no completion: " << GetLastError();
                break;
            }
            EXPECT_EQ(key, 7u);
            for (const auto& flight : flights) {
                if (&flight->overlapped == overlapped) {
                    order.push_back(flight->tag);
                    EXPECT_EQ(bytes, 92u + flight->requested) << "the whole reply: " << flight->tag;
                }
            }
        }
        CloseHandle(port);
        return order;
    }

    Handle handle_{DeviceChannel::kDeviceName, true};
};

TEST_F(VlkpathLatency, CallsToManyDisksAreInFlightAtOnce) {
    // The slow disk first, then every disk of 10 ms: all of those end while it is in flight.
    std::vector<std::unique_ptr<Flight>> flights;
    flights.push_back(std::make_unique<Flight>(ReadIn(kSlowDisk, 0, kReadKeys), kSlowDisk));
    std::vector<int> fast;
    for (int d = 0; d <= 100; ++d) {
        if (d != 7 && d != kSlowDisk && (d < 30 || d > 31) && (d < 40 || d > 42)) {
            flights.push_back(std::make_unique<Flight>(ReadIn(d, 0, kReadKeys), d));
            fast.push_back(d);
        }
    }
    const std::vector<int> order = CompletionOrder(flights);
    ASSERT_EQ(order.size(), flights.size());
    EXPECT_EQ(order.back(), static_cast<int>(kSlowDisk));
    std::vector<int> fastOrder(order.begin(), order.end() - 1);
    std::sort(fastOrder.begin(), fastOrder.end());
    EXPECT_EQ(fastOrder, fast) << "each disk answered once";
}

TEST_F(VlkpathLatency, CallsToOneDiskAreAnsweredInOrder) {
    // Each REGISTER needs the key the one before set: any other order is a conflict.
    std::vector<std::unique_ptr<Flight>> flights;
    for (int i = 0; i < 4; ++i) {
        flights.push_back(
            std::make_unique<Flight>(Register(kFastDisk, 0, i == 0 ? kZeroKey : KeyFor(i),
                                              i == 3 ? kZeroKey : KeyFor(i + 1)),
                                     i));
    }
    flights.push_back(std::make_unique<Flight>(ReadIn(kFastDisk, 0, kReadKeys), 4));
    EXPECT_EQ(CompletionOrder(flights), (std::vector<int>{0, 1, 2, 3, 4}));
    for (const auto& flight : flights) {
        EXPECT_EQ(flight->request.ScsiStatus(), 0) << flight->tag;
    }
    const auto keys = flights.back()->request.DataArea();
    EXPECT_EQ(keys[3], 4) << "generation";
    EXPECT_EQ(keys[7], 0) << "no key left";
}

TEST_F(VlkpathLatency, CancelledCallsEndAtOnceAndOnlyThey) {
    std::array<Flight, 3> flights = {Flight(ReadIn(kMinuteDisk, 0, kReadKeys), 0),
                                     Flight(ReadIn(kMinuteDisk, 0, kReadKeys), 1),
                                     Flight(ReadIn(kMinuteDisk, 0, kReadKeys), 2)};
    for (auto& flight : flights) {
        ASSERT_EQ(flight.Send(handle_.Get()), DWORD{ERROR_IO_PENDING});
    }
    ASSERT_TRUE(CancelIoEx(handle_.Get(), &flights[1].overlapped)) << GetLastError();
    EXPECT_EQ(flights[1].Wait(handle_.Get()).first, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_FALSE(flights[0].Done());
    EXPECT_FALSE(flights[2].Done());
    // The head of the queue, then the rest: CancelIo takes all of this thread's calls.
    ASSERT_TRUE(CancelIoEx(handle_.Get(), &flights[0].overlapped));
    EXPECT_EQ(flights[0].Wait(handle_.Get()).first, DWORD{ERROR_OPERATION_ABORTED});
    EXPECT_FALSE(flights[2].Done());
    ASSERT_TRUE(CancelIo(handle_.Get()));
    EXPECT_EQ(flights[2].Wait(handle_.Get()).first, DWORD{ERROR_OPERATION_ABORTED});
}

TEST_F(VlkpathLatency, AnEndingProcessTakesItsCallsAlong) {
    // The child leaves three calls of a second each on a disk. Were they still queued, a call
    // sent there now would end after one sent to a disk of a second and a half.
    PROCESS_INFORMATION child = StartChild("VlkpathChild.*", "leave-calls");
    ASSERT_EQ(EndOfChild(child), 0u);
    std::vector<std::unique_ptr<Flight>> flights;
    flights.push_back(std::make_unique<Flight>(ReadIn(kSecondDisk, 0, kReadKeys), kSecondDisk));
    flights.push_back(
        std::make_unique<Flight>(ReadIn(kSecondAndAHalf, 0, kReadKeys), kSecondAndAHalf));
    EXPECT_EQ(CompletionOrder(flights),
              (std::vector<int>{static_cast<int>(kSecondDisk), static_cast<int>(kSecondAndAHalf)}));
}

// One caller: its own path and key, registered, re-keyed and unregistered kRounds times, then
// registered for good. Every command must succeed in any interleaving with the others.
void RunCaller(HANDLE handle, std::uint32_t device, int caller, int& failures) {
    const std::uint32_t path = 1 + static_cast<std::uint32_t>(caller);
    std::vector<PassThroughRequest> commands;
    for (int round = 0; round < kRounds; ++round) {
        commands.push_back(Register(device, path, kZeroKey, KeyFor(10 * caller + 1)));
        commands.push_back(
            Register(device, path, KeyFor(10 * caller + 1), KeyFor(10 * caller + 2)));
        commands.push_back(Register(device, path, KeyFor(10 * caller + 2), kZeroKey));
    }
    commands.push_back(Register(device, path, kZeroKey, KeyFor(10 * caller + 3)));
    for (auto& command : commands) {
        failures += Call(handle, command) != 0 || command.ScsiStatus() != 0 ? 1 : 0;
    }
}

// Generation, the keys in sorted order, the holder's key and type.
std::vector<std::uint8_t> EndState(HANDLE handle, std::uint32_t device) {
    PassThroughRequest keys = ReadIn(device, 0, kReadKeys);
    PassThroughRequest holder = ReadIn(device, 0, kReadReservation);
    EXPECT_EQ(Call(handle, keys), 0u);
    EXPECT_EQ(Call(handle, holder), 0u);
    const auto data = keys.DataArea();
    std::vector<Key> list(data[7] / 8);
    for (std::size_t i = 0; i < list.size(); ++i) {
        std::copy(data.begin() + 8 + 8 * i, data.begin() + 16 + 8 * i, list[i].begin());
    }
    std::sort(list.begin(), list.end());
    std::vector<std::uint8_t> state(data.begin(), data.begin() + 4);
    for (const Key& key : list) {
        state.insert(state.end(), key.begin(), key.end());
    }
    const auto reservation = holder.DataArea();
    state.insert(state.end(), reservation.begin() + 8, reservation.begin() + 22);
    return state;
}

TEST_F(VlkpathLatency, CallersInSeveralProcessesAgreeWithOneAtATime) {
    // Path 0 holds a registrants-only reservation throughout; the callers take paths 1 to 6.
    const Handle sync(DeviceChannel::kDeviceName, false);
    for (const std::uint32_t device : {kStressDisk, kOneAtATimeDisk}) {
        PassThroughRequest reg = Register(device, 0, kZeroKey, KeyFor(900));
        const std::array<std::uint8_t, kCdbSize> reserve = {0x5F, 0x01, 0x05, 0, 0, 0, 0, 0, 24, 0};
        std::array<std::uint8_t, kParameterListSize> list{};
        const Key holder = KeyFor(900);
        std::copy(holder.begin(), holder.end(), list.begin());
        PassThroughRequest take(device, 0, DataDirection::Out, reserve, list);
        ASSERT_EQ(Call(sync.Get(), reg), 0u);
        ASSERT_EQ(Call(sync.Get(), take), 0u);
        ASSERT_EQ(take.ScsiStatus(), 0);
    }
    std::vector<PROCESS_INFORMATION> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(StartChild("VlkpathChild.*", "callers:" + std::to_string(p)));
    }
    for (auto& child : children) {
        EXPECT_EQ(EndOfChild(child), 0u);
    }
    int failures = 0;
    for (int caller = 0; caller < kProcesses * kThreadsEach; ++caller) {
        RunCaller(sync.Get(), kOneAtATimeDisk, caller, failures);
    }
    EXPECT_EQ(failures, 0);
    const std::vector<std::uint8_t> alone = EndState(sync.Get(), kOneAtATimeDisk);
    EXPECT_EQ(alone[3], 1 + kProcesses * kThreadsEach * (3 * kRounds + 1)) << "generation";
    EXPECT_EQ(EndState(sync.Get(), kStressDisk), alone);
}

// The other half of the tests above, in a process of its own.
TEST(VlkpathChild, Role) {
    const std::string role = ChildRole();
    if (role.empty()) {
        GTEST_SKIP() << "started by a test only";
    }
    if (role == "leave-calls") {
        Handle handle(DeviceChannel::kDeviceName, true);
        ASSERT_NE(handle.Get(), INVALID_HANDLE_VALUE);
        for (int i = 0; i < 3; ++i) {
            auto* flight = new Flight(ReadIn(kSecondDisk, 0, kReadKeys));  // left to the end
            ASSERT_EQ(flight->Send(handle.Get()), DWORD{ERROR_IO_PENDING});
        }
        ExitProcess(0);
    }
    // "callers:P": threads of their own, each with its own handle.
    const int process = std::stoi(role.substr(role.find(':') + 1));
    std::vector<int> failures(kThreadsEach);
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreadsEach; ++t) {
        threads.emplace_back([&failures, process, t] {
            Handle handle(DeviceChannel::kDeviceName, false);
            RunCaller(handle.Get(), kStressDisk, process * kThreadsEach + t, failures[t]);
        });
    }
    for (auto& thread : threads) {
        thread.join();
    }
    EXPECT_EQ(failures, std::vector<int>(kThreadsEach));
}

// Run last: the driver stopped while calls wait. It completes them as cancelled and goes.
TEST(VlkpathUnload, PendingCallsEndWhenTheDriverStops) {
    if (!DriverExpected()) {
        GTEST_SKIP() << "vlkpath.sys is not installed in this prefix";
    }
    std::array<Flight, 3> flights = {Flight(ReadIn(kMinuteDisk, 0, kReadKeys)),
                                     Flight(ReadIn(kSecondDisk, 0, kReadKeys)),
                                     Flight(ReadIn(kMinuteDisk, 0, kReadKeys))};
    {
        Handle handle(DeviceChannel::kDeviceName, true);
        ASSERT_NE(handle.Get(), INVALID_HANDLE_VALUE);
        for (auto& flight : flights) {
            ASSERT_EQ(flight.Send(handle.Get()), DWORD{ERROR_IO_PENDING});
        }
        const SC_HANDLE manager = OpenSCManagerA(nullptr, nullptr, SC_MANAGER_CONNECT);
        const SC_HANDLE service =
            OpenServiceA(manager, "vlkpath", SERVICE_STOP | SERVICE_START | SERVICE_QUERY_STATUS);
        ASSERT_NE(service, nullptr) << GetLastError();
        SERVICE_STATUS status{};
        EXPECT_TRUE(ControlService(service, SERVICE_CONTROL_STOP, &status)) << GetLastError();
        for (auto& flight : flights) {
            EXPECT_EQ(flight.Wait(handle.Get()).first, DWORD{ERROR_OPERATION_ABORTED});
        }
        for (int i = 0; i < 100 && status.dwCurrentState != SERVICE_STOPPED; ++i) {
            Sleep(50);
            QueryServiceStatus(service, &status);
        }
        EXPECT_EQ(status.dwCurrentState, DWORD{SERVICE_STOPPED});
        EXPECT_EQ(Handle(DeviceChannel::kDeviceName, false).OpenError(),
                  DWORD{ERROR_FILE_NOT_FOUND});
        // Started again, it answers.
        EXPECT_TRUE(StartServiceA(service, 0, nullptr)) << GetLastError();
        CloseServiceHandle(service);
        CloseServiceHandle(manager);
    }
    auto again = std::make_unique<Handle>(DeviceChannel::kDeviceName, false);
    for (int i = 0; i < 100 && again->Get() == INVALID_HANDLE_VALUE; ++i) {
        Sleep(50);
        again = std::make_unique<Handle>(DeviceChannel::kDeviceName, false);
    }
    ASSERT_NE(again->Get(), INVALID_HANDLE_VALUE) << again->OpenError();
    PassThroughRequest keys = ReadIn(7, 0, kReadKeys);
    EXPECT_EQ(Call(again->Get(), keys), 0u);
    EXPECT_EQ(keys.DataArea()[7], 24) << "the dead node's three registrations, from the set-up";
}

}  // namespace
}  // namespace tessaly::win32
