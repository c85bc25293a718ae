// vlk_setup: prints the stand-in driver's default set-up, or checks a set-up file the way the
// driver will read it.
//   vlk_setup --default        print the default set-up text
//   vlk_setup --check FILE     exit 0 when FILE parses, else print "FILE:LINE: reason", exit 1
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>

#include "sim/config/DefaultSetup.h"
#include "sim/config/Setup.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--default") == 0) {
        std::fwrite(vlksim::kDefaultSetupText, 1, vlksim::kDefaultSetupLength, stdout);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "--check") == 0) {
        std::ifstream file(argv[2], std::ios::binary);
        if (!file) {
            std::fprintf(stderr, "%s: cannot be read\n", argv[2]);
            return 2;
        }
        const std::string text((std::istreambuf_iterator<char>(file)),
                               std::istreambuf_iterator<char>());
        auto setup = std::make_unique<vlksim::DiskSetup>();
        const auto result = vlksim::ParseSetup(text.data(), text.size(), *setup);
        if (!result.Ok()) {
            std::fprintf(stderr, "%s:%u: %s\n", argv[2], static_cast<unsigned>(result.line),
                         vlksim::SetupErrorText(result.error));
            return 1;
        }
        return 0;
    }
    std::fprintf(stderr, "usage: vlk_setup --default | --check FILE\n");
    return 2;
}
