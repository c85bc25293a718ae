// Where reports go: the two lists, the lengths caption and the eight key fields of the dialog.
#pragma once

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

}  // namespace tessaly
