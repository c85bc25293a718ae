// tessaly-cli end to end over any replies: one of its commands (picked by the input) runs against
// a driver whose every control call answers as the input says (success or failure, any error
// number, any bytes-returned count, any bytes in the output block), so the sorting into exit
// statuses, the decoders of every reply and of the sense data, and both outputs meet any answer.
#include <sstream>

#include "cli/Cli.h"
#include "fuzz/CliCommandLines.h"
#include "fuzz/FuzzInput.h"
#include "testing/MemoryDialog.h"

namespace {

using tessaly::fuzz::Check;
using tessaly::fuzz::FuzzInput;

// Answers each call from the input: a flags byte (bit 0: the call succeeds, bit 1: it reports a
// bytes-returned count), the error number, the count, then how many bytes of the output block it
// writes and those bytes.
class FuzzDriver : public tessaly::DriverPort {
  public:
    explicit FuzzDriver(FuzzInput& input) : input_(input) {}
    tessaly::OpenOutcome OpenDevice(const char*) override {
        return (input_.Byte() & 1) != 0 ? tessaly::OpenOutcome{tessaly::kInvalidHandle, 2}
                                        : tessaly::OpenOutcome{1, 0};
    }
    tessaly::ControlOutcome Control(tessaly::DeviceHandle, std::uint32_t, const void*,
                                    std::uint32_t, void* output, std::uint32_t outputLength,
                                    std::uint32_t* bytesReturned) override {
        const std::uint8_t flags = input_.Byte();
        const std::uint32_t error = input_.Le32();
        const std::uint32_t count = input_.Le32();
        const std::uint32_t written = std::min<std::uint32_t>(input_.Le16(), outputLength);
        input_.Bytes(static_cast<std::uint8_t*>(output), written);
        if ((flags & 2) != 0) {
            *bytesReturned = count;
        }
        return {(flags & 1) != 0 ? 1 : 0, error};
    }
    void CloseDevice(tessaly::DeviceHandle) override {}

  private:
    FuzzInput& input_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput input(data, size);
    const auto& words =
        tessaly::fuzz::kCliCommandLines[input.Byte() % tessaly::fuzz::kCliCommandLines.size()];
    tessaly::testing::MapMessageLookup messages;
    messages.texts[input.Le32()] = std::string(input.Text(input.Byte()));
    FuzzDriver driver(input);
    tessaly::testing::RecordingPause pause;
    std::ostringstream out;
    std::ostringstream err;
    const int status = tessaly::cli::Run(words, driver, pause, messages, out, err);
    Check(status == 0 || status == 2 || status == 5 || status == 6 || status == 15 ||
              status == 24 || status == 97 || status == 99,
          "an exit status of the documented set");
    const std::string text = out.str();
    const bool json = words[0] == "--json";
    Check(
        !json || (text.size() > 2 && text.front() == '{' && text.substr(text.size() - 2) == "}\n"),
        "--json writes one document");
    Check(json || !text.empty(), "every device is reported");
    return 0;
}
