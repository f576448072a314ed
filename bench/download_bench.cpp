// Downloads one URL into a file through the updater's own download path: the
// same NetworkAsyncReader the wizard uses, with the same size limit for a
// package, storing the content in the target file itself. Nothing here
// writes bytes; what is measured is the reader alone.
// Used by bench/download.sh to compare time and peak memory with curl.
//
//     download_bench [--digest] URL OUTPUT_FILE
//
// --digest asks the reader for the BLAKE2b-512 digest of the package, as a
// signed download does; it is printed in hex for the caller to compare with
// the served file's (b2sum), so that no second read of the file is timed.
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

#include <cstdio>
#include <limits>

namespace {

// Part files the reader left in `folder`; a finished read must leave none.
int partFilesIn(const QString& folder) {
    int count = 0;
    for (const QString& name : QDir(folder).entryList(QDir::Files | QDir::Hidden)) {
        count += download::IsPartFileName(name) ? 1 : 0;
    }
    return count;
}

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    QTextStream err(stderr);
    const bool digest = args.size() == 4 && args[1] == QLatin1String("--digest");
    if (args.size() != 3 && !digest) {
        err << "usage: download_bench [--digest] URL OUTPUT_FILE\n";
        return 2;
    }
    const QString url = args[args.size() - 2];
    const QString output = QFileInfo(args[args.size() - 1]).absoluteFilePath();
    const QString folder = QFileInfo(output).absolutePath();

    download::NetworkAsyncReader reader;
    QElapsedTimer clock;
    int progressEvents = 0;
    qint64 lastProgressRead = 0;
    QObject::connect(&reader, &download::AsyncReader::AsyncReadProgress, [&](const download::AsyncProperty& p) {
        ++progressEvents;
        lastProgressRead = p.BytesRead;
    });
    QObject::connect(&reader, &download::AsyncReader::AsyncReadComplete, [&](const download::AsyncProperty& p) {
        const qint64 elapsed = clock.elapsed();
        if (p.BytesMax == 0 || p.Failure.has_value()) {
            err << "read failed (" << host::KindName(p.Failure->kind) << "): " << p.Failure->detail << '\n';
            app.exit(1);
            return;
        }
        // The completion's word is checked against the disk, so a reader that
        // claims success without a whole file cannot pass as fast.
        const QFileInfo stored(p.File);
        if (stored.absoluteFilePath() != output || !stored.isFile() || stored.size() != p.BytesMax) {
            err << "completion names " << p.File << " with " << p.BytesMax << " bytes, but " << output << " holds "
                << (stored.isFile() ? stored.size() : -1) << '\n';
            app.exit(1);
            return;
        }
        if (const int leftovers = partFilesIn(folder)) {
            err << leftovers << " part file(s) left in " << folder << '\n';
            app.exit(1);
            return;
        }
        if (p.Digest.size() != (digest ? 64 : 0)) {
            err << "completion carries a digest of " << p.Digest.size() << " bytes\n";
            app.exit(1);
            return;
        }
        std::printf("bytes=%lld ms=%lld progress_events=%d last_progress=%lld resumes=%d%s%s\n",
                    static_cast<long long>(p.BytesMax), static_cast<long long>(elapsed), progressEvents,
                    static_cast<long long>(lastProgressRead), p.Resumes, digest ? " digest=" : "",
                    p.Digest.toHex().constData());
        app.exit(0);
    });

    clock.start();
    // A package has no size limit of its own in the wizard either.
    if (const auto error =
            reader.AsyncRead(url, output, std::numeric_limits<qint64>::max(),
                             digest ? download::AsyncReadOption::Digest : download::AsyncReadOption::None)) {
        err << "cannot start: " << error->Number << ' ' << error->Description << '\n';
        return 2;
    }
    return app.exec();
}
