// In-memory report targets: the two lists, the caption, the key fields, and the order of events.
#pragma once

#include <array>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "report/MessageLookup.h"
#include "report/ReportSink.h"

namespace tessaly::testing {

class MemoryReportSink : public ReportSink {
  public:
    std::vector<std::string> statusLines;
    std::vector<std::string> dataLogLines;
    std::string caption;
    int captionSets = 0;
    std::array<std::string, 8> keyFields;
    int keyFieldSets = 0;
    // One letter per event in order: S status line, D data log line, C caption, K key field.
    std::string events;

    void AppendStatusLine(const std::string& line) override {
        statusLines.push_back(line);
        events += 'S';
    }
    void AppendDataLogLine(const std::string& line) override {
        dataLogLines.push_back(line);
        events += 'D';
    }
    void SetLengthsCaption(const std::string& text) override {
        caption = text;
        ++captionSets;
        events += 'C';
    }
    void SetKeyFieldText(int keyByte, const std::string& text) override {
        keyFields.at(static_cast<std::size_t>(keyByte)) = text;
        ++keyFieldSets;
        events += 'K';
    }
};

// Safe from many threads, as the command-line program asks it with many devices in flight.
class MapMessageLookup : public MessageLookup {
  public:
    std::map<std::uint32_t, std::string> texts;
    std::vector<std::uint32_t> asked;
    std::optional<std::string> MessageFor(std::uint32_t error) override {
        const std::lock_guard<std::mutex> guard(lock_);
        asked.push_back(error);
        const auto it = texts.find(error);
        if (it == texts.end()) {
            return std::nullopt;
        }
        return it->second;
    }

  private:
    std::mutex lock_;
};

}  // namespace tessaly::testing
