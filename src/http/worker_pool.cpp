#include "http/worker_pool.h"

#include <system_error>
#include <thread>

namespace quillo::http {

WorkerPool::WorkerPool(size_t max_threads, std::chrono::milliseconds retire_after)
    : max_threads_(max_threads == 0 ? 1 : max_threads), retire_after_(retire_after) {}

WorkerPool::~WorkerPool() {
    std::unique_lock<std::mutex> lock(mutex_);
    stopping_ = true;
    tasks_.clear();
    wake_.notify_all();
    ended_.wait(lock, [this] { return threads_ == 0; });
}

void WorkerPool::submit(Task task) {
    std::unique_lock<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (idle_ > 0) {
        wake_.notify_one();
        return;
    }
    if (threads_ >= max_threads_) {
        return; // the next worker to finish takes it
    }
    ++threads_;
    try {
        std::thread([this] { work(); }).detach();
    } catch (const std::system_error&) {
        // No thread could be started: a running worker takes the task once
        // it is free; with none running, it runs here rather than be lost.
        if (--threads_ == 0) {
            Task now = std::move(tasks_.back());
            tasks_.pop_back();
            lock.unlock();
            now();
        }
    }
}

void WorkerPool::work() {
    std::unique_lock<std::mutex> lock(mutex_);
    while (true) {
        if (tasks_.empty() && !stopping_) {
            ++idle_;
            bool woken = wake_.wait_for(lock, retire_after_,
                                        [this] { return !tasks_.empty() || stopping_; });
            --idle_;
            if (!woken) {
                break; // no work for a while: retire
            }
        }
        if (stopping_ || tasks_.empty()) {
            break;
        }
        Task task = std::move(tasks_.front());
        tasks_.pop_front();
        lock.unlock();
        task();
        task = nullptr; // what it holds goes now, not when the next one comes
        lock.lock();
    }
    --threads_;
    ended_.notify_all();
}

size_t WorkerPool::threads() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return threads_;
}

void SerialQueue::submit(WorkerPool::Task task) {
    std::lock_guard<std::mutex> lock(mutex_);
    tasks_.push_back(std::move(task));
    if (!running_) {
        running_ = true;
        pool_.submit([self = shared_from_this()] { self->run(); });
    }
}

// Drains the queue on one worker, a task at a time, so the events of one
// socket never run at once or out of order.
void SerialQueue::run() {
    while (true) {
        WorkerPool::Task task;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (tasks_.empty()) {
                running_ = false;
                return;
            }
            task = std::move(tasks_.front());
            tasks_.pop_front();
        }
        task();
    }
}

} // namespace quillo::http
