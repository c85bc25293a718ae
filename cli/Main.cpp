// tessaly-cli.exe: the command-line program over the VLK driver's control device.
#include <windows.h>

#include <ostream>

#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "win32/ConsoleText.h"
#include "win32/Win32DriverPort.h"
#include "win32/Win32MessageLookup.h"
#include "win32/Win32Pause.h"

namespace {

// Ctrl-C or Ctrl-Break while validate changes a disk asks it to stop and put the disk back; at
// any other time the system's own handler ends the program.
BOOL WINAPI OnConsoleControl(DWORD event) {
    if ((event == CTRL_C_EVENT || event == CTRL_BREAK_EVENT) && tessaly::cli::InterruptArmed()) {
        tessaly::cli::NoteInterrupt();
        return TRUE;
    }
    return FALSE;
}

}  // namespace

int main() {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
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
