// Runs body(0) .. body(count - 1), each on a thread of its own, and waits
// for them all.
#pragma once

#include <functional>
#include <thread>
#include <vector>

inline void RunThreads(int count, const std::function<void(int)>& body) {
    std::vector<std::thread> threads;
    for (int t = 0; t < count; ++t)
        threads.emplace_back(body, t);
    for (std::thread& thread : threads)
        thread.join();
}
