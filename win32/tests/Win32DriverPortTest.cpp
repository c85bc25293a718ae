// Runs under Wine (or on Windows) with the real platform calls.
#include <gtest/gtest.h>

#include <cstdlib>
#include <vector>

#include "core/Commands.h"
#include "core/DeviceChannel.h"
#include "win32/Win32DriverPort.h"

namespace tessaly::win32 {
namespace {

// Counts the closes that reach the real port.
class CountingPort : public Win32DriverPort {
  public:
    void CloseDevice(DeviceHandle handle) override {
        ++closes;
        Win32DriverPort::CloseDevice(handle);
    }
    int closes = 0;
};

bool DriverExpected() {
    const char* value = std::getenv("TESSALY_EXPECT_DRIVER");
    return value != nullptr && value[0] == '1';
}

TEST(Win32DriverPort, OpenWithoutTheDriverFailsWithError2AndNothingIsClosed) {
    if (DriverExpected()) {
        GTEST_SKIP() << "the stand-in driver is installed in this prefix";
    }
    CountingPort port;
    {
        DeviceChannel channel(port);
        EXPECT_FALSE(channel.Open());
        EXPECT_EQ(channel.OpenError(), 2u);
        // The call is made all the same and fails.
        OperationResult result;
        auto request = BuildCommandRequest(Command::ReadKeys, 0, 0, CurrentKey{});
        EXPECT_NE(channel.Send(request, result), 0u);
        EXPECT_EQ(result.success, 0);
        channel.Close();
    }
    EXPECT_EQ(port.closes, 0);
}

}  // namespace
}  // namespace tessaly::win32
