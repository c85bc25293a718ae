// tessaly-cli on Linux and other POSIX systems: the same program, over the transports such a
// system has. The VLK driver is a Windows driver, so its device numbers reach nothing here.
#include <time.h>

#include <iostream>

#include "cli/Cli.h"
#include "cli/Transports.h"

namespace {

class PosixPause : public tessaly::Pause {
  public:
    void Sleep(std::uint32_t milliseconds) override {
        timespec wait{static_cast<time_t>(milliseconds / 1000),
                      static_cast<long>(milliseconds % 1000) * 1000000L};
        while (nanosleep(&wait, &wait) != 0) {
        }
    }
};

class PosixTransports : public tessaly::cli::Transports {
  public:
    std::unique_ptr<tessaly::scsi::Target> Vlk(std::uint32_t device, std::uint32_t path) override {
        return tessaly::cli::Unreachable(
            "device " + std::to_string(device) + ", path " + std::to_string(path),
            "not sent: the VLK driver is a Windows driver, and this system has none");
    }
};

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    PosixPause pause;
    PosixTransports transports;
    const int status = tessaly::cli::Run(arguments, transports, pause, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
