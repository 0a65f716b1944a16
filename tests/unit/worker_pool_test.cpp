#include "http/worker_pool.h"

#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>
#include <vector>

using namespace quillo::http;
using namespace std::chrono_literals;

namespace {

bool eventually(const std::function<bool()>& condition) {
    for (int i = 0; i < 200 && !condition(); ++i) {
        std::this_thread::sleep_for(10ms);
    }
    return condition();
}

// Threads come with the work, never more than the cap, and all of them go
// once the work is done: an idle server holds none.
TEST(WorkerPoolTest, ThreadsStartWithTheWorkUpToTheCapAndRetireWhenIdle) {
    WorkerPool pool(4, 50ms);
    std::atomic<int> running{0}, most{0}, done{0};
    std::atomic<bool> release{false};
    for (int i = 0; i < 8; ++i) {
        pool.submit([&] {
            int now = ++running;
            int seen = most.load();
            while (now > seen && !most.compare_exchange_weak(seen, now)) {
            }
            while (!release) {
                std::this_thread::sleep_for(1ms);
            }
            --running;
            ++done;
        });
    }
    EXPECT_TRUE(eventually([&] { return running == 4; }));
    EXPECT_EQ(pool.threads(), 4u);
    release = true;
    EXPECT_TRUE(eventually([&] { return done == 8; }));
    EXPECT_EQ(most, 4);
    EXPECT_TRUE(eventually([&] { return pool.threads() == 0; })) << pool.threads();
}

// The events of one socket: in order, one at a time, however many workers.
TEST(WorkerPoolTest, ASerialQueueRunsItsTasksInOrderOneAtATime) {
    WorkerPool pool(8, 1s);
    auto queue = std::make_shared<SerialQueue>(pool);
    std::vector<int> order;
    std::atomic<int> inside{0};
    std::atomic<bool> overlapped{false};
    std::atomic<int> done{0};
    for (int i = 0; i < 200; ++i) {
        queue->submit([&, i] {
            overlapped = overlapped || ++inside > 1;
            order.push_back(i);
            --inside;
            ++done;
        });
    }
    ASSERT_TRUE(eventually([&] { return done == 200; }));
    EXPECT_FALSE(overlapped);
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(order[static_cast<size_t>(i)], i);
    }
}

} // namespace
