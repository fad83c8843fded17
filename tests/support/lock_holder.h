// A lock held by a thread of its own, for tests of locks with time-outs: the thread takes the lock
// when the holder is constructed and lets it go at release() (or destruction).
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <thread>

#include "support/waitfor.h"

class LockHolder {
public:
    // lock() returns true when it took the lock; unlock() lets it go. Both run on the holder's thread.
    LockHolder(std::function<bool()> lock, std::function<void()> unlock)
        : th_([this, lock = std::move(lock), unlock = std::move(unlock)] {
              locked_ = lock();
              held_ = true;
              wait_for([this] { return release_.load(); }, 1e9);
              releasedAt_ = mono_ms();
              unlock();
          }) {
        EXPECT_TRUE(wait_for([this] { return held_.load(); }));
        EXPECT_TRUE(locked_.load());
    }
    ~LockHolder() {
        release();
        th_.join();
    }
    LockHolder(const LockHolder&) = delete;
    LockHolder& operator=(const LockHolder&) = delete;
    void release() { release_ = true; }
    // When the holder let go (mono_ms), 0 before.
    double releasedAt() const { return releasedAt_.load(); }

private:
    std::atomic<bool> locked_{false}, held_{false}, release_{false};
    std::atomic<double> releasedAt_{0.0};
    std::thread th_;
};
