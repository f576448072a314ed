// Downloads one URL into a file through the updater's own download path: the
// same NetworkAsyncReader the wizard uses, with the same size limit for a
// package, storing the content in the target file itself. Nothing here
// writes bytes; what is measured is the reader alone.
// Used by bench/download.sh to compare time and peak memory with curl.
//
//     download_bench [--digest] [--stalls] URL OUTPUT_FILE
//
// --digest asks the reader for the BLAKE2b-512 digest of the package, as a
// signed download does; it is printed in hex for the caller to compare with
// the served file's (b2sum), so that no second read of the file is timed.
// --stalls runs a 10 ms precise timer on the thread the reader reports to,
// as a window's would be, and prints the longest time the event loop stood
// still: during the last 5 seconds before the completion (the end of the
// download: the sync of the package, its digest, its rename), and over the
// whole download.
// Prints one line of figures and exits 0 on success, 1 on a failed read or
// when the result is not what the completion claims, 2 when the read cannot
// start.

#include "download/NetworkAsyncReader.h"
#include "download/PartFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <limits>
#include <vector>

namespace {

// Part files and kept parts' records the reader left in `folder`; a
// finished read must leave none.
int partFilesIn(const QString& folder) {
    int count = 0;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        count += download::IsPartFileName(name) || name.startsWith(QLatin1String(".Kelvane-")) ? 1 : 0;
    }
    return count;
}

// The longest gaps between the ticks of a 10 ms timer, in milliseconds: how
// long the event loop stood still. A gap counts for the end when it ends
// within the window before the completion; the time from the last tick to
// the completion is a gap too, since a loop held up at the very end shows
// only there.
class StallWatch {
public:
    static constexpr qint64 kTickMs = 10;
    static constexpr qint64 kEndWindowMs = 5000;

    explicit StallWatch(const QElapsedTimer& clock) : mClock(clock) {
        mTimer.setTimerType(Qt::PreciseTimer);
        mTimer.setInterval(int(kTickMs));
        QObject::connect(&mTimer, &QTimer::timeout, [this] { tick(); });
    }
    void start() {
        mTicks.push_back(mClock.elapsed());
        mTimer.start();
    }
    // Call at the completion, before anything else is done there.
    void stop() {
        tick();
        mTimer.stop();
    }
    qint64 longest() const { return longestSince(0); }
    qint64 longestAtTheEnd() const { return longestSince(mTicks.back() - kEndWindowMs); }

private:
    void tick() { mTicks.push_back(mClock.elapsed()); }
    qint64 longestSince(qint64 from) const {
        qint64 longest = 0;
        for (size_t i = 1; i < mTicks.size(); ++i) {
            if (mTicks[i] > from) {
                longest = std::max(longest, mTicks[i] - mTicks[i - 1]);
            }
        }
        return longest;
    }

    const QElapsedTimer& mClock;
    QTimer mTimer;
    std::vector<qint64> mTicks; // when each tick came, in ms since the start
};

// What is wrong with a completion that should name `output`, whole and
// alone in its folder; empty when nothing is. The completion's word is checked
// against the disk, so a reader that claims success without a whole file
// cannot pass as fast.
QString completionProblem(const download::AsyncProperty& p, const QString& output, bool digest) {
    if (p.BytesMax == 0 || p.Failure.has_value()) {
        return QStringLiteral("read failed (%1): %2")
            .arg(QString::fromLatin1(host::KindName(p.Failure->kind)), p.Failure->detail);
    }
    const QFileInfo stored(p.File);
    if (stored.absoluteFilePath() != output || !stored.isFile() || stored.size() != p.BytesMax) {
        return QStringLiteral("completion names %1 with %2 bytes, but %3 holds %4")
            .arg(p.File)
            .arg(p.BytesMax)
            .arg(output)
            .arg(stored.isFile() ? stored.size() : -1);
    }
    const QString folder = QFileInfo(output).absolutePath();
    if (const int leftovers = partFilesIn(folder)) {
        return QStringLiteral("%1 part file(s) left in %2").arg(leftovers).arg(folder);
    }
    if (p.Digest.size() != (digest ? 64 : 0)) {
        return QStringLiteral("completion carries a digest of %1 bytes").arg(p.Digest.size());
    }
    return QString();
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    QStringList options = args.mid(1, args.size() - 3);
    const bool digest = options.removeAll(QStringLiteral("--digest")) == 1;
    const bool stalls = options.removeAll(QStringLiteral("--stalls")) == 1;
    if (args.size() < 3 || !options.isEmpty()) {
        err << "usage: download_bench [--digest] [--stalls] URL OUTPUT_FILE\n";
        return 2;
    }
    const QString url = args[args.size() - 2];
    const QString output = QFileInfo(args[args.size() - 1]).absoluteFilePath();

    download::NetworkAsyncReader reader;
    QElapsedTimer clock;
    StallWatch watch(clock);
    int progressEvents = 0;
    qint64 lastProgressRead = 0;
    QObject::connect(&reader, &download::AsyncReader::AsyncReadProgress, [&](const download::AsyncProperty& p) {
        ++progressEvents;
        lastProgressRead = p.BytesRead;
    });
    QObject::connect(&reader, &download::AsyncReader::AsyncReadComplete, [&](const download::AsyncProperty& p) {
        const qint64 elapsed = clock.elapsed();
        watch.stop();
        if (const QString problem = completionProblem(p, output, digest); !problem.isEmpty()) {
            err << problem << '\n';
            app.exit(1);
            return;
        }
        const QByteArray stallFigures = stalls ? QStringLiteral(" stall_end_ms=%1 stall_ms=%2")
                                                     .arg(watch.longestAtTheEnd())
                                                     .arg(watch.longest())
                                                     .toLatin1()
                                               : QByteArray();
        std::printf("bytes=%lld ms=%lld progress_events=%d last_progress=%lld resumes=%d%s%s%s\n",
                    static_cast<long long>(p.BytesMax), static_cast<long long>(elapsed), progressEvents,
                    static_cast<long long>(lastProgressRead), p.Resumes, stallFigures.constData(),
                    digest ? " digest=" : "", p.Digest.toHex().constData());
        app.exit(0);
    });

    clock.start();
    if (stalls) {
        watch.start();
    }
    // A package has no size limit of its own in the wizard either.
    download::AsyncReadOptions readOptions;
    readOptions.digest = digest;
    readOptions.resumable = true; // as the wizard reads a package
    if (const auto error = reader.AsyncRead(url, output, std::numeric_limits<qint64>::max(), readOptions)) {
        err << "cannot start: " << error->Number << ' ' << error->Description << '\n';
        return 2;
    }
    return app.exec();
}
