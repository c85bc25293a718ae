// The program's own work per command (build, send through the channel, full report) and per
// group clear over every device number, with a driver that answers at once and no pauses.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "ops/ControlIds.h"
#include "ops/Operations.h"

namespace tessaly {
namespace {

// Answers every call at once with a reservation held under a fixed key.
class InstantDriver : public DriverPort {
  public:
    OpenOutcome OpenDevice(const char*) override { return {1, 0}; }
    ControlOutcome Control(DeviceHandle, std::uint32_t, const void*, std::uint32_t, void* output,
                           std::uint32_t, std::uint32_t* bytesReturned) override {
        auto* out = static_cast<std::uint8_t*>(output);
        std::uint8_t* data = out + 92;
        data[3] = 4;
        data[7] = 16;
        std::memcpy(data + 8, "TESSALY1", 8);
        *bytesReturned = 152;
        return {1, 0};
    }
    void CloseDevice(DeviceHandle) override {}
};

// Keeps what a list box would: the text of each line.
class CountingSink : public ReportSink {
  public:
    void AppendStatusLine(const std::string& line) override { bytes += line.size(); }
    void AppendDataLogLine(const std::string& line) override { bytes += line.size(); }
    void SetLengthsCaption(const std::string& text) override { bytes += text.size(); }
    void SetKeyFieldText(int, const std::string& text) override { bytes += text.size(); }
    std::size_t bytes = 0;
};

class NoMessages : public MessageLookup {
  public:
    std::optional<std::string> MessageFor(std::uint32_t) override { return std::nullopt; }
};

class NoPause : public Pause {
  public:
    void Sleep(std::uint32_t) override {}
};

class Edits : public DialogPort {
  public:
    std::string device = "42";
    std::string path = "3";
    std::string start = "0";
    std::string end = "100";
    void UpdateData() override {}
    std::string EditText(int id) override {
        switch (id) {
            case IDC_DEVICE_NUMBER:
                return device;
            case IDC_PATH_NUMBER:
                return path;
            case IDC_GROUP_START:
                return start;
            case IDC_GROUP_END:
                return end;
            default:
                return "0";
        }
    }
    int CommandSelection() override { return 0; }
    bool IsGroupChecked() override { return true; }
    void EnableControl(int, bool) override {}
    void ShowMessage(const std::string&) override {}
    void FocusDeviceNumber() override {}
};

struct World {
    InstantDriver driver;
    DeviceChannel channel{driver};
    OperationResult result;
    CurrentKey key;
    Edits edits;
    CountingSink sink;
    NoMessages messages;
    NoPause pause;
    Operations ops{edits, sink, messages, pause, channel, result, key};
    World() { channel.Open(); }
};

void OneCommand(benchmark::State& state) {
    World world;
    const auto command = static_cast<int>(state.range(0));
    for (auto _ : state) {
        switch (command) {
            case 0:
                world.ops.ReadKeys(true, 0, 0);
                break;
            case 1:
                world.ops.ReadReservation(true, 0, 0);
                break;
            default:
                world.ops.ClearReservation(true, 0, 0);
                break;
        }
    }
    benchmark::DoNotOptimize(world.sink.bytes);
    state.SetLabel(command == 0 ? "read keys" : command == 1 ? "read reservation" : "clear");
}
BENCHMARK(OneCommand)->Arg(0)->Arg(1)->Arg(4)->Unit(benchmark::kMicrosecond);

void GroupClearWholeRange(benchmark::State& state) {
    World world;
    for (auto _ : state) {
        world.ops.OnClearPrKeys();
    }
    benchmark::DoNotOptimize(world.sink.bytes);
    state.counters["commands"] = 303;
}
BENCHMARK(GroupClearWholeRange)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace tessaly

BENCHMARK_MAIN();
