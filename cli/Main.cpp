// tessaly-cli.exe: the command-line program over the VLK driver's control device.
#include <windows.h>

#include <ostream>

#include "cli/Cli.h"
#include "win32/ConsoleText.h"
#include "win32/Win32DriverPort.h"
#include "win32/Win32MessageLookup.h"
#include "win32/Win32Pause.h"

int main() {
    tessaly::win32::StandardHandleBuffer outBuffer(STD_OUTPUT_HANDLE);
    tessaly::win32::StandardHandleBuffer errBuffer(STD_ERROR_HANDLE);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    err << std::unitbuf;
    tessaly::win32::Win32DriverPort driver(
        true);  // many calls in flight, each given up at its timeout
    tessaly::win32::Win32Pause pause;
    tessaly::win32::Win32MessageLookup messages;
    const int status =
        tessaly::cli::Run(tessaly::win32::CommandLineWords(), driver, pause, messages, out, err);
    out.flush();
    return status;
}
