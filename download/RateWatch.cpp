#include "download/RateWatch.h"

namespace download {

void RateWatch::start(qint64 nowMs) {
    mStart = nowMs;
    mBytes = 0;
    mSamples.assign(1, Sample{nowMs, 0});
}

void RateWatch::add(qint64 nowMs, qint64 bytes) {
    mBytes = bytes;
    if (!mSamples.empty() && mSamples.back().at == nowMs) {
        mSamples.back().bytes = bytes;
    } else {
        mSamples.push_back({nowMs, bytes});
    }
    // One sample at or before the window's start is enough to measure from.
    const qint64 windowStart = nowMs - mPolicy.window.count();
    while (mSamples.size() >= 2 && mSamples[1].at <= windowStart) {
        mSamples.pop_front();
    }
}

qint64 RateWatch::rate(qint64 nowMs) const {
    return nowMs - mStart < mPolicy.exempt.count() ? -1 : early(nowMs);
}

qint64 RateWatch::early(qint64 nowMs) const {
    const qint64 age = nowMs - mStart;
    if (mSamples.empty() || age < mPolicy.exempt.count() / 2 || age <= 0) {
        return -1;
    }
    // From the last sample that lies at or before the window's start: the
    // bytes since then, over the window (or the whole transfer).
    const qint64 windowStart = nowMs - mPolicy.window.count();
    Sample from = mSamples.front();
    for (const Sample& sample : mSamples) {
        if (sample.at > windowStart) {
            break;
        }
        from = sample;
    }
    const qint64 span = std::min<qint64>(age, mPolicy.window.count());
    const qint64 bytes = mBytes - from.bytes;
    return span > 0 ? bytes * 1000 / span : -1;
}

bool RateWatch::crawls(qint64 nowMs) const {
    const qint64 measured = rate(nowMs);
    return measured >= 0 && measured < mPolicy.floor;
}

QString RateWatch::stallText(qint64 nowMs, bool answered) const {
    const QString seconds =
        QString::number(double(std::min<qint64>(mPolicy.window.count(), nowMs - mStart)) / 1000, 'g', 2);
    if (!answered) {
        return QStringLiteral("The server had not answered after %1 s.").arg(seconds);
    }
    return QStringLiteral("The transfer crawled at %1 bytes/s over the last %2 s, under the floor of %3 bytes/s.")
        .arg(rate(nowMs))
        .arg(seconds)
        .arg(mPolicy.floor);
}

} // namespace download
