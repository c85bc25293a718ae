// An in-memory dialog and pause, and a bundle of every in-memory stand-in wired to Operations.
#pragma once

#include <map>
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
    std::map<int, std::string> edits;
    int selection = -1;
    bool groupChecked = false;
    std::map<int, bool> enabled;
    std::vector<int> enableOrder;  // control ids in the order they were switched
    std::vector<std::string> messages;
    int focusRequests = 0;
    int dataExchanges = 0;

    void UpdateData() override { ++dataExchanges; }
    std::string EditText(int controlId) override { return edits[controlId]; }
    int CommandSelection() override { return selection; }
    bool IsGroupChecked() override { return groupChecked; }
    void EnableControl(int controlId, bool enable) override {
        enabled[controlId] = enable;
        enableOrder.push_back(controlId);
    }
    void ShowMessage(const std::string& text) override { messages.push_back(text); }
    void FocusDeviceNumber() override { ++focusRequests; }
};

class RecordingPause : public Pause {
  public:
    std::vector<std::uint32_t> sleeps;
    int begun = 0;
    int ended = 0;
    void Sleep(std::uint32_t milliseconds) override { sleeps.push_back(milliseconds); }
    void BeginShortPauses() override { ++begun; }
    void EndShortPauses() override { ++ended; }
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
