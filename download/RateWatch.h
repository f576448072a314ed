#pragma once

#include <QString>

#include <chrono>
#include <deque>

namespace download {

// The rate at which a transfer brings its bytes, averaged over a sliding
// window: the last minute, or the time since the transfer began when that is
// shorter. A transfer that keeps its link alive with a byte now and then
// still crawls by this measure, where a limit on the silence between two
// bytes never fires.
class RateWatch {
public:
    struct Policy {
        qint64 floor = 1024;                                         // bytes a second; less is a stall
        std::chrono::milliseconds window = std::chrono::seconds(60); // the average covers at most this
        std::chrono::milliseconds exempt = std::chrono::seconds(10); // no verdict before the transfer is this old
    };

    explicit RateWatch(const Policy& policy) : mPolicy(policy) {}

    // A transfer begins at `nowMs` (any steady clock in milliseconds).
    void start(qint64 nowMs);
    // It has brought `bytes` in all by `nowMs`.
    void add(qint64 nowMs, qint64 bytes);

    // The average over the window in bytes a second, or -1 while the
    // transfer is younger than the exempt time.
    qint64 rate(qint64 nowMs) const;
    // The same, already during the exempt time, once half of it has
    // passed: what a user may be told, before the verdict.
    qint64 early(qint64 nowMs) const;
    // The transfer is past the exempt time and brings less than the floor.
    bool crawls(qint64 nowMs) const;

    const Policy& policy() const { return mPolicy; }
    // Why a transfer that crawls stalls, in words: its rate over the window,
    // or, when no answer came (`answered` false), that none did.
    QString stallText(qint64 nowMs, bool answered) const;

private:
    struct Sample {
        qint64 at;
        qint64 bytes;
    };
    Policy mPolicy;
    qint64 mStart = 0;
    qint64 mBytes = 0;
    std::deque<Sample> mSamples; // oldest first; the first lies at or before the window's start
};

} // namespace download
