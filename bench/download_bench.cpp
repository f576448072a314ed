// Downloads one URL to a file the way the updater does: NetworkAsyncReader
// streams it into a part file beside OUTPUT_FILE and renames it when whole.
// Used by bench/download.sh to compare time and peak memory with curl.
//
//     download_bench URL OUTPUT_FILE
//
// Prints one line of figures and exits 0 on success, 1 on a failed read or
// write, 2 when the read cannot start.

#include "host/NetworkAsyncReader.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QTextStream>

#include <climits>
#include <cstdio>

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    if (args.size() != 3) {
        err << "usage: download_bench URL OUTPUT_FILE\n";
        return 2;
    }
    const QString url = args[1];
    const QString output = args[2];

    host::NetworkAsyncReader reader;
    QElapsedTimer clock;
    int progressEvents = 0;
    QObject::connect(&reader, &host::AsyncReader::AsyncReadProgress,
                     [&](const host::AsyncProperty&) { ++progressEvents; });
    QObject::connect(&reader, &host::AsyncReader::AsyncReadComplete, [&](const host::AsyncProperty& p) {
        const qint64 readMs = clock.elapsed();
        if (p.BytesMax == 0) {
            err << "read failed: " << p.FailureDetail << '\n';
            app.exit(1);
            return;
        }
        std::printf("bytes=%lld read_ms=%lld total_ms=%lld progress_events=%d\n", static_cast<long long>(p.BytesMax),
                    static_cast<long long>(readMs), static_cast<long long>(clock.elapsed()), progressEvents);
        app.exit(0);
    });

    clock.start();
    if (const auto error = reader.AsyncRead(url, output, LLONG_MAX)) {
        err << "cannot start: " << error->Number << ' ' << error->Description << '\n';
        return 2;
    }
    return app.exec();
}
