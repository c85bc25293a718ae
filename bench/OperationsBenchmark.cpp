// The program's own work per command (build, send through the channel, full report) and per
// group clear over every device number, with a driver that answers at once and no pauses.
#include <benchmark/benchmark.h>

#include <cstring>
#include <string>

#include "ops/Operations.h"
#include "testing/MemoryDialog.h"

namespace tessaly {
namespace {

// The stand-ins here keep nothing of what they are given, unlike those of testing/, which record
// every call and line: a benchmark runs millions of commands.

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

class NoPause : public Pause {
  public:
    void Sleep(std::uint32_t) override {}
};

struct World {
    InstantDriver driver;
    DeviceChannel channel{driver};
    OperationResult result;
    CurrentKey key;
    testing::MemoryDialog dialog;
    CountingSink sink;
    testing::MapMessageLookup messages;
    NoPause pause;
    Operations ops{dialog, sink, messages, pause, channel, result, key};
    World() {
        dialog.numbers = {"42", "3"};
        dialog.range = {"0", "100", "0"};
        channel.Open();
    }
};

void OneCommand(benchmark::State& state) {
    World world;
    const auto command = static_cast<int>(state.range(0));
    for (auto _ : state) {
        world.dialog.selection = command;
        world.ops.OnSelchangeCommand();
    }
    benchmark::DoNotOptimize(world.sink.bytes);
    state.SetLabel(RowOf(static_cast<Command>(command)).Name());
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
