#include <gtest/gtest.h>

#include <numeric>
#include <set>

#include "cli/InOrder.h"

namespace tessaly::cli {
namespace {

TEST(InOrder, ThreadsComeAsTheWorkWaits) {
    std::mutex lock;
    std::condition_variable moved;
    std::set<std::thread::id> threads;
    std::size_t started = 0;
    std::vector<std::size_t> delivered;
    const auto deliver = [&](std::size_t, std::size_t& result) {
        delivered.push_back(result);
        return true;
    };

    // Work that is done at once: one thread does it all, however wide the run may be.
    RunInOrder<std::size_t>(
        50, 16,
        [&](std::size_t i) {
            const std::lock_guard guard(lock);
            threads.insert(std::this_thread::get_id());
            return i;
        },
        deliver, std::chrono::hours(1));
    std::vector<std::size_t> expected(50);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(delivered, expected);
    EXPECT_EQ(threads.size(), 1u);

    // Work that waits until four are in progress at once: four threads come to it.
    delivered.clear();
    bool allFour = true;
    RunInOrder<std::size_t>(
        8, 4,
        [&](std::size_t i) {
            std::unique_lock guard(lock);
            ++started;
            moved.notify_all();
            allFour = moved.wait_for(guard, std::chrono::seconds(10), [&] {
                return started >= 4;
            }) && allFour;
            return i;
        },
        deliver);
    EXPECT_TRUE(allFour);
    EXPECT_EQ(delivered, std::vector<std::size_t>(expected.begin(), expected.begin() + 8));
}

}  // namespace
}  // namespace tessaly::cli
