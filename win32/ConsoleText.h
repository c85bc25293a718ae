// Text between a console program and Windows: its command line as UTF-8 words, and output
// streams that show UTF-8 right in a console window and write it unchanged (with CR LF line ends)
// to a file or pipe.
#pragma once

#include <ostream>
#include <streambuf>
#include <string>
#include <vector>

namespace tessaly::win32 {

// The program's arguments as wmain has them, its own name left out, given as UTF-8: a character
// that has no ASCII form reaches the program as it was typed, never as a look-alike. (The C
// runtime splits the command line; the shell's CommandLineToArgvW would load shell32, and with it
// under Wine the whole windowing system, at every start.)
std::vector<std::string> CommandLineWords(int count, wchar_t** words);

// A stream buffer over one of the standard handles. A write that fails sets the stream's badbit.
class StandardHandleBuffer : public std::streambuf {
  public:
    explicit StandardHandleBuffer(unsigned long whichHandle);  // STD_OUTPUT_HANDLE, ...

  protected:
    int_type overflow(int_type c) override;
    std::streamsize xsputn(const char* text, std::streamsize count) override;
    int sync() override;

  private:
    void* handle_;
    bool console_;
    std::string pending_;
};

}  // namespace tessaly::win32
