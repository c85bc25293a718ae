// The group clear of the real tessaly.exe, driven from outside as a person would, beside its floor.
//   tessaly_group_clear_bench --exe=PATH [--start=N] [--end=N] [--path=N] [--ranges=N]
//
// Starts the program, ticks Group, fills in the range and the path, and clicks CLEAR PR KEYS
// N times (default 10) in the same dialog. Each range is timed from the click until the program
// has handled it and painted its window; the working set and private bytes of the program are read
// after each. Before the first range and after every range the floor is measured: the requests of
// the range, built and sent as the program builds and sends them (core's BuildCommandRequest
// through the same driver port), each followed by Sleep(1) with the timer at 1 ms, nothing drawn.
// Every device of the range must be present: each then adds 12 status lines and 60 log lines.
//
// Prints, in seconds and bytes:
//   start WORKING_SET PRIVATE
//   floor N SECONDS                    (N = 0 before the first range, then after range N)
//   range N SECONDS STATUS_LINES LOG_LINES WORKING_SET PRIVATE
#include <windows.h>
// After windows.h, which they need.
#include <psapi.h>
#include <timeapi.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "Harness.h"
#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "win32/Win32DriverPort.h"

namespace {

const char* Argument(int argc, char** argv, const char* name) {
    const std::size_t length = std::strlen(name);
    for (int i = 1; i < argc; ++i) {
        if (std::strncmp(argv[i], name, length) == 0) {
            return argv[i] + length;
        }
    }
    return nullptr;
}

int Number(int argc, char** argv, const char* name, int fallback) {
    const char* value = Argument(argc, argv, name);
    return value != nullptr ? std::atoi(value) : fallback;
}

double Now() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER counter;
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&counter);
    return static_cast<double>(counter.QuadPart) / static_cast<double>(frequency.QuadPart);
}

// The requests of a range with the pauses of a range, and nothing else; -1 when the device does
// not open.
double Floor(int start, int end, int path) {
    tessaly::win32::Win32DriverPort port;
    tessaly::DeviceChannel channel(port);
    if (!channel.Open()) {
        return -1;
    }
    const tessaly::Command commands[] = {tessaly::Command::ReadReservation,
                                         tessaly::Command::RegisterDevice,
                                         tessaly::Command::ClearReservation};
    tessaly::CurrentKey key;
    tessaly::OperationResult result;
    timeBeginPeriod(1);
    const double from = Now();
    for (int device = start; device <= end; ++device) {
        for (const tessaly::Command command : commands) {
            tessaly::PassThroughRequest request = tessaly::BuildCommandRequest(
                command, static_cast<std::uint32_t>(device), static_cast<std::uint32_t>(path), key);
            result.dumpLength = tessaly::kDumpLength;
            channel.Send(request, result);
            if (command == tessaly::Command::ReadReservation) {
                key.CaptureFrom(request);
            }
            Sleep(1);
        }
    }
    const double seconds = Now() - from;
    timeEndPeriod(1);
    return seconds;
}

struct Memory {
    unsigned long long workingSet = 0;
    unsigned long long privateBytes = 0;
};

Memory MemoryOf(DWORD processId) {
    Memory memory;
    HANDLE process = OpenProcess(PROCESS_QUERY_INFORMATION | PROCESS_VM_READ, FALSE, processId);
    if (process == nullptr) {
        return memory;
    }
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof(counters);
    if (GetProcessMemoryInfo(process, reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                             sizeof(counters))) {
        memory.workingSet = counters.WorkingSetSize;
        // The commit charge: private bytes. Wine fills only PagefileUsage for another process.
        memory.privateBytes =
            counters.PrivateUsage != 0 ? counters.PrivateUsage : counters.PagefileUsage;
    }
    CloseHandle(process);
    return memory;
}

bool PrintFloor(int after, int start, int end, int path) {
    const double seconds = Floor(start, end, path);
    if (seconds < 0) {
        std::fprintf(stderr, "the control device does not open (is the driver installed?)\n");
        return false;
    }
    std::printf("floor %d %.4f\n", after, seconds);
    std::fflush(stdout);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const char* exe = Argument(argc, argv, "--exe=");
    if (exe == nullptr) {
        std::fprintf(stderr, "usage: %s --exe=PATH [--start=N] [--end=N] [--path=N] [--ranges=N]\n",
                     argv[0]);
        return 2;
    }
    const int start = Number(argc, argv, "--start=", 0);
    const int end = Number(argc, argv, "--end=", 100);
    const int path = Number(argc, argv, "--path=", 0);
    const int ranges = Number(argc, argv, "--ranges=", 10);
    const int devices = end - start + 1;

    blackbox::App app(blackbox::WindowsPath(exe));
    if (!app.Started() || app.Main(15000) == nullptr) {
        std::fprintf(stderr, "the main dialog did not come up (is the driver installed?)\n");
        return 1;
    }
    HWND main = app.Main();
    app.Click(blackbox::kGroupCheck);
    if (!blackbox::WaitUntil([&] { return app.Enabled(blackbox::kGroupStart); })) {
        std::fprintf(stderr, "group mode did not come on\n");
        return 1;
    }
    app.SetText(blackbox::kGroupStart, std::to_string(start));
    app.SetText(blackbox::kGroupEnd, std::to_string(end));
    app.SetText(blackbox::kGroupPath, std::to_string(path));
    app.Responsive(main);

    const Memory before = MemoryOf(app.ProcessId());
    std::printf("start %llu %llu\n", before.workingSet, before.privateBytes);
    if (!PrintFloor(0, start, end, path)) {
        return 1;
    }

    HWND button = app.Item(blackbox::kClearPrKeys);
    for (int range = 1; range <= ranges; ++range) {
        const double from = Now();
        // Sent, not posted: the call returns when the program has handled the click, the whole
        // range included. A range of present devices opens no message box.
        DWORD_PTR ignored = 0;
        if (SendMessageTimeoutW(button, BM_CLICK, 0, 0, SMTO_NORMAL, 600000, &ignored) == 0) {
            std::fprintf(stderr, "range %d: no answer within 600 s\n", range);
            return 1;
        }
        // Whatever the window still has to paint belongs to the range too.
        RedrawWindow(main, nullptr, nullptr, RDW_UPDATENOW | RDW_ALLCHILDREN);
        const double seconds = Now() - from;

        const int status = app.LineCount(blackbox::kStatus);
        const int log = app.LineCount(blackbox::kDataLog);
        const Memory memory = MemoryOf(app.ProcessId());
        std::printf("range %d %.4f %d %d %llu %llu\n", range, seconds, status, log,
                    memory.workingSet, memory.privateBytes);
        std::fflush(stdout);
        if (status != range * devices * 12 || log != range * devices * 60) {
            std::fprintf(stderr, "range %d: %d status lines and %d log lines, expected %d and %d\n",
                         range, status, log, range * devices * 12, range * devices * 60);
            return 1;
        }
        if (!PrintFloor(range, start, end, path)) {
            return 1;
        }
    }
    PostMessageW(main, WM_COMMAND, IDCANCEL, 0);
    app.Exited(10000);
    return 0;
}
