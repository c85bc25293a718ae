// A run of the program in a prefix where the stand-in VLK driver is installed.
#pragma once

#include <gtest/gtest.h>

#include <initializer_list>
#include <memory>
#include <string>

#include "Harness.h"

namespace blackbox {

class DriverSession : public testing::Test {
  protected:
    void SetUp() override;
    App& app() { return *app_; }
    // Sets the two single-step numbers and runs one command, waiting for its report.
    void Run(const std::string& device, const std::string& path, int index, int status_lines);
    // Saves the screen into the picture folder under this name (no extension).
    void Picture(const std::string& name);
    // Ticks or clears the group check box and waits until the controls follow.
    void SetGroupMode(bool on);
    // With an X display: each of these controls shows text on the screen, where `cover` (a
    // window over them) leaves them in view.
    void ExpectPainted(std::initializer_list<int> ids, HWND cover = nullptr);

    std::unique_ptr<App> app_;
};

}  // namespace blackbox
