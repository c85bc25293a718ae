// Work on many devices at once, reported one after another in the order given, whatever order
// the answers come in.
#pragma once

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

namespace tessaly::cli {

// Runs work(i) for each i of 0..count-1 on up to `width` threads at once, and hands each result to
// deliver(i, result) on the calling thread, in the order of i, as soon as it and all before it are
// done. When deliver returns false, nothing more is begun; what is in flight finishes unreported.
// With a width of 1 everything runs on the calling thread, one after another. Otherwise the
// threads come as they are needed: one at first, and one more each `grow` that the calling thread
// waits for the result it is to deliver next while work is left to begin, up to `width`. Devices
// that answer at once are then served by one thread (a thread costs milliseconds to start under
// Wine), and slow or silent ones soon have all `width`. Returns whether every result was
// delivered.
template <class Result>
bool RunInOrder(std::size_t count, std::size_t width,
                const std::function<Result(std::size_t)>& work,
                const std::function<bool(std::size_t, Result&)>& deliver,
                std::chrono::microseconds grow = std::chrono::milliseconds(1)) {
    if (width <= 1 || count <= 1) {
        for (std::size_t i = 0; i < count; ++i) {
            Result result = work(i);
            if (!deliver(i, result)) {
                return false;
            }
        }
        return true;
    }
    std::mutex lock;
    std::condition_variable done;
    std::vector<std::optional<Result>> results(count);
    std::size_t next = 0;
    std::size_t delivering = 0;  // the result the calling thread waits for
    bool stop = false;
    const auto worker = [&] {
        for (;;) {
            std::size_t i = 0;
            {
                const std::lock_guard<std::mutex> guard(lock);
                if (stop || next == count) {
                    return;
                }
                i = next++;
            }
            Result result = work(i);
            bool awaited = false;
            {
                const std::lock_guard<std::mutex> guard(lock);
                results[i].emplace(std::move(result));
                awaited = i == delivering;
            }
            if (awaited) {  // the calling thread waits for this one and no other
                done.notify_one();
            }
        }
    };
    std::vector<std::thread> threads;
    const std::size_t most = std::min(width, count);
    threads.emplace_back(worker);
    bool all = true;
    for (std::size_t i = 0; i < count && all; ++i) {
        std::unique_lock<std::mutex> guard(lock);
        delivering = i;
        while (!done.wait_for(guard, grow, [&] { return results[i].has_value(); })) {
            if (threads.size() < most && next < count) {
                threads.emplace_back(worker);
            }
        }
        Result result = std::move(*results[i]);
        guard.unlock();
        all = deliver(i, result);
        if (!all) {
            const std::lock_guard<std::mutex> stopping(lock);
            stop = true;
        }
    }
    for (auto& thread : threads) {
        thread.join();
    }
    return all;
}

}  // namespace tessaly::cli
