// Splitting work over the machine's cores.
//
// Results never depend on the number of threads: every output element is computed
// by exactly one thread with the same arithmetic as on one thread.
//
// The threads are started once, the first time a job wants them, and then wait for
// the next job: a small job does not pay for starting threads. When a thread cannot
// be started the job runs on the threads there are, down to the calling one alone.
#pragma once

#include <algorithm>
#include <cstdint>
#include <functional>
#include <thread>

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

// Calls task(t, worker) once for every t in [0, tasks) and waits for all of them. The
// calling thread (worker 0) takes tasks too, beside at most `helpers` pool threads
// (workers 1 to helpers); a task is taken by whichever is free first. A job started
// while another runs (from a task, or from another thread) runs on its calling thread
// alone. The first exception a task throws is thrown again here, after the others end.
void runTasks(int tasks, int helpers, const std::function<void(int task, int worker)>& task);

// Test seams. How many more pool threads may start (negative: no limit); a start
// refused here fails as if the system had refused it.
int& threadStartsLeft();
// Ends the pool's threads (they start again when a job wants them); how many run.
void stopPool();
int poolThreads();

// Calls body(begin, end) on contiguous bands of [0, n), one band per worker, and
// waits for all of them. The calling thread takes a band too. A band holds at least
// minBand items: waking a thread costs about as much as a small job.
template <class Body>
void parallelBands(int n, Body&& body, int minBand = 1) {
    const int workers = std::min(workerCount(), std::max(1, n / std::max(1, minBand)));
    if (workers <= 1) {
        body(0, n);
        return;
    }
    auto bandStart = [&](int t) { return static_cast<int>(static_cast<int64_t>(n) * t / workers); };
    runTasks(workers, workers - 1, [&](int t, int) { body(bandStart(t), bandStart(t + 1)); });
}
