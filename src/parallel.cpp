#include "parallel.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <vector>

namespace {

thread_local bool inJob = false;  // this thread runs a job's task, or waits for a job it started

class Pool {
public:
    ~Pool() { stop(); }

    void run(int tasks, int helpers, const std::function<void(int, int)>& task) {
        std::unique_lock<std::mutex> mine(busy_, std::defer_lock);
        if (inJob || helpers <= 0 || tasks <= 1 || !mine.try_lock()) {
            std::exception_ptr error;
            for (int t = 0; t < tasks; ++t) {
                try {
                    task(t, 0);
                } catch (...) {
                    if (!error) error = std::current_exception();
                }
            }
            if (error) std::rethrow_exception(error);
            return;
        }
        inJob = true;
        struct Leave {
            ~Leave() { inJob = false; }
        } leave;
        helpers = std::min(helpers, tasks - 1);
        grow(helpers);
        {
            std::lock_guard<std::mutex> lk(m_);
            job_ = &task;
            tasks_ = tasks;
            next_.store(0);
            error_ = nullptr;
            slots_ = std::min(helpers, static_cast<int>(threads_.size()));
            joined_ = 0;
            ++generation_;
        }
        wake_.notify_all();
        drain(task, 0);
        std::unique_lock<std::mutex> lk(m_);
        slots_ = 0;  // every task is taken: a thread that wakes late stays out
        done_.wait(lk, [&] { return active_ == 0; });
        job_ = nullptr;
        if (error_) std::rethrow_exception(error_);
    }

    void stop() {
        std::lock_guard<std::mutex> mine(busy_);
        {
            std::lock_guard<std::mutex> lk(m_);
            stopping_ = true;
        }
        wake_.notify_all();
        for (auto& th : threads_) th.join();
        threads_.clear();
        std::lock_guard<std::mutex> lk(m_);
        stopping_ = false;
    }

    int size() {
        std::lock_guard<std::mutex> mine(busy_);
        return static_cast<int>(threads_.size());
    }

    int startsLeft = -1;

private:
    // Starts threads until there are n; stops at the first start that fails.
    void grow(int n) {
        while (static_cast<int>(threads_.size()) < n) {
            if (startsLeft == 0) return;
            try {
                const uint64_t seen = generation_;  // no job runs now: read without the lock
                threads_.emplace_back([this, seen] { loop(seen); });
            } catch (const std::exception&) {  // no thread, or no memory to keep it
                return;
            }
            if (startsLeft > 0) --startsLeft;
        }
    }

    void loop(uint64_t seen) {
        inJob = true;
        std::unique_lock<std::mutex> lk(m_);
        for (;;) {
            wake_.wait(lk, [&] { return stopping_ || (generation_ != seen && slots_ > 0); });
            if (stopping_) return;
            seen = generation_;
            --slots_;
            ++active_;
            const int worker = ++joined_;
            const auto* job = job_;
            lk.unlock();
            drain(*job, worker);
            lk.lock();
            if (--active_ == 0) done_.notify_all();
        }
    }

    void drain(const std::function<void(int, int)>& task, int worker) {
        for (int t = next_.fetch_add(1); t < tasks_; t = next_.fetch_add(1)) {
            try {
                task(t, worker);
            } catch (...) {
                std::lock_guard<std::mutex> lk(m_);
                if (!error_) error_ = std::current_exception();
            }
        }
    }

    std::mutex busy_;  // held by the job that has the pool
    std::mutex m_;     // guards what follows but next_
    std::condition_variable wake_, done_;
    std::vector<std::thread> threads_;
    const std::function<void(int, int)>* job_ = nullptr;
    int tasks_ = 0;
    std::atomic<int> next_{0};
    int slots_ = 0;   // pool threads that may still join the current job
    int joined_ = 0;  // pool threads that joined it
    int active_ = 0;  // pool threads working on it
    uint64_t generation_ = 0;
    bool stopping_ = false;
    std::exception_ptr error_;
};

Pool& pool() {
    static Pool p;
    return p;
}

}  // namespace

void runTasks(int tasks, int helpers, const std::function<void(int task, int worker)>& task) {
    pool().run(tasks, helpers, task);
}

int& threadStartsLeft() { return pool().startsLeft; }
void stopPool() { pool().stop(); }
int poolThreads() { return pool().size(); }
