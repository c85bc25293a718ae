// fuzz_seeds FOLDER: writes the seeds of the report and pass-through targets into FOLDER/report and
// FOLDER/passthrough, and the default set-up into FOLDER/setup: the program's own requests, and
// the replies the disk model gives them on the default disks.
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/Cli.h"
#include "cli/tests/ModelDriver.h"
#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "fuzz/CliCommandLines.h"
#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace {

using Bytes = std::vector<std::uint8_t>;
using tessaly::Command;
using tessaly::PassThroughRequest;

std::filesystem::path g_folder;

void Write(const char* target, const char* name, const Bytes& bytes) {
    std::filesystem::create_directories(g_folder / target);
    std::ofstream(g_folder / target / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

void AppendLe(Bytes& to, std::uint32_t value, int size) {
    for (int i = 0; i < size; ++i) {
        to.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    }
}

vlksim::DiskModel& DefaultModel() {
    static vlksim::DiskModel model;
    static vlksim::DiskSetup setup;
    vlksim::ParseSetup(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength, setup);
    vlksim::ApplySetup(setup, model);
    return model;
}

// A request with any command block, for the commands the program does not send.
PassThroughRequest Other(std::uint32_t device, std::uint32_t path, tessaly::DataDirection direction,
                         std::array<std::uint8_t, tessaly::kCdbSize> cdb, Bytes list = {}) {
    return PassThroughRequest(device, path, direction, cdb, list);
}

// The pass-through target's input: the default disks, then the requests in turn, each in the
// short form (its first 160 bytes).
Bytes PassThroughSeed(const std::vector<PassThroughRequest>& requests) {
    Bytes seed;
    AppendLe(seed, 0, 2);
    for (const auto& request : requests) {
        seed.push_back(0);
        seed.insert(seed.end(), request.Bytes(),
                    request.Bytes() + tessaly::request_offset::kDataArea + 60);
    }
    return seed;
}

// One control call of the report target's input.
void AppendRecord(Bytes& seed, std::uint8_t kind, std::uint32_t error, std::uint32_t bytesReturned,
                  const std::string& text, const std::uint8_t* output) {
    seed.push_back(kind);
    AppendLe(seed, error, 4);
    AppendLe(seed, bytesReturned, 4);
    seed.push_back(static_cast<std::uint8_t>(text.size()));
    seed.insert(seed.end(), text.begin(), text.end());
    seed.insert(seed.end(), output, output + tessaly::kDumpLength);
}

// The call as the stand-in driver answers it; the reply lands in the request, as in the program.
void AppendAnswer(Bytes& seed, vlksim::DiskModel& model, PassThroughRequest& request,
                  tessaly::CurrentKey* key) {
    Bytes buffer(request.Bytes(), request.Bytes() + PassThroughRequest::kSize);
    std::uint32_t bytesReturned = 0;
    const std::int32_t status =
        model.PassThrough(vlksim::kPassThroughCode, buffer.data(), vlksim::kRequestSize,
                          buffer.data(), vlksim::kReplySize, &bytesReturned);
    std::uint8_t* output = request.OutputArea();
    if (status == vlksim::kStatusSuccess) {
        std::copy(buffer.begin(), buffer.begin() + tessaly::kDumpLength, output);
        AppendRecord(seed, 1, 0, bytesReturned, "", output);
    } else if (status == vlksim::kStatusNoSuchDevice) {
        AppendRecord(seed, 8, 55, 0,
                     "The specified network resource or device is no longer available.\r\n",
                     output);
    } else {
        AppendRecord(seed, 8, 87, 0, "The parameter is incorrect.\r\n", output);
    }
    if (key != nullptr) {
        key->CaptureFrom(request);
    }
}

// The report target's input for one command, answered by the default disks.
Bytes ReportSeed(Command command, std::uint8_t device, std::uint8_t path) {
    Bytes seed{static_cast<std::uint8_t>(command), 0, device, path};
    auto request = tessaly::BuildCommandRequest(command, device, path, tessaly::CurrentKey{});
    AppendAnswer(seed, DefaultModel(), request, nullptr);
    return seed;
}

// A group clear over devices first..first+extra, answered by the default disks.
Bytes GroupSeed(std::uint8_t first, std::uint8_t extra, std::uint8_t path) {
    Bytes seed{5, static_cast<std::uint8_t>(extra << 2), first, path};
    auto& model = DefaultModel();
    tessaly::CurrentKey key;
    for (std::uint32_t device = first; device <= first + extra; ++device) {
        for (const Command command :
             {Command::ReadReservation, Command::RegisterDevice, Command::ClearReservation}) {
            auto request = tessaly::BuildCommandRequest(command, device, path, key);
            AppendAnswer(seed, model, request,
                         command == Command::ReadReservation ? &key : nullptr);
        }
    }
    return seed;
}

void WriteReportSeeds() {
    Write("report", "read-keys-two-keys", ReportSeed(Command::ReadKeys, 1, 0));
    Write("report", "read-reservation-held", ReportSeed(Command::ReadReservation, 2, 0));
    Write("report", "register", ReportSeed(Command::RegisterDevice, 4, 1));
    Write("report", "reserve", ReportSeed(Command::ReserveDevice, 4, 0));
    Write("report", "clear-conflict", ReportSeed(Command::ClearReservation, 0, 0));
    Write("report", "read-keys-no-device", ReportSeed(Command::ReadKeys, 3, 0));
    Write("report", "read-keys-device-out-of-range", ReportSeed(Command::ReadKeys, 101, 0));
    Write("report", "group-clear-0-to-3", GroupSeed(0, 3, 0));
    Bytes openFailed{5, 1 << 2 | 1, 4, 0};
    const std::uint8_t nothing[tessaly::kDumpLength] = {};
    AppendRecord(openFailed, 8, 6, 0, "The handle is invalid.\r\n", nothing);
    Write("report", "group-clear-open-failed", openFailed);
}

void WritePassThroughSeeds() {
    using tessaly::BuildCommandRequest;
    using tessaly::DataDirection;
    const tessaly::CurrentKey none;
    std::vector<PassThroughRequest> each;
    for (int c = 0; c < tessaly::kCommandCount; ++c) {
        each.push_back(BuildCommandRequest(static_cast<Command>(c), 4, 0, none));
    }
    Write("passthrough", "five-commands-free-device", PassThroughSeed(each));

    tessaly::CurrentKey key;
    std::vector<PassThroughRequest> round;
    for (const Command command : {Command::ReadReservation, Command::RegisterDevice,
                                  Command::ClearReservation, Command::ReadKeys}) {
        round.push_back(BuildCommandRequest(command, 1, 2, key));
        if (command == Command::ReadReservation) {
            auto replied = round.back();
            Bytes unused;
            AppendAnswer(unused, DefaultModel(), replied, &key);
        }
    }
    Write("passthrough", "group-clear-pass-reserved-device", PassThroughSeed(round));

    using D = DataDirection;
    Write("passthrough", "other-commands",
          PassThroughSeed({
              Other(5, 0, D::In, {0x00, 0, 0, 0, 0, 0}),                  // TEST UNIT READY
              Other(5, 0, D::In, {0x12, 0, 0, 0, 36, 0}),                 // INQUIRY
              Other(5, 0, D::In, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}),      // READ CAPACITY
              Other(5, 1, D::In, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}),      // READ(10)
              Other(5, 1, D::Out, {0x2A, 0, 0, 0, 0, 0, 0, 0, 1, 0}),     // WRITE(10)
              Other(5, 1, D::Out, {0x5F, 0x06, 0, 0, 0, 0, 0, 0, 24, 0},  // REGISTER AND
                    {0, 0, 0, 0, 0, 0, 0, 0, 'N', 'O', 'D', 'E', '-', 'C', '0', '1'}),  // IGNORE
              Other(5, 1, D::Out, {0x5F, 0x01, 0x07, 0, 0, 0, 0, 0, 24, 0},  // RESERVE 7h
                    {'N', 'O', 'D', 'E', '-', 'C', '0', '1'}),
              Other(5, 1, D::Out, {0x5F, 0x02, 0x07, 0, 0, 0, 0, 0, 24, 0},  // RELEASE 7h
                    {'N', 'O', 'D', 'E', '-', 'C', '0', '1'}),
          }));

    // A reservation's life on a free disk: every type's conflicts, a refused and a good release,
    // and the holder unregistering.
    const Bytes ownKey{'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1'};
    const Bytes unregister{'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1', 0, 0, 0, 0, 0, 0, 0, 0};
    const auto reserve = [&](std::uint8_t action, std::uint8_t type) {
        return Other(4, 0, D::Out, {0x5F, action, type, 0, 0, 0, 0, 0, 24, 0}, ownKey);
    };
    const auto medium = [](std::uint8_t operation) {
        return Other(4, 1, operation == 0x2A ? D::Out : D::In,
                     {operation, 0, 0, 0, 0, 0, 0, 0, 1, 0});
    };
    Write("passthrough", "reservation-life",
          PassThroughSeed({
              BuildCommandRequest(Command::RegisterDevice, 4, 0, none),
              reserve(0x01, 1),
              medium(0x2A),
              medium(0x28),
              reserve(0x02, 3),
              reserve(0x02, 1),
              reserve(0x01, 3),
              medium(0x28),
              reserve(0x02, 3),
              reserve(0x01, 5),
              medium(0x2A),
              Other(4, 0, D::Out, {0x5F, 0x00, 0, 0, 0, 0, 0, 0, 24, 0}, unregister),
              BuildCommandRequest(Command::ReadReservation, 4, 0, none),
          }));

    // The requests on disks of a set-up of their own, in place of the default disks.
    const auto ownSetup = [](const std::string& text,
                             const std::vector<PassThroughRequest>& requests) {
        Bytes seed;
        AppendLe(seed, static_cast<std::uint32_t>(text.size()), 2);
        seed.insert(seed.end(), text.begin(), text.end());
        const Bytes calls = PassThroughSeed(requests);
        seed.insert(seed.end(), calls.begin() + 2, calls.end());
        return seed;
    };
    Write("passthrough", "own-setup-all-registrants",
          ownSetup("device 7 paths 0-2\ndevice 7 path 1 key \"NODE-C01\" reserve 8\n",
                   {BuildCommandRequest(Command::ReadReservation, 7, 1, none),
                    BuildCommandRequest(Command::RegisterDevice, 7, 0, none),
                    BuildCommandRequest(Command::ReadKeys, 7, 0, none)}));

    // A disk with every quirk: a dead node fenced from path 1 while path 0 is registered.
    const Bytes fence{'T', 'E', 'S', 'S', 'A', 'L', 'Y', '1',
                      'N', 'O', 'D', 'E', '-', 'C', '0', '3'};
    PassThroughRequest read16 = Other(7, 2, D::In, {0x88});
    read16.Bytes()[tessaly::request_offset::kCdbLength] = 16;
    read16.Bytes()[tessaly::request_offset::kCdb + 13] = 1;  // one block from LBA 0
    Write(
        "passthrough", "own-setup-quirks",
        ownSetup("device 7 paths 0-3 unit-attentions\n"
                 "device 7 quirk all-registrants-open full-status-key-swapped no-unit-attentions\n"
                 "device 7 quirk preempt-drops-own reserve-again-conflicts generation-stuck\n"
                 "device 7 quirk register-overwrites-partner no-preempt-abort\n"
                 "device 7 foreign 5 key \"NODE-C03\" reserve 6\n"
                 "device 7 path 0 key 54455353414C5931\n",
                 {Other(7, 0, D::In, {0x5E, 0x03, 0, 0, 0, 0, 0, 0, 60, 0}),
                  BuildCommandRequest(Command::RegisterDevice, 7, 1, none),
                  Other(7, 1, D::Out, {0x5F, 0x05, 0x06, 0, 0, 0, 0, 0, 24, 0}, fence),
                  Other(7, 1, D::Out, {0x5F, 0x04, 0x06, 0, 0, 0, 0, 0, 24, 0}, fence),
                  Other(7, 1, D::Out, {0x5F, 0x01, 0x06, 0, 0, 0, 0, 0, 24, 0}, ownKey), read16,
                  BuildCommandRequest(Command::ReadKeys, 7, 0, none)}));
}

}  // namespace

// tessaly-cli's replies target: the command line's index, a message text, then each answer of
// the disk model (default disks) to the calls the command makes, as the target reads them.
class RecordingDriver : public tessaly::DriverPort {
  public:
    explicit RecordingDriver(Bytes& seed)
        : model_(std::string(vlksim::kDefaultSetupText, vlksim::kDefaultSetupLength)),
          seed_(seed) {}
    tessaly::OpenOutcome OpenDevice(const char* name) override {
        seed_.push_back(0);
        return model_.OpenDevice(name);
    }
    tessaly::ControlOutcome Control(tessaly::DeviceHandle handle, std::uint32_t code,
                                    const void* input, std::uint32_t inputLength, void* output,
                                    std::uint32_t outputLength,
                                    std::uint32_t* bytesReturned) override {
        std::uint32_t returned = 0;
        const tessaly::ControlOutcome outcome =
            model_.Control(handle, code, input, inputLength, output, outputLength, &returned);
        seed_.push_back(outcome.success != 0 ? 3 : 0);
        AppendLe(seed_, outcome.error, 4);
        AppendLe(seed_, returned, 4);
        AppendLe(seed_, returned, 2);
        const auto* out = static_cast<const std::uint8_t*>(output);
        seed_.insert(seed_.end(), out, out + returned);
        *bytesReturned = returned;
        return outcome;
    }
    void CloseDevice(tessaly::DeviceHandle) override {}

  private:
    tessaly::cli::testing::ModelDriver model_;
    Bytes& seed_;
};

class NoMessages : public tessaly::MessageLookup {
  public:
    std::optional<std::string> MessageFor(std::uint32_t) override { return std::nullopt; }
};

class NoPause : public tessaly::Pause {
  public:
    void Sleep(std::uint32_t) override {}
};

void WriteCliSeeds() {
    const auto& lines = tessaly::fuzz::kCliCommandLines;
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Bytes seed = {static_cast<std::uint8_t>(i)};
        const std::string text = "Device does not exist.\r\n";
        AppendLe(seed, 55, 4);
        seed.push_back(static_cast<std::uint8_t>(text.size()));
        seed.insert(seed.end(), text.begin(), text.end());
        RecordingDriver driver(seed);
        NoPause pause;
        NoMessages messages;
        std::ostringstream out;
        std::ostringstream err;
        tessaly::cli::Run(lines[i], driver, pause, messages, out, err);
        Write("cli_replies", ("command-line-" + std::to_string(i)).c_str(), seed);

        std::string words;
        for (const auto& word : lines[i]) {
            words += word + "\n";
        }
        Write("cli_arguments", ("command-line-" + std::to_string(i)).c_str(),
              Bytes(words.begin(), words.end()));
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_seeds FOLDER\n");
        return 2;
    }
    g_folder = argv[1];
    WriteReportSeeds();
    WritePassThroughSeeds();
    WriteCliSeeds();
    Write(
        "setup", "default",
        Bytes(vlksim::kDefaultSetupText, vlksim::kDefaultSetupText + vlksim::kDefaultSetupLength));
    return 0;
}
