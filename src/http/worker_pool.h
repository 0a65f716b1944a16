// The threads that run request handlers and WebSocket events, off the I/O
// thread, so that a handler that blocks (it runs a child process) never
// delays another request. Threads start when work arrives and no thread is
// free, and end after a while without work, so an idle server has none.
#pragma once

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>

namespace quillo::http {

class WorkerPool {
  public:
    using Task = std::function<void()>;

    WorkerPool(size_t max_threads, std::chrono::milliseconds retire_after);
    // Waits for the tasks that are running; queued tasks are dropped.
    ~WorkerPool();
    WorkerPool(const WorkerPool&) = delete;
    WorkerPool& operator=(const WorkerPool&) = delete;

    // Runs `task` on a worker. Past `max_threads` busy workers it waits in a
    // queue. A task must not throw.
    void submit(Task task);

    size_t threads() const;

  private:
    void work();

    const size_t max_threads_;
    const std::chrono::milliseconds retire_after_;
    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable ended_;
    std::deque<Task> tasks_;
    size_t threads_ = 0;
    size_t idle_ = 0;
    bool stopping_ = false;
};

// Runs tasks one at a time and in order on a pool, as for the events of
// one WebSocket; no thread is held while nothing is queued.
class SerialQueue : public std::enable_shared_from_this<SerialQueue> {
  public:
    explicit SerialQueue(WorkerPool& pool) : pool_(pool) {}
    void submit(WorkerPool::Task task);

  private:
    void run();

    WorkerPool& pool_;
    std::mutex mutex_;
    std::deque<WorkerPool::Task> tasks_;
    bool running_ = false;
};

} // namespace quillo::http
