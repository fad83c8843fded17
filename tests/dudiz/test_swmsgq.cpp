// swmsgq: the bounded message ring (capacity, drop of the oldest with its warning and surplus
// count, order, clear, timed reads woken by posts) against a reference model and across threads.
#include "swmsgq.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "support/msgq_model.h"
#include "support/stdout_capture.h"
#include "support/waitfor.h"
#include "swsignal.h"

namespace {

const char kDropLine[] = "a message queue drop a oldest message!";

int count_of(const std::string& text, const std::string& what) {
    int n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// The code of the next message (read with time-out 0), or INT_MIN when the read fails.
int take(void* q) {
    int msg = 0;
    return sw_msgq_read(q, &msg, nullptr, nullptr, 0) == 0 ? msg : INT_MIN;
}

class Queue {
public:
    explicit Queue(int max) : h(sw_msgq_create(max)) {}
    ~Queue() { sw_msgq_destroy(h); }
    Queue(const Queue&) = delete;
    Queue& operator=(const Queue&) = delete;
    void* h;
};

}  // namespace

TEST(Msgq, CapacityFromMax) {
    const struct {
        int max;
        int capacity;  // 0: refused
    } cases[] = {{INT_MIN, 0}, {-5, 0}, {0, 0}, {1, 1}, {2, 2}, {62, 62}, {63, 63}, {64, 63}, {100, 63}, {INT_MAX, 63}};
    for (const auto& c : cases) {
        Queue q(c.max);
        if (c.capacity == 0) {
            EXPECT_EQ(q.h, nullptr) << c.max;
            continue;
        }
        ASSERT_NE(q.h, nullptr) << c.max;
        EXPECT_EQ(sw_msgq_get_max(q.h), c.capacity) << c.max;
        EXPECT_EQ(sw_msgq_get_num(q.h), 0) << c.max;
        // Filling to the capacity keeps everything; one more drops exactly one.
        for (int i = 0; i < c.capacity; ++i) ASSERT_EQ(sw_msgq_post(q.h, i, 0, 0), 0);
        EXPECT_EQ(sw_msgq_get_num(q.h), c.capacity) << c.max;
        StdoutCapture cap;
        EXPECT_EQ(sw_msgq_post(q.h, c.capacity, 0, 0), 0);
        EXPECT_EQ(count_of(cap.finish(), kDropLine), 1) << c.max;
        EXPECT_EQ(sw_msgq_get_num(q.h), c.capacity) << c.max;
        EXPECT_EQ(take(q.h), 1) << c.max;
    }
}

TEST(Msgq, NullHandle) {
    int msg = 7;
    EXPECT_EQ(sw_msgq_post(nullptr, 1, 2, 3), -1);
    EXPECT_EQ(sw_msgq_read(nullptr, &msg, nullptr, nullptr, 0), -1);
    EXPECT_EQ(sw_msgq_read(nullptr, &msg, nullptr, nullptr, -1), -1);  // must not wait
    EXPECT_EQ(msg, 7);
    EXPECT_EQ(sw_msgq_get_num(nullptr), -1);
    EXPECT_EQ(sw_msgq_get_max(nullptr), -1);
    sw_msgq_clear(nullptr);
    sw_msgq_destroy(nullptr);
}

// Capacity 3, codes 1 to 4: one warning, the first message lost, the surplus count answered at once.
TEST(Msgq, OverflowDropsTheOldestAndLeavesASurplusCount) {
    Queue q(3);
    ASSERT_NE(q.h, nullptr);
    StdoutCapture cap;
    for (int code = 1; code <= 4; ++code) EXPECT_EQ(sw_msgq_post(q.h, code, 10UL + code, 20UL + code), 0);
    const std::string out = cap.finish();
    EXPECT_EQ(count_of(out, kDropLine), 1);
    EXPECT_NE(out.find("[warn]"), std::string::npos) << out;
    EXPECT_EQ(sw_msgq_get_num(q.h), 3);
    for (int code = 2; code <= 4; ++code) {
        int msg = 0;
        unsigned long w = 0, l = 0;
        ASSERT_EQ(sw_msgq_read(q.h, &msg, &w, &l, 0), 0);
        EXPECT_EQ(msg, code);
        EXPECT_EQ(w, 10UL + code);
        EXPECT_EQ(l, 20UL + code);
    }
    // The surplus count: -1 at once even with a long time-out, outputs untouched.
    int msg = 99;
    const double t0 = mono_ms();
    EXPECT_EQ(sw_msgq_read(q.h, &msg, nullptr, nullptr, 5000), -1);
    EXPECT_LT(mono_ms() - t0, 2500.0);
    EXPECT_EQ(msg, 99);
    errno = 0;
    EXPECT_EQ(sw_msgq_read(q.h, &msg, nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
}

TEST(Msgq, ClearEmptiesRingAndCount) {
    Queue q(2);
    ASSERT_NE(q.h, nullptr);
    StdoutCapture cap;
    for (int code = 0; code < 5; ++code) sw_msgq_post(q.h, code, 0, 0);  // three drops: three surplus counts
    (void)cap.finish();
    sw_msgq_clear(q.h);
    EXPECT_EQ(sw_msgq_get_num(q.h), 0);
    errno = 0;
    EXPECT_EQ(sw_msgq_read(q.h, nullptr, nullptr, nullptr, 0), -1);
    EXPECT_EQ(errno, ETIMEDOUT);
    // The ring works on from the start after a clear.
    sw_msgq_post(q.h, 42, 0, 0);
    EXPECT_EQ(take(q.h), 42);
}

TEST(Msgq, ReadWithoutOutputsStillRemoves) {
    Queue q(4);
    ASSERT_NE(q.h, nullptr);
    sw_msgq_post(q.h, 1, 0, 0);
    sw_msgq_post(q.h, 2, 0, 0);
    EXPECT_EQ(sw_msgq_read(q.h, nullptr, nullptr, nullptr, 0), 0);
    EXPECT_EQ(sw_msgq_get_num(q.h), 1);
    EXPECT_EQ(take(q.h), 2);
}

TEST(Msgq, ReadTimesOutOnAnEmptyQueue) {
    Queue q(4);
    ASSERT_NE(q.h, nullptr);
    const double t0 = mono_ms();
    errno = 0;
    EXPECT_EQ(sw_msgq_read(q.h, nullptr, nullptr, nullptr, 100), -1);
    const double elapsed = mono_ms() - t0;
    EXPECT_EQ(errno, ETIMEDOUT);
    EXPECT_GE(elapsed, 99.0);
    EXPECT_LT(elapsed, 3000.0);
}

// A post from another thread ends both kinds of wait with that message.
TEST(Msgq, WaitingReadIsWokenByAPost) {
    for (const int timeout : {-1, 20000}) {
        Queue q(4);
        ASSERT_NE(q.h, nullptr);
        std::atomic<bool> waiting{false};
        std::atomic<int> rc{1};
        int msg = 0;
        unsigned long w = 0;
        double readAt = 0.0;
        std::thread reader([&] {
            waiting = true;
            rc = sw_msgq_read(q.h, &msg, &w, nullptr, timeout);
            readAt = mono_ms();
        });
        ASSERT_TRUE(wait_for([&] { return waiting.load(); }));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));  // let it reach its wait
        const double postedAt = mono_ms();
        sw_msgq_post(q.h, 5, 77, 0);
        if (timeout < 0 && !wait_for([&] { return rc.load() != 1; }, 20000.0)) {
            sw_msgq_post(q.h, 0, 0, 0);  // frees the reader so the test can fail instead of hang
        }
        reader.join();
        EXPECT_EQ(rc.load(), 0) << timeout;
        EXPECT_EQ(msg, 5);
        EXPECT_EQ(w, 77UL);
        EXPECT_LT(readAt - postedAt, 5000.0) << timeout;
    }
}

// Random operations beside the model, through several wrap-arounds and drops; every drop logs once.
TEST(Msgq, MatchesModelUnderRandomOperations) {
    std::mt19937 rng(20261206);
    for (const int max : {1, 3, 17, 63, 200}) {
        Queue q(max);
        ASSERT_NE(q.h, nullptr);
        MsgqModel model(max);
        StdoutCapture cap;
        for (int step = 0; step < 4000; ++step) {
            const auto op = static_cast<unsigned char>(rng() % (step % 500 < 250 ? 6 : 8));
            const std::string diff = msgq_model_step(q.h, model, op, static_cast<unsigned char>(rng()));
            if (!diff.empty()) {
                (void)cap.finish();
                FAIL() << "max " << max << " step " << step << " op " << int(op) << ": " << diff;
            }
            if (sw_msgq_get_num(q.h) != model.num()) {
                (void)cap.finish();
                FAIL() << "max " << max << " step " << step << ": count differs";
            }
        }
        (void)cap.finish();
    }
}

// Several writers and readers at once, with posts held below the capacity so that nothing drops:
// every message arrives exactly once and each writer's messages keep their order.
TEST(Msgq, ManyWritersAndReaders) {
    constexpr int kWriters = 3, kReaders = 3, kPerWriter = 3000, kCap = 8;
    Queue q(kCap);
    ASSERT_NE(q.h, nullptr);
    void* room = sw_signal_create();
    ASSERT_NE(room, nullptr);
    for (int i = 0; i < kCap; ++i) sw_signal_give(room);
    std::vector<std::vector<int>> seen(kReaders * kWriters);
    std::vector<std::thread> threads;
    for (int r = 0; r < kReaders; ++r) {
        threads.emplace_back([&, r] {
            for (;;) {
                int msg = 0;
                unsigned long seq = 0;
                if (sw_msgq_read(q.h, &msg, &seq, nullptr, 20000) != 0) return;  // a hang ends here
                sw_signal_give(room);
                if (msg < 0) return;
                seen[r * kWriters + msg].push_back(static_cast<int>(seq));
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) {
        threads.emplace_back([&, w] {
            for (int i = 0; i < kPerWriter; ++i) {
                if (sw_signal_wait(room, 20000) != 0) return;
                sw_msgq_post(q.h, w, static_cast<unsigned long>(i), 0);
            }
        });
    }
    for (int w = 0; w < kWriters; ++w) threads[kReaders + w].join();
    for (int r = 0; r < kReaders; ++r) {
        (void)sw_signal_wait(room, 20000);
        sw_msgq_post(q.h, -1, 0, 0);
    }
    for (int r = 0; r < kReaders; ++r) threads[r].join();
    sw_signal_destroy(room);
    for (int w = 0; w < kWriters; ++w) {
        std::vector<int> all;
        for (int r = 0; r < kReaders; ++r) {
            const std::vector<int>& s = seen[r * kWriters + w];
            for (size_t k = 1; k < s.size(); ++k) ASSERT_LT(s[k - 1], s[k]) << "writer " << w << " reader " << r;
            all.insert(all.end(), s.begin(), s.end());
        }
        EXPECT_EQ(static_cast<int>(all.size()), kPerWriter) << "writer " << w;
    }
}
