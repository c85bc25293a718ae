// The black-box suite: runs the real tessaly.exe and drives it through its windows.
//   tessaly_blackbox_tests --exe=PATH [--shots=FOLDER] [gtest flags]
// PATH and FOLDER may be given as host paths (/x/y): they are read as Z:\x\y.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>

#include "Harness.h"

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    auto& options = blackbox::GetOptions();
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg.rfind("--exe=", 0) == 0) {
            options.exe = blackbox::WindowsPath(arg.substr(6));
        } else if (arg.rfind("--shots=", 0) == 0) {
            options.shots = blackbox::WindowsPath(arg.substr(8));
        } else {
            std::fprintf(stderr, "unknown argument: %s\n", arg.c_str());
            return 2;
        }
    }
    if (options.exe.empty()) {
        std::fprintf(stderr, "usage: %s --exe=PATH [--shots=FOLDER]\n", argv[0]);
        return 2;
    }
    return RUN_ALL_TESTS();
}
