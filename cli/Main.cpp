// tessaly-cli.exe: the command-line program over the VLK driver's control device.
#include <iostream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "win32/Win32DriverPort.h"
#include "win32/Win32MessageLookup.h"
#include "win32/Win32Pause.h"

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    tessaly::win32::Win32DriverPort driver;
    tessaly::win32::Win32Pause pause;
    tessaly::win32::Win32MessageLookup messages;
    return tessaly::cli::Run(arguments, driver, pause, messages, std::cout, std::cerr);
}
