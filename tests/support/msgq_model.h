// A reference model of the message queue (swmsgq.h) and one step of a model-based check that drives
// the real queue and the model side by side, shared by the unit test and the fuzzer.
#pragma once

#include <cerrno>
#include <deque>
#include <string>

#include "swmsgq.h"

class MsgqModel {
public:
    struct Msg {
        int msg;
        unsigned long wParam;
        unsigned long lParam;
    };
    enum class Read { kMessage, kSurplus, kEmpty };

    explicit MsgqModel(int max) : cap_(max > 63 ? 63 : max) {}

    // Returns whether the post dropped the oldest message.
    bool post(const Msg& m) {
        held_.push_back(m);
        if (static_cast<int>(held_.size()) <= cap_) return false;
        held_.pop_front();
        ++surplus_;  // the dropped message's count stays in the signal
        return true;
    }
    Read read(Msg* out) {
        if (!held_.empty()) {
            *out = held_.front();
            held_.pop_front();
            return Read::kMessage;
        }
        if (surplus_ == 0) return Read::kEmpty;
        --surplus_;
        return Read::kSurplus;
    }
    void clear() {
        held_.clear();
        surplus_ = 0;
    }
    int num() const { return static_cast<int>(held_.size()); }
    int max() const { return cap_; }

private:
    int cap_;
    std::deque<Msg> held_;
    int surplus_ = 0;
};

// Applies operation `op` (with `arg` as its data) to the queue `q` and to `model`, and compares the
// results: "" when they agree, else what differed. Operations: post, read with time-out 0 (with and
// without outputs), clear, count and capacity.
inline std::string msgq_model_step(void* q, MsgqModel& model, unsigned char op, unsigned char arg) {
    switch (op % 8) {
        case 0:
        case 1:
        case 2: {
            const MsgqModel::Msg m{arg, arg * 3UL + op, ~static_cast<unsigned long>(arg)};
            (void)model.post(m);
            return sw_msgq_post(q, m.msg, m.wParam, m.lParam) == 0 ? "" : "post failed";
        }
        case 3:
        case 4: {
            MsgqModel::Msg want{};
            const MsgqModel::Read kind = model.read(&want);
            int msg = -1;
            unsigned long w = 1, l = 1;
            errno = 0;
            const int rc = op % 8 == 3 ? sw_msgq_read(q, &msg, &w, &l, 0) : sw_msgq_read(q, nullptr, nullptr, nullptr, 0);
            if (kind == MsgqModel::Read::kEmpty) {
                return rc == -1 && errno == ETIMEDOUT ? "" : "read of an empty queue did not time out";
            }
            if (kind == MsgqModel::Read::kSurplus) {
                // Taken at once from the count: no time-out, errno not set.
                return rc == -1 && errno == 0 ? "" : "surplus count not answered at once";
            }
            if (rc != 0) return "read missed a held message";
            if (op % 8 == 4) return "";
            return msg == want.msg && w == want.wParam && l == want.lParam ? "" : "read a message out of order";
        }
        case 5:
            model.clear();
            sw_msgq_clear(q);
            return "";
        case 6:
            return sw_msgq_get_num(q) == model.num() ? "" : "count differs";
        default:
            return sw_msgq_get_max(q) == model.max() ? "" : "capacity differs";
    }
}
