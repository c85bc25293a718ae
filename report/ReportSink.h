// Where reports go: the two lists, the lengths caption and the eight key fields of the dialog.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessaly {

class ReportSink {
  public:
    virtual ~ReportSink() = default;
    // Appends a line at the end of the Status Information list.
    virtual void AppendStatusLine(const std::string& line) = 0;
    // Appends a line at the end of the Data Output Log list.
    virtual void AppendDataLogLine(const std::string& line) = 0;
    // Replaces the window text of the Status Information list.
    virtual void SetLengthsCaption(const std::string& text) = 0;
    // Replaces the text of the key field for key byte 0..7.
    virtual void SetKeyFieldText(int keyByte, const std::string& text) = 0;
};

// The system's message text for an error number.
class MessageLookup {
  public:
    static constexpr std::size_t kMaxLength = 79;
    virtual ~MessageLookup() = default;
    // The text exactly as the system gives it (line break included), or nothing when the system
    // has no text of at most kMaxLength characters for the number.
    virtual std::optional<std::string> MessageFor(std::uint32_t error) = 0;
};

}  // namespace tessaly
