// tessaly-cli on Linux and other POSIX systems: the same program, over the transports such a
// system has: iSCSI through libiscsi, and SCSI devices and multipath maps through SG_IO. The VLK
// driver is a Windows driver, so its device numbers reach nothing here.
#include <signal.h>
#include <time.h>

#include <cerrno>
#include <iostream>
#include <map>
#include <memory>
#include <optional>

#include "cli/Cli.h"
#include "cli/Interrupt.h"
#include "cli/Transports.h"
#ifdef TESSALY_HAVE_ISCSI
#include "targets/iscsi/IscsiTarget.h"
#endif
#ifdef TESSALY_HAVE_SGIO
#include "targets/sgio/MultipathMap.h"
#include "targets/sgio/SgioTarget.h"
#include "targets/sgio/Sysfs.h"
#endif

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

    std::unique_ptr<tessaly::scsi::Target> Iscsi(
        const tessaly::targets::IscsiAddress& address, std::uint16_t lun,
        const tessaly::cli::IscsiSettings& settings) override {
#ifdef TESSALY_HAVE_ISCSI
        // One connector for the run and each initiator it goes out as (validate has two): its
        // sessions are shared by every LUN of a target, and carry the commands of many devices at
        // once. (The program asks for targets one at a time.)
        const std::string who =
            settings.initiatorName + "/" +
            (settings.isid ? tessaly::targets::IsidText(*settings.isid) : std::string());
        auto& connector = connectors_[who];
        if (!connector) {
            connector =
                std::make_unique<tessaly::targets::IscsiConnector>(tessaly::targets::IscsiOptions{
                    settings.initiatorName, settings.isid, settings.timeoutSeconds});
        }
        tessaly::targets::IscsiAddress one = address;
        one.luns = {lun};
        auto targets = connector->Open(one);
        return std::move(targets.front());
#else
        (void)settings;
        return tessaly::cli::NoIscsi(address, lun);
#endif
    }

    tessaly::cli::SystemDevice System(const std::string& path) override {
#ifdef TESSALY_HAVE_SGIO
        if (path.front() != '/') {  // a Windows disk's name
            return tessaly::cli::NoSystemDevice(path);
        }
        tessaly::cli::SystemDevice device;
        if (const auto lookup = tessaly::targets::LookUpNode(path); lookup.error == ENOENT) {
            device.missing = lookup.problem;
        }
        if (const auto map = tessaly::targets::MultipathMap::Open(path)) {
            device.map = map->Name();
            auto targets = map->OpenPaths();
            for (std::size_t i = 0; i < targets.size(); ++i) {
                device.paths.emplace_back(map->Paths()[i].name, std::move(targets[i]));
            }
        } else {
            device.paths.emplace_back(std::string(),
                                      std::make_unique<tessaly::targets::SgioTarget>(path));
        }
        return device;
#else
        return tessaly::cli::NoSystemDevice(path);
#endif
    }

  private:
#ifdef TESSALY_HAVE_ISCSI
    std::map<std::string, std::unique_ptr<tessaly::targets::IscsiConnector>> connectors_;
#endif
};

// Ctrl-C (or a TERM) while validate changes a disk asks it to stop and put the disk back; at any
// other time it ends the program as it would have.
extern "C" void OnInterrupt(int signal) {
    if (tessaly::cli::InterruptArmed()) {
        tessaly::cli::NoteInterrupt();
        return;
    }
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

}  // namespace

int main(int argc, char** argv) {
    struct sigaction action = {};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    PosixPause pause;
    PosixTransports transports;
    const int status = tessaly::cli::Run(arguments, transports, pause, std::cout, std::cerr);
    std::cout.flush();
    return status;
}
