// Splitting work over the machine's cores.
//
// Results never depend on the number of threads: every output element is computed
// by exactly one thread with the same arithmetic as on one thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <system_error>
#include <thread>
#include <vector>

// Worker threads to use; 0 (the default) means one per core. Tests set other counts
// to check that the output does not change.
inline int& workerOverride() {
    static int n = 0;
    return n;
}

inline int workerCount() {
    int n = workerOverride();
    if (n <= 0) n = static_cast<int>(std::thread::hardware_concurrency());
    return std::max(1, n);
}

// Calls body(begin, end) on contiguous bands of [0, n), one band per worker, and
// waits for all of them. The calling thread takes the first band. A band holds at
// least minBand items: starting a thread costs about as much as a small job.
template <class Body>
void parallelBands(int n, Body&& body, int minBand = 1) {
    const int workers = std::min(workerCount(), std::max(1, n / std::max(1, minBand)));
    auto bandStart = [&](int t) { return static_cast<int>(static_cast<int64_t>(n) * t / workers); };
    std::vector<std::thread> threads;
    int t = 1;
    for (; t < workers; ++t) {
        try {
            threads.emplace_back([&body, b = bandStart(t), e = bandStart(t + 1)] { body(b, e); });
        } catch (const std::system_error&) {
            break;  // no more threads to be had: the calling thread does the rest
        }
    }
    body(0, bandStart(1));
    if (t < workers) body(bandStart(t), n);
    for (auto& th : threads) th.join();
}
