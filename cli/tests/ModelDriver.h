// A driver port over the stand-in's disk model, loaded from a set-up text: the requests go through
// the model's pass-through call as the kernel driver makes it (one system buffer for input and
// output), so the tests meet the answers the real stand-in gives.
#pragma once

#include <atomic>
#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "core/DriverPort.h"
#include "sim/config/SetupApply.h"
#include "sim/model/DiskModel.h"

namespace tessaly::cli::testing {

class ModelDriver : public DriverPort {
  public:
    explicit ModelDriver(const std::string& setup) {
        auto parsed = std::make_unique<vlksim::DiskSetup>();
        ok = vlksim::ParseSetup(setup.data(), setup.size(), *parsed).Ok() &&
             vlksim::ApplySetup(*parsed, *model);
    }

    OpenOutcome OpenDevice(const char*) override {
        return openError != 0 ? OpenOutcome{kInvalidHandle, openError} : OpenOutcome{1, 0};
    }
    // A device of `silent` never answers: the call is given up on at its timeout. With `jitter`
    // the calls take 0 to 2 ms each, so that many in flight end in another order than begun.
    ControlOutcome ControlWithin(DeviceHandle handle, std::uint32_t code, const void* input,
                                 std::uint32_t inputLength, void* output,
                                 std::uint32_t outputLength, std::uint32_t* bytesReturned,
                                 std::uint32_t) override {
        const std::uint32_t device = static_cast<const std::uint8_t*>(input)[0];
        if (jitter) {
            std::this_thread::sleep_for(std::chrono::milliseconds((device * 7 + calls) % 3));
        }
        if (silent.count(device) != 0) {
            const std::lock_guard<std::mutex> guard(lock);
            ++calls;
            return {0, kErrorTimedOut};
        }
        return Control(handle, code, input, inputLength, output, outputLength, bytesReturned);
    }
    ControlOutcome Control(DeviceHandle, std::uint32_t code, const void* input,
                           std::uint32_t inputLength, void* output, std::uint32_t outputLength,
                           std::uint32_t* bytesReturned) override {
        const std::lock_guard<std::mutex> guard(lock);  // one call at a time reaches the model
        ++calls;
        std::vector<std::uint8_t> system(inputLength > outputLength ? inputLength : outputLength);
        std::memcpy(system.data(), input, inputLength);
        requests.emplace_back(system.begin(), system.begin() + inputLength);
        std::uint32_t returned = 0;
        const std::int32_t status = model->PassThrough(code, system.data(), inputLength,
                                                       system.data(), outputLength, &returned);
        if (status == vlksim::kStatusNoSuchDevice) {
            return {0, 55};
        }
        if (status != vlksim::kStatusSuccess) {
            return {0, 87};
        }
        if (reply) {
            reply(system.data(), returned);
        }
        std::memcpy(output, system.data(), returned);
        *bytesReturned = returned;
        return {1, 0};
    }
    void CloseDevice(DeviceHandle) override {}

    bool ok = false;
    std::uint32_t openError = 0;
    std::mutex lock;
    std::set<std::uint32_t> silent;
    bool jitter = false;
    std::atomic<int> calls = 0;                       // read without the lock for the jitter
    std::vector<std::vector<std::uint8_t>> requests;  // every record sent, as sent
    // Lets a test spoil a reply before it is returned: the output block and its length.
    std::function<void(std::uint8_t* block, std::uint32_t& returned)> reply;
    std::unique_ptr<vlksim::DiskModel> model = std::make_unique<vlksim::DiskModel>();
};

}  // namespace tessaly::cli::testing
