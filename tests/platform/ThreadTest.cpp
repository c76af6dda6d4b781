#include "platform/Thread.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::thread::id ranOn;
    std::thread::id releasedOn;
};

/// Notes, when destroyed, on which thread its last holder let it go.
struct ReleaseWitness {
    explicit ReleaseWitness(Record& record) : record(record) {}
    ReleaseWitness(const ReleaseWitness&) = delete;
    ReleaseWitness& operator=(const ReleaseWitness&) = delete;
    ~ReleaseWitness() {
        std::lock_guard lock(record.mutex);
        record.releasedOn = std::this_thread::get_id();
        record.changed.notify_all();
    }
    Record& record;
};

TEST(Thread, RunsTheBodyOnANewThreadThatKeepsItsCapturesUntilTheBodyReturns) {
    Record record;
    auto witness = std::make_shared<ReleaseWitness>(record);
    ASSERT_TRUE(Thread::detachNewThread([&record, witness = std::move(witness)] {
        std::lock_guard lock(record.mutex);
        record.ranOn = std::this_thread::get_id();
    }));
    std::unique_lock lock(record.mutex);
    ASSERT_TRUE(
        record.changed.wait_for(lock, 30s, [&] { return record.releasedOn != std::thread::id(); }));
    EXPECT_NE(record.ranOn, std::this_thread::get_id());
    EXPECT_EQ(record.releasedOn, record.ranOn);
}

} // namespace
