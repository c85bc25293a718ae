// tessaly-cli.exe: the command-line program over the VLK driver's control device and Windows
// disks (SCSI pass-through).
#include <windows.h>

#include <ostream>

#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "targets/winpt/PassThroughTarget.h"
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

namespace {

class WindowsTransports : public tessaly::cli::DriverTransports {
  public:
    using DriverTransports::DriverTransports;

    tessaly::cli::SystemDevice System(const std::string& name) override {
        tessaly::cli::SystemDevice device;
        device.paths.emplace_back(std::string(),
                                  std::make_unique<tessaly::targets::PassThroughTarget>(name));
        return device;
    }
};

}  // namespace

int wmain(int argc, wchar_t** argv) {
    SetConsoleCtrlHandler(OnConsoleControl, TRUE);
    tessaly::win32::StandardHandleBuffer outBuffer(STD_OUTPUT_HANDLE);
    tessaly::win32::StandardHandleBuffer errBuffer(STD_ERROR_HANDLE);
    std::ostream out(&outBuffer);
    std::ostream err(&errBuffer);
    err << std::unitbuf;
    // Overlapped: many calls in flight, each given up at its timeout.
    tessaly::win32::Win32DriverPort driver(true);
    tessaly::win32::Win32Pause pause;
    tessaly::win32::Win32MessageLookup messages;
    WindowsTransports transports(driver, messages, [&err](const std::string& note) {
        err << "tessaly-cli: " << note << "\n";
    });
    const int status = tessaly::cli::Run(tessaly::win32::CommandLineWords(argc, argv), transports,
                                         pause, out, err);
    out.flush();
    return status;
}
