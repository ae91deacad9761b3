#pragma once
// The threads that run the calls: a fixed number, each with its own database
// connection (ThreadDatabase), fed from one queue. Only whole requests reach
// them: connections that are idle, slow or still sending are the HTTP layer's
// business and hold no worker.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace zavserver {

class WorkerPool {
public:
    explicit WorkerPool(int threads);
    ~WorkerPool(); // finishes the queued jobs, then joins
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Queues a job; it must not throw.
    void submit(std::function<void()> job);
    // Lets the queued jobs run and ends the threads; no job is taken after.
    void stop();

private:
    void work();

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
    bool m_stopping = false;
    std::vector<std::thread> m_threads;
};

} // namespace zavserver
