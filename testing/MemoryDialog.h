// An in-memory dialog and pause, and a bundle of every in-memory stand-in wired to Operations.
#pragma once

#include <mutex>
#include <string>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "ops/DialogPort.h"
#include "ops/Operations.h"
#include "testing/MemoryDriverPort.h"
#include "testing/MemoryReportSink.h"

namespace tessaly::testing {

class MemoryDialog : public DialogPort {
  public:
    TypedNumbers numbers;
    TypedRange range;
    int selection = -1;
    bool groupMode = false;
    // The halves switched, in order: "single-step on", "group off", ...
    std::vector<std::string> switches;
    std::vector<std::string> messages;
    int focusRequests = 0;
    int numberReads = 0;
    int rangeReads = 0;

    TypedNumbers SingleStepNumbers() override {
        ++numberReads;
        return numbers;
    }
    TypedRange GroupRange() override {
        ++rangeReads;
        return range;
    }
    int CommandSelection() override { return selection; }
    bool IsGroupMode() override { return groupMode; }
    void EnableSingleStep(bool enable) override {
        switches.push_back(enable ? "single-step on" : "single-step off");
    }
    void EnableGroup(bool enable) override {
        switches.push_back(enable ? "group on" : "group off");
    }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void FocusDeviceNumber() override { ++focusRequests; }
};

// Safe from many threads, as the command-line program pauses with many devices in flight.
class RecordingPause : public Pause {
  public:
    std::vector<std::uint32_t> sleeps;
    int begun = 0;
    int ended = 0;
    void Sleep(std::uint32_t milliseconds) override {
        const std::lock_guard<std::mutex> guard(lock_);
        sleeps.push_back(milliseconds);
    }
    void BeginShortPauses() override { ++begun; }
    void EndShortPauses() override { ++ended; }

  private:
    std::mutex lock_;
};

// Everything an Operations object needs, in memory, with the channel opened (or not).
struct OpsBench {
    explicit OpsBench(bool openChannel = true);

    MemoryDriverPort port;
    DeviceChannel channel{port};
    OperationResult result;
    CurrentKey key;
    MemoryDialog dialog;
    MemoryReportSink sink;
    MapMessageLookup messages;
    RecordingPause pause;
    Operations ops{dialog, sink, messages, pause, channel, result, key};
};

}  // namespace tessaly::testing
