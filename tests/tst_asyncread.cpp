#include "download/Blake2b.h"
#include "download/DurableSteps.h"
#include "download/KeptPart.h"
#include "download/NetworkAsyncReader.h"
#include "download/PartFile.h"
#include "download/RateWatch.h"
#include "host/Log.h"
#include "tests/support/FaultServer.h"
#include "tests/support/SmallDisk.h"

#include <QFile>
#include <QPointer>
#include <QTemporaryDir>
#include <QtTest>

#include <chrono>
#include <climits>
#include <condition_variable>
#include <memory>
#include <mutex>

#include <sodium.h>

#include <cerrno>

#include <sys/stat.h>

using namespace std::chrono_literals;
using download::AsyncProperty;
using download::AsyncReadOptions;

// The options of a plain read and of one that asks for its digest.
enum class AsyncReadOption { None, Digest };
AsyncReadOptions optionsOf(AsyncReadOption option) {
    AsyncReadOptions options;
    options.digest = option == AsyncReadOption::Digest;
    return options;
}
// A completion's failure kind, or nothing for a whole read.
using Kind = std::optional<host::Failure::Kind>;

Q_DECLARE_METATYPE(FaultRoute)
Q_DECLARE_METATYPE(Kind)
Q_DECLARE_METATYPE(AsyncReadOption)

namespace {

Kind kindOf(const AsyncProperty& property) {
    return property.Failure ? Kind(property.Failure->kind) : std::nullopt;
}

constexpr auto kStallLimit = 500ms; // short, yet far above any pause of a living loopback link
constexpr int kTimeoutMs = 30000;   // generous: a loaded machine is slow, never wrong
constexpr qint64 kNoLimit = LLONG_MAX;

QByteArray pattern(qsizetype size) {
    QByteArray bytes(size, Qt::Uninitialized);
    for (qsizetype i = 0; i < size; ++i) {
        bytes[i] = char(i % 251);
    }
    return bytes;
}

// BLAKE2b-512 in one call, apart from the reader's incremental hashing.
QByteArray blake2b512(const QByteArray& bytes) {
    QByteArray digest(crypto_generichash_BYTES_MAX, Qt::Uninitialized);
    crypto_generichash(reinterpret_cast<unsigned char*>(digest.data()), size_t(digest.size()),
                       reinterpret_cast<const unsigned char*>(bytes.constData()), size_t(bytes.size()), nullptr, 0);
    return digest;
}

QByteArray contentOf(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// What a folder holds besides the files a test put there itself.
QStringList entries(const QString& folder) {
    return QDir(folder).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
}

// Everything a reader reported, in the order it came.
struct Event {
    bool completion = false;
    AsyncProperty property;
};

class Events {
public:
    explicit Events(download::AsyncReader& reader) {
        QObject::connect(&reader, &download::AsyncReader::AsyncReadProgress, &mContext, [this](const AsyncProperty& p) {
            all.append({false, p});
        });
        QObject::connect(&reader, &download::AsyncReader::AsyncReadComplete, &mContext, [this](const AsyncProperty& p) {
            all.append({true, p});
        });
    }

    QList<Event> of(const QString& name) const {
        QList<Event> events;
        for (const Event& e : all) {
            if (e.property.PropertyName == name) {
                events.append(e);
            }
        }
        return events;
    }
    int completions(const QString& name) const {
        int count = 0;
        for (const Event& e : of(name)) {
            count += e.completion ? 1 : 0;
        }
        return count;
    }
    AsyncProperty completion(const QString& name) const {
        for (const Event& e : of(name)) {
            if (e.completion) {
                return e.property;
            }
        }
        return {};
    }

    QList<Event> all;

private:
    QObject mContext;
};

// One read of the fault server's /file, with short pauses before a resume,
// into a folder of its own.
struct FileRead {
    FaultServer server;
    download::NetworkAsyncReader reader{nullptr, kStallLimit};
    Events events{reader};
    QTemporaryDir folder;
    const QString name = folder.filePath("Update201.EXE");

    explicit FileRead(const FaultRoute& route) {
        server.route("/file", route);
        reader.setResumePause(10ms);
    }
    // Starts the read and waits for its completion.
    bool run(AsyncReadOption option = AsyncReadOption::None) {
        return !reader.AsyncRead(server.url("/file").toString(), name, kNoLimit, optionsOf(option)) &&
               QTest::qWaitFor([this] { return events.completions(name) == 1; }, kTimeoutMs);
    }
};

// Holds the sync at the end of every read, through the part files' seam for
// tests, until the test lets it go (or a long time has passed, so that a
// sync held on the test's own thread cannot hang it): a disk that takes its
// time with a package.
class HeldSync {
public:
    explicit HeldSync(host::Outcome failure = std::nullopt) : mState(std::make_shared<State>()) {
        download::PartFile::SetSyncHookForTests([state = mState, failure](const QString&) {
            std::unique_lock<std::mutex> lock(state->mutex);
            state->held = true;
            state->thread = QThread::currentThread();
            state->changed.wait_for(lock, 10s, [&state] { return state->released; });
            state->held = false;
            state->changed.notify_all();
            return failure;
        });
    }
    ~HeldSync() {
        download::PartFile::SetSyncHookForTests(nullptr);
        release();
        std::unique_lock<std::mutex> lock(mState->mutex);
        mState->changed.wait(lock, [this] { return !mState->held; });
    }
    // A sync is being held now.
    bool held() const {
        const std::lock_guard<std::mutex> lock(mState->mutex);
        return mState->held;
    }
    // The thread the last sync ran on; null before any.
    QThread* thread() const {
        const std::lock_guard<std::mutex> lock(mState->mutex);
        return mState->thread;
    }
    void release() const {
        const std::lock_guard<std::mutex> lock(mState->mutex);
        mState->released = true;
        mState->changed.notify_all();
    }

private:
    struct State {
        std::mutex mutex;
        std::condition_variable changed;
        bool held = false;
        bool released = false;
        QThread* thread = nullptr;
    };
    std::shared_ptr<State> mState; // shared with the hook, which may outlive a test that failed
};

} // namespace

class tst_AsyncRead : public QObject {
    Q_OBJECT

private:
    // Starts a read that must complete normally and waits for it. Events of
    // an earlier read that were still to come have arrived by then.
    void readSentinel(download::AsyncReader& reader, Events& events);

    // The file `name` in this test's own folder.
    QString file(const QString& name) const { return mDir.filePath(name); }

    FaultServer mServer;
    QTemporaryDir mDir;
    const QByteArray mTargetBody = pattern(4000);

private slots:
    void initTestCase();

    void completion_data();
    void completion();

    void unstartableTarget_isRefusedAndEmitsNothing_data();
    void unstartableTarget_isRefusedAndEmitsNothing();

    void trickledBody_progressesMonotonicallyAndOutlivesStallLimit();
    void concurrentReads_eachCompleteOnceUnderTheirOwnName();
    void request_asksForTheNewestCopy();

    void destroyingReader_abortsItsRunningReads_data();
    void destroyingReader_abortsItsRunningReads();
    void finishingRead_leavesTheEventLoopRunning_data();
    void finishingRead_leavesTheEventLoopRunning();

    void droppedTransfer_resumesOrFails_data();
    void droppedTransfer_resumesOrFails();

    void storedFile_takesTheTargetsPlace_data();
    void storedFile_takesTheTargetsPlace();

    void smallDisk_failsAndKeepsTheOlderFile_data();
    void smallDisk_failsAndKeepsTheOlderFile();

    void digest_isThatOfTheStoredFile_data();
    void digest_isThatOfTheStoredFile();
    void digestFollower_resultCoversEveryStoredByte_data();
    void digestFollower_resultCoversEveryStoredByte();

    void logLines_escapeWhatCouldBreakThem_data();
    void logLines_escapeWhatCouldBreakThem();

    void keptPart_staysOnlyWhenALaterRunCanGoOn_data();
    void keptPart_staysOnlyWhenALaterRunCanGoOn();
    void keptPart_isContinuedOrStartsOver_data();
    void keptPart_isContinuedOrStartsOver();
    void durableSteps_recordOnlySyncedBytes();
    void rateWatch_averagesOverTheWindow_data();
    void rateWatch_averagesOverTheWindow();
    void slowTransfer_stallsUnderTheFloor_data();
    void slowTransfer_stallsUnderTheFloor();

    void transferJob_startsLaterEndsOnceAndGoes_data();
    void transferJob_startsLaterEndsOnceAndGoes();

    void keptParts_tidyingSparesOnlyWhatCanGoOn_data();
    void keptParts_tidyingSparesOnlyWhatCanGoOn();
    void resumeRecord_readsOnlyWhatWasWritten_data();
    void resumeRecord_readsOnlyWhatWasWritten();
};

void tst_AsyncRead::readSentinel(download::AsyncReader& reader, Events& events) {
    const QString name = file(QStringLiteral("sentinel-%1").arg(events.all.size()));
    QVERIFY(!reader.AsyncRead(mServer.url("/target").toString(), name, kNoLimit));
    QTRY_COMPARE_WITH_TIMEOUT(events.completions(name), 1, kTimeoutMs);
    QCOMPARE(kindOf(events.completion(name)), Kind());
}

void tst_AsyncRead::initTestCase() {
    QVERIFY(mServer.isListening());
    QVERIFY(mDir.isValid());
    mServer.route("/target", FaultRoute::ok(mTargetBody));
}

void tst_AsyncRead::completion_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<QString>("target"); // empty: the path on the fault server
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<QByteArray>("value"); // expected content; empty for a failed read
    QTest::addColumn<Kind>("failure");
    QTest::addColumn<QString>("detail"); // part of the failure's detail that tells the cause

    const QByteArray body = pattern(100000);
    const auto none = Kind();
    const auto net = Kind(host::Failure::Kind::Network);
    const auto large = Kind(host::Failure::Kind::TooLarge);
    const QString here;

    QTest::newRow("body with Content-Length")
        << "/ok" << FaultRoute::ok(body) << here << kNoLimit << body << none << QString();
    QTest::newRow("chunked body that reached its last chunk")
        << "/chunked" << FaultRoute::chunked(body) << here << kNoLimit << body << none << QString();
    QTest::newRow("the same length announced twice") << "/twice"
                                                     << FaultRoute::withHeaders("Content-Length: 100\r\n"
                                                                                "Content-Length: 100\r\n",
                                                                                body.left(100))
                                                     << here << kNoLimit << body.left(100) << none << QString();
    QTest::newRow("redirect to another path")
        << "/moved" << FaultRoute::redirect("/target") << here << kNoLimit << mTargetBody << none << QString();
    QTest::newRow("body exactly at the limit")
        << "/limit" << FaultRoute::ok(pattern(1000)) << here << qint64(1000) << pattern(1000) << none << QString();

    QTest::newRow("404") << "/gone" << FaultRoute::withStatus(404, "not here") << here << kNoLimit << QByteArray()
                         << net << QStringLiteral("404");
    QTest::newRow("500") << "/broken" << FaultRoute::withStatus(500, "oops") << here << kNoLimit << QByteArray() << net
                         << QStringLiteral("500");
    QTest::newRow("206 to a request for the whole file") << "/partial" << FaultRoute::withStatus(206, "part") << here
                                                         << kNoLimit << QByteArray() << net << QStringLiteral("206");
    QTest::newRow("final 3xx without Location") << "/choices" << FaultRoute::withStatus(300, "pick one") << here
                                                << kNoLimit << QByteArray() << net << QStringLiteral("300");
    QTest::newRow("redirect loop") << "/loop" << FaultRoute::redirect("/loop") << here << kNoLimit << QByteArray()
                                   << net << QString();
    // Only the end of the connection delimits these: whole or cut, no one can tell.
    const QString noFraming = QStringLiteral("no length and no chunked framing");
    QTest::newRow("whole body without length or chunks")
        << "/nolength" << FaultRoute::withoutLength(body) << here << kNoLimit << QByteArray() << net << noFraming;
    QTest::newRow("cut body without length or chunks") << "/nolengthcut" << FaultRoute::withoutLength(body.left(5000))
                                                       << here << kNoLimit << QByteArray() << net << noFraming;
    QTest::newRow("chunked body cut before its last chunk")
        << "/chunkedcut" << FaultRoute::chunked(body, false) << here << kNoLimit << QByteArray() << net
        << QStringLiteral("before the last chunk");
    QTest::newRow("two different Content-Length headers")
        << "/twolengths" << FaultRoute::withHeaders("Content-Length: 100\r\nContent-Length: 4096\r\n", body.left(4096))
        << here << kNoLimit << QByteArray() << net << QStringLiteral("conflicting lengths: 100, 4096.");
    QTest::newRow("a list of lengths in one header")
        << "/lengthlist" << FaultRoute::withHeaders("Content-Length: 4096,100\r\n", body.left(4096)) << here << kNoLimit
        << QByteArray() << net << QStringLiteral("conflicting lengths: 4096, 100.");
    QTest::newRow("unreadable Content-Length")
        << "/badlength" << FaultRoute::withHeaders("Content-Length: +4096\r\n", body.left(4096)) << here << kNoLimit
        << QByteArray() << net << QStringLiteral("unreadable length");
    QTest::newRow("compressed although plain bytes were asked for")
        << "/gzip" << FaultRoute::withHeaders("Content-Encoding: gzip\r\nContent-Length: 4096\r\n", body.left(4096))
        << here << kNoLimit << QByteArray() << net << QStringLiteral("encoded as \"gzip\"");
    QTest::newRow("cut-off body") << "/cut" << FaultRoute::cutOff(body.left(5000), body.size()) << here << kNoLimit
                                  << QByteArray() << net << QStringLiteral("5000 of the 100000");
    QTest::newRow("stall after part of the body") << "/stall" << FaultRoute::stall(body.left(5000), body.size()) << here
                                                  << kNoLimit << QByteArray() << net << QStringLiteral("stalled");
    QTest::newRow("stall before any byte") << "/silent" << FaultRoute::stall(QByteArray(), body.size()) << here
                                           << kNoLimit << QByteArray() << net << QStringLiteral("stalled");
    QTest::newRow("empty body") << "/empty" << FaultRoute::empty() << here << kNoLimit << QByteArray() << net
                                << QStringLiteral("empty");
    QTest::newRow("empty body without Content-Length") << "/emptynolength" << FaultRoute::withoutLength(QByteArray())
                                                       << here << kNoLimit << QByteArray() << net << QString();
    QTest::newRow("refused connection") << "/refused" << FaultRoute::ok(body)
                                        << QStringLiteral("http://127.0.0.1:%1/refused").arg(FaultServer::unusedPort())
                                        << kNoLimit << QByteArray() << net << QStringLiteral("refused");
    QTest::newRow("https to a server without TLS")
        << "/tls" << FaultRoute::ok(body) << mServer.url("/tls").toString().replace("http:", "https:") << kNoLimit
        << QByteArray() << net << QStringLiteral("SSL");

    // A stalling server shows that the limit, not the stall, ended the read.
    QTest::newRow("announced size beyond the limit")
        << "/announcedbig" << FaultRoute::stall("abc", 5000) << here << qint64(1000) << QByteArray() << large
        << QStringLiteral("announced 5000");
    QTest::newRow("announced size beyond 32 bits and the limit")
        << "/huge" << FaultRoute::stall("abc", 5'000'000'000) << here << qint64(4'000'000'000) << QByteArray() << large
        << QStringLiteral("announced 5000000000 bytes; at most 4000000000");
    QTest::newRow("unannounced body beyond the limit")
        << "/receivedbig" << FaultRoute::chunked(body) << here << qint64(1000) << QByteArray() << large
        << QStringLiteral("More than 1000");
}

void tst_AsyncRead::completion() {
    QFETCH(QString, path);
    QFETCH(FaultRoute, route);
    QFETCH(QString, target);
    QFETCH(qint64, maxBytes);
    QFETCH(QByteArray, value);
    QFETCH(Kind, failure);
    QFETCH(QString, detail);

    mServer.route(path, route);
    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    QTemporaryDir folder;
    const QString name = folder.filePath(QStringLiteral("read"));
    QVERIFY(!reader.AsyncRead(target.isEmpty() ? mServer.url(path).toString() : target, name, maxBytes));

    QTRY_COMPARE_WITH_TIMEOUT(events.completions(name), 1, kTimeoutMs);
    readSentinel(reader, events);
    const QList<Event> seen = events.of(name);
    QCOMPARE(events.completions(name), 1);
    QVERIFY(seen.last().completion); // no progress after the end

    const AsyncProperty done = seen.last().property;
    QCOMPARE(kindOf(done), failure);
    QCOMPARE(done.BytesMax, qint64(value.size()));
    QCOMPARE(done.File, value.isEmpty() ? QString() : name);
    QCOMPARE(contentOf(name), value);
    // A failed read leaves nothing, a whole one only its file: no part file.
    QCOMPARE(entries(folder.path()), value.isEmpty() ? QStringList() : QStringList{QStringLiteral("read")});
    const QString why = done.Failure ? done.Failure->detail : QString();
    QCOMPARE(why.isEmpty(), !failure);
    QVERIFY2(why.contains(detail, Qt::CaseInsensitive), qPrintable(why));
    if (!failure) {
        QCOMPARE(done.BytesRead, qint64(value.size()));
        // The last progress names the whole size, for listeners that show it.
        QVERIFY(seen.size() >= 2);
        QCOMPARE(seen[seen.size() - 2].property.BytesRead, qint64(value.size()));
        QCOMPARE(seen[seen.size() - 2].property.BytesMax, qint64(value.size()));
    }
    QCOMPARE(reader.runningReads(), 0);
}

void tst_AsyncRead::unstartableTarget_isRefusedAndEmitsNothing_data() {
    QTest::addColumn<QString>("target");
    QTest::addColumn<qint64>("maxBytes");
    QTest::addColumn<int>("number");

    namespace N = download::AsyncReadErrorNumber;
    QTest::newRow("empty") << QString() << kNoLimit << N::EmptyTarget;
    QTest::newRow("blank") << QStringLiteral("   ") << kNoLimit << N::EmptyTarget;
    QTest::newRow("not a url") << QStringLiteral("not a url") << kNoLimit << N::MalformedTarget;
    QTest::newRow("no server") << QStringLiteral("http://") << kNoLimit << N::MalformedTarget;
    QTest::newRow("ftp") << QStringLiteral("ftp://x/y") << kNoLimit << N::UnsupportedScheme;
    QTest::newRow("file") << QStringLiteral("file:///etc/passwd") << kNoLimit << N::UnsupportedScheme;
    QTest::newRow("zero limit") << mServer.url("/target").toString() << qint64(0) << N::InvalidLimit;
}

void tst_AsyncRead::unstartableTarget_isRefusedAndEmitsNothing() {
    QFETCH(QString, target);
    QFETCH(qint64, maxBytes);
    QFETCH(int, number);

    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    const auto error = reader.AsyncRead(target, file(QStringLiteral("refused")), maxBytes);
    QVERIFY(error);
    QCOMPARE(error->Number, number);
    QVERIFY(!error->Description.isEmpty());

    readSentinel(reader, events);
    QVERIFY(events.of(file(QStringLiteral("refused"))).isEmpty());
    QVERIFY(!QFile::exists(file(QStringLiteral("refused"))));
}

void tst_AsyncRead::trickledBody_progressesMonotonicallyAndOutlivesStallLimit() {
    // Chunks come well within the stall limit, the whole body takes longer than it.
    const QByteArray body = pattern(64 * 1024);
    mServer.route("/trickle", FaultRoute::trickle(body, 4096, 50));
    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    const QString name = file("trickle");
    QVERIFY(!reader.AsyncRead(mServer.url("/trickle").toString(), name, kNoLimit));
    QTRY_COMPARE_WITH_TIMEOUT(events.completions(name), 1, kTimeoutMs);

    const QList<Event> seen = events.of(name);
    QCOMPARE(kindOf(seen.last().property), Kind());
    QCOMPARE(contentOf(name), body);
    QVERIFY2(seen.size() >= 3, "several progress events for a body that comes in 16 pieces");
    qint64 previous = 0;
    for (qsizetype i = 0; i + 1 < seen.size(); ++i) {
        const AsyncProperty& p = seen[i].property;
        QVERIFY(!seen[i].completion);
        QCOMPARE(p.BytesMax, qint64(body.size()));
        QVERIFY(p.BytesRead >= previous);
        QVERIFY(p.BytesRead <= p.BytesMax);
        previous = p.BytesRead;
    }
}

void tst_AsyncRead::concurrentReads_eachCompleteOnceUnderTheirOwnName() {
    mServer.route("/c-stall", FaultRoute::stall("partial", 1000));
    mServer.route("/c-slow", FaultRoute::trickle(pattern(20000), 5000, 50));
    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    const QString a = file("a"), b = file("b"), c = file("c"), d = file("d");
    QVERIFY(!reader.AsyncRead(mServer.url("/c-stall").toString(), a, kNoLimit));
    QVERIFY(!reader.AsyncRead(mServer.url("/c-missing").toString(), b, kNoLimit));
    QVERIFY(!reader.AsyncRead(mServer.url("/c-slow").toString(), c, kNoLimit));
    QVERIFY(!reader.AsyncRead(mServer.url("/target").toString(), d, kNoLimit));
    QCOMPARE(reader.runningReads(), 4);

    QTRY_COMPARE_WITH_TIMEOUT(
        events.completions(a) + events.completions(b) + events.completions(c) + events.completions(d), 4, kTimeoutMs);
    readSentinel(reader, events);
    for (const QString& name : {a, b, c, d}) {
        QCOMPARE(events.completions(name), 1);
    }
    QCOMPARE(kindOf(events.completion(a)), Kind(host::Failure::Kind::Network));
    QCOMPARE(kindOf(events.completion(b)), Kind(host::Failure::Kind::Network));
    QCOMPARE(contentOf(c), pattern(20000));
    QCOMPARE(contentOf(d), mTargetBody);
}

void tst_AsyncRead::request_asksForTheNewestCopy() {
    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    readSentinel(reader, events);
    const FaultRequest request = mServer.requests().last();
    QCOMPARE(request.method, QByteArray("GET"));
    QCOMPARE(request.headers.value("cache-control"), QByteArray("no-cache"));
    QCOMPARE(request.headers.value("pragma"), QByteArray("no-cache"));
}

void tst_AsyncRead::destroyingReader_abortsItsRunningReads_data() {
    QTest::addColumn<QString>("destroyedIn"); // "", "progress" or "completion": the handler that deletes it;
                                              // "finishing": from outside while a read's end waits for the disk
    QTest::newRow("from outside") << QString();
    QTest::newRow("from its own progress handler") << QStringLiteral("progress");
    QTest::newRow("from its own completion handler") << QStringLiteral("completion");
    QTest::newRow("while a read's file is being synced") << QStringLiteral("finishing");
}

void tst_AsyncRead::destroyingReader_abortsItsRunningReads() {
    QFETCH(QString, destroyedIn);

    FaultServer server; // its own, so its connections are only this test's
    server.route("/hang", FaultRoute::stall(pattern(1000), 100000));
    server.route("/quick", FaultRoute::ok("done"));
    QTemporaryDir folder;
    const QString hang = folder.filePath("hang"), quick = folder.filePath("quick");
    QPointer<download::NetworkAsyncReader> reader = new download::NetworkAsyncReader(nullptr, 60s);
    auto events = std::make_unique<Events>(*reader); // connected first, so it records before the deletion
    if (destroyedIn == "progress") {
        connect(reader, &download::AsyncReader::AsyncReadProgress, reader, [&reader] { delete reader; });
    } else if (destroyedIn == "completion") {
        connect(reader, &download::AsyncReader::AsyncReadComplete, reader, [&reader] { delete reader; });
    }
    QVERIFY(!reader->AsyncRead(server.url("/hang").toString(), hang, kNoLimit));
    QTRY_VERIFY_WITH_TIMEOUT(!events->of(hang).isEmpty(), kTimeoutMs); // bytes have arrived
    if (reader) {
        QCOMPARE(entries(folder.path()).size(), 1); // the bytes are in a part file
    }

    if (destroyedIn == "completion") {
        QVERIFY(!reader->AsyncRead(server.url("/quick").toString(), quick, kNoLimit));
        QTRY_VERIFY_WITH_TIMEOUT(reader.isNull(), kTimeoutMs);
        QCOMPARE(events->completions(quick), 1);
    } else if (destroyedIn.isEmpty()) {
        QCOMPARE(server.openConnections(), 1);
        delete reader;
    } else if (destroyedIn == "finishing") {
        const HeldSync held;
        QVERIFY(!reader->AsyncRead(server.url("/quick").toString(), quick, kNoLimit));
        QTRY_VERIFY_WITH_TIMEOUT(held.held(), kTimeoutMs);
        QCOMPARE(reader->runningReads(), 2);
        delete reader; // at once, although the sync goes on
        QVERIFY(held.held());
        held.release();
        // The end goes on alone, and takes its part file with it.
        QTRY_COMPARE_WITH_TIMEOUT(entries(folder.path()), QStringList(), kTimeoutMs);
        QCOMPARE(events->completions(quick), 0);
    }
    QVERIFY(reader.isNull());
    // The stalled connection is dropped by the client, and nothing is reported.
    QTRY_COMPARE_WITH_TIMEOUT(server.openConnections(), 0, kTimeoutMs);
    QCOMPARE(events->completions(hang), 0);
    QCOMPARE(events->of(hang).size(), 1);
    // Nothing of the abandoned download stays: no part file, no target.
    QCOMPARE(entries(folder.path()),
             destroyedIn == "completion" ? QStringList{QStringLiteral("quick")} : QStringList());
}

void tst_AsyncRead::finishingRead_leavesTheEventLoopRunning_data() {
    QTest::addColumn<AsyncReadOption>("option");
    QTest::addColumn<Kind>("failure"); // what the sync fails with; nothing: it succeeds

    QTest::newRow("plain") << AsyncReadOption::None << Kind();
    QTest::newRow("with its digest") << AsyncReadOption::Digest << Kind();
    QTest::newRow("the sync fails") << AsyncReadOption::Digest << Kind(host::Failure::Kind::WriteFailed);
}

// While a large package goes to a slow disk at the end of its read, the
// window's event loop keeps running: a 10 ms timer ticks and sees the read
// still running, without a completion. Only when the sync is let go does
// the completion come, once, with the whole file in the target's place.
void tst_AsyncRead::finishingRead_leavesTheEventLoopRunning() {
    QFETCH(AsyncReadOption, option);
    QFETCH(Kind, failure);
    constexpr int kTicks = 10;

    const QByteArray body = pattern(300000);
    FileRead read(FaultRoute::ok(body));
    const QString& name = read.name;
    QFile older(name);
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write("the older package") == 17);
    older.close();
    const HeldSync held(failure ? host::Outcome(host::Failure{*failure, QStringLiteral("the disk went away")})
                                : host::Outcome());
    int ticksWhileHeld = 0;
    int runningWhileHeld = 0;
    int completionsWhileHeld = 0;
    QTimer window;
    window.setInterval(10);
    connect(&window, &QTimer::timeout, &window, [&] {
        if (!held.held()) {
            return;
        }
        runningWhileHeld = std::max(runningWhileHeld, read.reader.runningReads());
        completionsWhileHeld += read.events.completions(name);
        if (++ticksWhileHeld == kTicks) {
            held.release();
        }
    });
    window.start();
    QVERIFY(read.run(option));
    window.stop();

    QVERIFY2(ticksWhileHeld >= kTicks, qPrintable(QStringLiteral("%1 ticks").arg(ticksWhileHeld)));
    QVERIFY(held.thread() != QThread::currentThread());
    QCOMPARE(runningWhileHeld, 1);
    QCOMPARE(completionsWhileHeld, 0);
    QCOMPARE(read.events.completions(name), 1);
    QCOMPARE(read.reader.runningReads(), 0);
    const QList<Event> seen = read.events.of(name);
    const AsyncProperty done = seen.last().property;
    QVERIFY(seen.last().completion);
    QCOMPARE(kindOf(done), failure);
    QCOMPARE(entries(read.folder.path()), QStringList{"Update201.EXE"}); // no part file
    if (failure) {
        QCOMPARE(done.Failure->detail, QStringLiteral("the disk went away"));
        QCOMPARE(done.File, QString());
        QCOMPARE(done.Digest, QByteArray());
        QCOMPARE(contentOf(name), QByteArray("the older package"));
        return;
    }
    QCOMPARE(done.File, name);
    QCOMPARE(done.BytesMax, qint64(body.size()));
    QCOMPARE(contentOf(name), body);
    QCOMPARE(done.Digest.toHex(), option == AsyncReadOption::Digest ? blake2b512(body).toHex() : QByteArray());
    QCOMPARE(seen[seen.size() - 2].property.BytesMax, qint64(body.size()));
}

void tst_AsyncRead::droppedTransfer_resumesOrFails_data() {
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<QByteArray>("value");   // the stored file; empty for a failed read
    QTest::addColumn<QString>("detail");     // part of the failure's detail of a failed read
    QTest::addColumn<int>("resumes");        // how often the transfer went on
    QTest::addColumn<QByteArray>("ifRange"); // what the second request named, when there is one
    QTest::addColumn<qint64>("announced");   // the total progress shows until the file changes
    QTest::addColumn<bool>("startsOver");    // the whole file comes again: progress restarts once

    const QByteArray body = pattern(300000), other = pattern(250000).toBase64().left(250000);
    const QByteArray v1 = "\"v1\"", v2 = "\"v2\"", date = "Mon, 07 Dec 2026 10:00:00 GMT";
    const qint64 size = body.size();
    const auto rest = FaultRoute::ranged(body, v1);
    const QString cut = QStringLiteral("closed the connection");
    for (const qint64 at : {qint64(1), qint64(65536), size / 2, size - 1}) {
        QTest::addRow("cut after %lld bytes, then the rest", at)
            << FaultRoute::ranged(body, v1, at, {rest}) << body << QString() << 1 << v1 << size << false;
    }
    QTest::newRow("cut three times") << FaultRoute::ranged(body, v1, 1000,
                                                           {FaultRoute::ranged(body, v1, 1000),
                                                            FaultRoute::ranged(body, v1, 100000), rest})
                                     << body << QString() << 3 << v1 << size << false;
    QTest::newRow("cut four times") << FaultRoute::ranged(body, v1, 1000, {FaultRoute::ranged(body, v1, 1000)})
                                    << QByteArray() << cut << 3 << v1 << size << false;
    FaultRoute stalled = FaultRoute::ranged(body, v1, 70000, {rest});
    stalled.hang = true;
    QTest::newRow("stalled, then the rest") << stalled << body << QString() << 1 << v1 << size << false;
    QTest::newRow("Last-Modified names the version")
        << FaultRoute::ranged(body, date, 5000, {FaultRoute::ranged(body, date)}) << body << QString() << 1 << date
        << size << false;
    FaultRoute ignored = FaultRoute::ok(body);
    ignored.validator = v1;
    QTest::newRow("Range ignored: the whole file again")
        << FaultRoute::ranged(body, v1, 5000, {ignored}) << body << QString() << 1 << v1 << size << true;
    QTest::newRow("file changed: If-Range sends it whole")
        << FaultRoute::ranged(body, v1, 260000, {FaultRoute::ranged(other, v2)}) << other << QString() << 1 << v1
        << size << true;
    QTest::newRow("file changed twice") << FaultRoute::ranged(body, v1, 5000,
                                                              {FaultRoute::ranged(other, v2, 5000),
                                                               FaultRoute::ranged(body, "\"v3\"")})
                                        << QByteArray() << QStringLiteral("HTTP status 200") << 2 << v1 << size << true;
    FaultRoute shifted = rest;
    shifted.rangeShift = 1;
    QTest::newRow("206 with a wrong Content-Range")
        << FaultRoute::ranged(body, v1, 5000, {shifted}) << QByteArray() << QStringLiteral("range \"bytes 5001-") << 1
        << v1 << size << false;
    QTest::newRow("206 from a file of another size")
        << FaultRoute::ranged(body, v1, 5000, {FaultRoute::ranged(pattern(310000), v1)}) << QByteArray()
        << QStringLiteral("/310000\" where bytes 5000-299999/300000") << 1 << v1 << size << false;
    // The rest of this file's bytes, but a total that is not this file's.
    FaultRoute otherTotal = FaultRoute::withStatus(206, body.mid(5000));
    otherTotal.validator = v1;
    otherTotal.extraHeaders = "Content-Range: bytes 5000-299999/310000\r\n";
    QTest::newRow("206 naming another total")
        << FaultRoute::ranged(body, v1, 5000, {otherTotal}) << QByteArray()
        << QStringLiteral("\"bytes 5000-299999/310000\" where bytes 5000-299999/300000") << 1 << v1 << size << false;
    // A cache that answers a resume with part of whatever it holds: the part
    // must name the version asked for, or the whole file is asked for anew.
    const QByteArray twin = pattern(size).toBase64().left(size); // the same size, other bytes
    const QByteArray date2 = "Tue, 08 Dec 2026 10:00:00 GMT";
    const auto misfit = [](const QByteArray& file, const QByteArray& validator) {
        FaultRoute part = FaultRoute::ranged(file, validator);
        part.ignoresIfRange = true;
        return part;
    };
    QTest::newRow("206 of another ETag: starts over")
        << FaultRoute::ranged(body, v1, 5000, {misfit(twin, v2), FaultRoute::ranged(twin, v2)}) << twin << QString()
        << 1 << v1 << size << true;
    QTest::newRow("206 without ETag: starts over")
        << FaultRoute::ranged(body, v1, 5000, {misfit(twin, QByteArray()), rest}) << body << QString() << 1 << v1
        << size << true;
    QTest::newRow("206 of another ETag twice")
        << FaultRoute::ranged(body, v1, 5000,
                              {misfit(twin, v2), FaultRoute::ranged(twin, v2, 7000), misfit(body, "\"v3\"")})
        << QByteArray() << QStringLiteral("resume of ETag \"v2\" with part of ETag \"v3\".") << 2 << v1 << size << true;
    QTest::newRow("206 of another Last-Modified: starts over")
        << FaultRoute::ranged(body, date, 5000, {misfit(twin, date2), FaultRoute::ranged(twin, date2)}) << twin
        << QString() << 1 << date << size << true;
    // Nothing stored yet: nothing to resume, and no second request.
    QTest::newRow("cut before the first byte")
        << FaultRoute::ranged(body, v1, 0, {rest}) << QByteArray() << QStringLiteral("after 0 of the 300000") << 0
        << QByteArray() << size << false;
    QTest::newRow("no validator") << FaultRoute::ranged(body, QByteArray(), 5000, {rest}) << QByteArray() << cut << 0
                                  << QByteArray() << size << false;
    QTest::newRow("weak ETag only") << FaultRoute::ranged(body, "W/\"v1\"", 5000, {rest}) << QByteArray() << cut << 0
                                    << QByteArray() << size << false;
    FaultRoute noRanges = FaultRoute::cutOff(body.left(5000), size);
    noRanges.validator = v1;
    QTest::newRow("no ranges offered") << noRanges << QByteArray() << cut << 0 << QByteArray() << size << false;
    // No 2 GiB ceiling anywhere; the free-space check sees 3 GB on the main disk.
    QTest::newRow("3 GB announced, cut") << FaultRoute::cutOff(body, 3'000'000'000) << QByteArray()
                                         << QStringLiteral("300000 of the 3000000000") << 0 << QByteArray()
                                         << qint64(3'000'000'000) << false;
}

void tst_AsyncRead::droppedTransfer_resumesOrFails() {
    QFETCH(FaultRoute, route);
    QFETCH(QByteArray, value);
    QFETCH(QString, detail);
    QFETCH(int, resumes);
    QFETCH(QByteArray, ifRange);
    QFETCH(qint64, announced);
    QFETCH(bool, startsOver);

    FileRead read(route);
    QVERIFY(read.run());
    const QString& name = read.name;

    const QList<Event> seen = read.events.of(name);
    const AsyncProperty done = seen.last().property;
    QVERIFY(seen.last().completion);
    const QString why = done.Failure ? done.Failure->detail : QString();
    QVERIFY2(why.contains(detail), qPrintable(why));
    QCOMPARE(kindOf(done), value.isEmpty() ? Kind(host::Failure::Kind::Network) : Kind());
    QCOMPARE(done.Resumes, resumes);
    QCOMPARE(contentOf(name), value);
    QCOMPARE(entries(read.folder.path()), value.isEmpty() ? QStringList() : QStringList{"Update201.EXE"});
    // Each resume asks for the rest; starting over after part of another
    // version asks once more for the whole file.
    int fresh = 0;
    for (const FaultRequest& request : read.server.requests().mid(1)) {
        fresh += request.headers.contains("range") || request.headers.contains("if-range") ? 0 : 1;
    }
    QVERIFY(fresh <= (startsOver ? 1 : 0));
    QCOMPARE(read.server.requestCount("/file"), resumes + 1 + fresh);
    if (resumes > 0) {
        const FaultRequest second = read.server.requests().value(1);
        QCOMPARE(second.headers.value("if-range"), ifRange);
        QVERIFY2(second.headers.value("range").startsWith("bytes="), second.headers.value("range").constData());
    }
    // Within one attempt progress only grows; a resumed one says so.
    qint64 previous = 0;
    int attempt = 0;
    for (qsizetype i = 0; i + 1 < seen.size(); ++i) {
        const AsyncProperty& p = seen[i].property;
        QVERIFY(p.BytesMax == announced || p.Resumes > 0); // a changed file has its own size
        QVERIFY(p.Resumes >= attempt);
        if (p.Resumes == attempt && p.BytesRead < previous) {
            QVERIFY2(startsOver, "progress went backwards");
            startsOver = false;
        }
        attempt = p.Resumes;
        previous = p.BytesRead;
    }
    QCOMPARE(attempt, resumes);
}

// A whole read takes the target's name, with the permissions of an ordinary
// file whatever was there; a name it cannot take is a failed write that
// leaves no part file and what held the name as it was.
void tst_AsyncRead::storedFile_takesTheTargetsPlace_data() {
    QTest::addColumn<QString>("occupant"); // what has the target's name before: "", "private file" or "folder"
    QTest::addColumn<bool>("stored");
    QTest::newRow("a new name") << QString() << true;
    QTest::newRow("over a private file") << QStringLiteral("private file") << true;
    QTest::newRow("a folder with a file in it") << QStringLiteral("folder") << false;
}

void tst_AsyncRead::storedFile_takesTheTargetsPlace() {
    QFETCH(QString, occupant);
    QFETCH(bool, stored);
    const QByteArray body = pattern(5000);
    FileRead read(FaultRoute::ok(body));
    const QString& name = read.name;
    if (occupant == "private file") {
        QFile older(name);
        QVERIFY(older.open(QIODevice::WriteOnly) && older.write("older") == 5);
        QVERIFY(older.setPermissions(QFile::ReadOwner | QFile::WriteOwner));
    } else if (occupant == "folder") {
        QVERIFY(QDir(read.folder.path()).mkpath(QStringLiteral("Update201.EXE/inside")));
    }
    QVERIFY(read.run());

    const AsyncProperty done = read.events.completion(name);
    QCOMPARE(entries(read.folder.path()), QStringList{"Update201.EXE"}); // no part file
    if (stored) {
        QCOMPARE(kindOf(done), Kind());
        QCOMPARE(contentOf(name), body);
        struct stat info {};
        QCOMPARE(::stat(QFile::encodeName(name).constData(), &info), 0);
        QCOMPARE(info.st_mode & 07777, mode_t(0644));
    } else {
        QCOMPARE(kindOf(done), Kind(host::Failure::Kind::WriteFailed));
        QCOMPARE(done.Failure ? done.Failure->detail : QString(), qt_error_string(EISDIR));
        QCOMPARE(done.File, QString());
        QCOMPARE(entries(name), QStringList{"inside"});
    }
}

void tst_AsyncRead::smallDisk_failsAndKeepsTheOlderFile_data() {
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<bool>("fillDuringTransfer"); // someone else takes the free space once bytes flow
    QTest::addColumn<Kind>("failure");
    QTest::addColumn<QString>("detail"); // %1: the folder; empty: the system's reason for a full disk

    const QByteArray body = pattern(400 * 1024);
    QTest::newRow("announced beyond the free space")
        << FaultRoute::ok(body) << false << Kind(host::Failure::Kind::NoSpace)
        << QStringLiteral("%1 needs 409600 bytes and has ");
    // Without a length nothing tells how much is coming: the read stops
    // while 5% of the disk (at most 1 GiB) is still free.
    QTest::newRow("unannounced, beyond the disk's margin")
        << FaultRoute::chunked(body) << false << Kind(host::Failure::Kind::TooLarge)
        << QStringLiteral("without announcing a length; storing them would leave less than 1310");
    QTest::newRow("disk filled during the transfer") << FaultRoute::trickle(body.left(200000), 8192, 5) << true
                                                     << Kind(host::Failure::Kind::WriteFailed) << QString();
}

void tst_AsyncRead::smallDisk_failsAndKeepsTheOlderFile() {
    QFETCH(FaultRoute, route);
    QFETCH(bool, fillDuringTransfer);
    QFETCH(Kind, failure);
    QFETCH(QString, detail);
    const SmallDisk dir("256k");
    if (!dir.mounted()) {
        QSKIP(qPrintable(dir.error()));
    }
    const QString target = dir.filePath("Update201.EXE");
    QFile older(target);
    QVERIFY(older.open(QIODevice::WriteOnly) && older.write("the older package") == 17);
    older.close();

    mServer.route("/disk", route);
    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    Events events(reader);
    if (fillDuringTransfer) {
        connect(&reader, &download::AsyncReader::AsyncReadProgress, &reader, [&dir] {
            QFile filler(dir.filePath("filler"));
            if (filler.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
                while (filler.write(QByteArray(4096, 'f')) > 0) {
                }
            }
        });
    }
    QVERIFY(!reader.AsyncRead(mServer.url("/disk").toString(), target, kNoLimit));
    QTRY_COMPARE_WITH_TIMEOUT(events.completions(target), 1, kTimeoutMs);

    const AsyncProperty done = events.completion(target);
    QCOMPARE(kindOf(done), failure);
    QCOMPARE(done.BytesMax, qint64(0));
    if (detail.isEmpty()) {
        QCOMPARE(done.Failure->detail, qt_error_string(ENOSPC));
    } else {
        const QString expected = detail.contains(QLatin1String("%1")) ? detail.arg(dir.path()) : detail;
        QVERIFY2(done.Failure->detail.contains(expected), qPrintable(done.Failure->detail));
    }
    if (failure == Kind(host::Failure::Kind::NoSpace)) {
        QCOMPARE(events.of(target).size(), 1); // at once: no byte was taken
    }
    QCOMPARE(contentOf(target), QByteArray("the older package"));
    QDir(dir.path()).remove("filler");
    QCOMPARE(entries(dir.path()), QStringList{"Update201.EXE"});
}

void tst_AsyncRead::digest_isThatOfTheStoredFile_data() {
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<AsyncReadOption>("option");
    QTest::addColumn<QByteArray>("value"); // the stored file; empty for a failed read

    // Several megabytes, so that the hashing thread's buffers go round more than once.
    const QByteArray big = pattern(9'000'001), body = pattern(300000), other = pattern(250000).toBase64().left(250000);
    const QByteArray v1 = "\"v1\"";
    const auto rest = FaultRoute::ranged(body, v1);
    const auto digest = AsyncReadOption::Digest;
    QTest::newRow("whole at once") << FaultRoute::ok(big) << digest << big;
    QTest::newRow("chunked") << FaultRoute::chunked(body) << digest << body;
    QTest::newRow("not asked for") << FaultRoute::ok(body) << AsyncReadOption::None << body;
    for (const qint64 at : {qint64(1), qint64(65536), qint64(body.size() - 1)}) {
        QTest::addRow("resumed after %lld bytes", at) << FaultRoute::ranged(body, v1, at, {rest}) << digest << body;
    }
    QTest::newRow("resumed three times") << FaultRoute::ranged(big, v1, 1000,
                                                               {FaultRoute::ranged(big, v1, 1000),
                                                                FaultRoute::ranged(big, v1, 4'000'000),
                                                                FaultRoute::ranged(big, v1)})
                                         << digest << big;
    FaultRoute ignored = FaultRoute::ok(body);
    ignored.validator = v1;
    QTest::newRow("restarted: Range ignored") << FaultRoute::ranged(body, v1, 5000, {ignored}) << digest << body;
    QTest::newRow("restarted: the file changed")
        << FaultRoute::ranged(body, v1, 260000, {FaultRoute::ranged(other, "\"v2\"")}) << digest << other;
    FaultRoute otherPart = FaultRoute::ranged(other + other.left(body.size() - other.size()), "\"v2\"");
    otherPart.ignoresIfRange = true;
    QTest::newRow("restarted: part of another version")
        << FaultRoute::ranged(body, v1, 260000, {otherPart, FaultRoute::ranged(other, "\"v2\"")}) << digest << other;
    QTest::newRow("failed") << FaultRoute::cutOff(body.left(5000), body.size()) << digest << QByteArray();
}

void tst_AsyncRead::digest_isThatOfTheStoredFile() {
    QFETCH(FaultRoute, route);
    QFETCH(AsyncReadOption, option);
    QFETCH(QByteArray, value);

    FileRead read(route);
    QVERIFY(read.run(option));
    const QString& name = read.name;

    const AsyncProperty done = read.events.completion(name);
    QCOMPARE(contentOf(name), value);
    const bool digested = option == AsyncReadOption::Digest && !value.isEmpty();
    QCOMPARE(done.Digest.toHex(), digested ? blake2b512(value).toHex() : QByteArray());
}

void tst_AsyncRead::digestFollower_resultCoversEveryStoredByte_data() {
    QTest::addColumn<qsizetype>("size");
    QTest::addColumn<QList<qint64>>("reported"); // what the writer reports before it asks for the digest
    QTest::addColumn<int>("pauseMs");            // time the hashing gets to catch up before the digest is asked for

    constexpr qsizetype kBlock = 1024 * 1024;
    QList<qint64> everyBlock;
    for (qsizetype at = kBlock; at < 64 * kBlock + 1000; at += kBlock) {
        everyBlock << at;
    }
    // Reported faster than it can be hashed: writing is quicker than hashing.
    QTest::newRow("reported every MiB, asked at once") << 64 * kBlock + 1000 << everyBlock << 0;
    // The last byte is only in the digest's own request.
    QTest::newRow("hashed up to the last byte but one") << qsizetype(1000) << QList<qint64>{999} << 1000;
}

void tst_AsyncRead::digestFollower_resultCoversEveryStoredByte() {
    QFETCH(qsizetype, size);
    QFETCH(QList<qint64>, reported);
    QFETCH(int, pauseMs);
    const QByteArray all = pattern(size);
    const QByteArray expected = blake2b512(all).toHex();
    QTemporaryDir folder;
    const QString path = folder.filePath("part");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Unbuffered));
    download::Blake2bFollower follower(path);

    QCOMPARE(file.write(all), all.size());
    for (const qint64 at : reported) {
        follower.stored(at);
    }
    QThread::msleep(pauseMs);
    const QByteArray digest = follower.result(all.size()); // before anything else takes time
    QCOMPARE(digest.toHex(), expected);

    // A file that no longer holds what was reported gives no digest at all.
    QVERIFY(file.resize(10));
    QVERIFY(follower.result(20).isEmpty());
}

void tst_AsyncRead::logLines_escapeWhatCouldBreakThem_data() {
    QTest::addColumn<QString>("text"); // what a server or a file said
    QTest::addColumn<QString>("line"); // how a log line quotes it

    const QString same; // unchanged
    QTest::newRow("plain text") << "HTTP status 404 File not found" << same;
    QTest::newRow("Vietnamese") << QStringLiteral("Lỗi không kết nối đến máy chủ được") << same;
    QTest::newRow("Windows path") << R"(C:\Program Files\new\tab\x41)" << same;
    QTest::newRow("emoji beyond 16 bits") << QStringLiteral("ok \U0001F600") << same;
    QTest::newRow("line feed before a forged line") << "2.0.1\nkelvane.check: recorded ServerVersion 9.9"
                                                    << R"(2.0.1\nkelvane.check: recorded ServerVersion 9.9)";
    QTest::newRow("CR LF and tab") << "a\r\n\tb"
                                   << R"(a\r\n\tb)";
    QTest::newRow("NUL, escape and DEL") << QString::fromLatin1("a\0b\x1b[31mc\x7f", 10) << R"(a\x00b\x1b[31mc\x7f)";
    QTest::newRow("C1 controls") << QStringLiteral("a\u0085b\u009bc") << R"(a\u0085b\u009bc)";
    QTest::newRow("line and paragraph separators") << QStringLiteral("a\u2028b\u2029") << R"(a\u2028b\u2029)";
    QTest::newRow("bidirectional override") << QStringLiteral("Update\u202Eexe.txt") << R"(Update\u202eexe.txt)";
    QTest::newRow("zero width, isolate, byte order mark")
        << QStringLiteral("\u200Ba\u2066b\uFEFF") << R"(\u200ba\u2066b\ufeff)";
    QTest::newRow("format character beyond 16 bits") << QStringLiteral("a\U000E0001b") << R"(a\U000e0001b)";
}

void tst_AsyncRead::logLines_escapeWhatCouldBreakThem() {
    QFETCH(QString, text);
    QFETCH(QString, line);
    if (line.isEmpty()) {
        line = text;
    }
    QCOMPARE(host::EscapeControls(text), line);

    // The same through Qt's logging, as the program installs it at start.
    host::InstallLogEscaping();
    host::InstallLogEscaping(); // once only: a second call must not chain the handler to itself
    QTest::ignoreMessage(QtWarningMsg, QRegularExpression("^" + QRegularExpression::escape(line) + "$"));
    qCWarning(host::lcDownload).noquote() << text;
}

namespace {

// The first run of a kept download: the server sends the first half of
// `body` and goes silent; the read is abandoned there, as a window closed or
// a program killed leaves it. The part and its record stay in `folder`.
constexpr qint64 kHalf = 150000;
const QByteArray kV1 = "\"v1\"";

bool abandonHalfway(const QString& url, const QString& name, const AsyncReadOptions& options) {
    auto reader = std::make_unique<download::NetworkAsyncReader>(nullptr, 10s);
    Events events(*reader);
    if (reader->AsyncRead(url, name, kNoLimit, options)) {
        return false;
    }
    const bool halfway = QTest::qWaitFor(
        [&events, &name] { return !events.of(name).isEmpty() && events.of(name).last().property.BytesRead == kHalf; },
        kTimeoutMs);
    reader.reset();
    download::DurableSteps::WaitForAll();
    return halfway && events.completions(name) == 0;
}

AsyncReadOptions resumable(const QByteArray& release = QByteArray()) {
    AsyncReadOptions options;
    options.resumable = true;
    options.release = release;
    return options;
}

FaultRoute firstHalf(const QByteArray& body, const QByteArray& validator, const QList<FaultRoute>& then = {}) {
    FaultRoute route = FaultRoute::ranged(body, validator, kHalf, then);
    route.hang = true;
    return route;
}

bool rewrite(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

} // namespace

// A read left halfway keeps its part and its record, all of its bytes
// recorded, when a later run can continue it; otherwise nothing stays. A
// read that fails keeps them only for a reason a later run can mend.
void tst_AsyncRead::keptPart_staysOnlyWhenALaterRunCanGoOn_data() {
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<bool>("resumable");
    QTest::addColumn<bool>("abandoned"); // false: the read fails, as the route makes it
    QTest::addColumn<bool>("kept");

    const QByteArray body = pattern(300000);
    QTest::newRow("abandoned") << firstHalf(body, kV1) << true << true << true;
    QTest::newRow("abandoned, not resumable") << firstHalf(body, kV1) << false << true << false;
    QTest::newRow("abandoned, the server names no version") << firstHalf(body, QByteArray()) << true << true << false;
    QTest::newRow("cut four times") << FaultRoute::ranged(body, kV1, 1000) << true << false << true;
    QTest::newRow("cut before the first byte") << FaultRoute::ranged(body, kV1, 0) << true << false << false;
}

void tst_AsyncRead::keptPart_staysOnlyWhenALaterRunCanGoOn() {
    QFETCH(FaultRoute, route);
    QFETCH(bool, resumable);
    QFETCH(bool, abandoned);
    QFETCH(bool, kept);

    FileRead read(route);
    AsyncReadOptions options;
    options.resumable = resumable;
    if (abandoned) {
        QVERIFY(abandonHalfway(read.server.url("/file").toString(), read.name, options));
    } else {
        QVERIFY(!read.reader.AsyncRead(read.server.url("/file").toString(), read.name, kNoLimit, options));
        QTRY_COMPARE_WITH_TIMEOUT(read.events.completions(read.name), 1, kTimeoutMs);
        download::DurableSteps::WaitForAll();
    }
    const QString part = download::KeptPartPath(read.name);
    const QStringList both{QFileInfo(part).fileName(), QFileInfo(download::ResumeRecordPath(read.name)).fileName()};
    QCOMPARE(entries(read.folder.path()), kept ? both : QStringList());
    if (kept) {
        const QByteArray stored = contentOf(part);
        QVERIFY(!stored.isEmpty());
        QCOMPARE(stored, pattern(300000).left(stored.size()));
        const download::RecordReading reading = download::ReadResumeRecord(download::ResumeRecordPath(read.name));
        QVERIFY(reading.record);
        QCOMPARE(reading.record->durable, qint64(stored.size()));
        QCOMPARE(reading.record->validator, kV1);
        QCOMPARE(reading.record->total, qint64(300000));
        QCOMPARE(QFile(part).permissions() & (QFile::ReadGroup | QFile::ReadOther), QFile::Permissions());
    }
}

// A later read of the same address and file continues the part where the
// earlier run left it, once its record proves it can; any doubt discards
// it, says why in one line, and the read starts over.
void tst_AsyncRead::keptPart_isContinuedOrStartsOver_data() {
    QTest::addColumn<FaultRoute>("then");   // the server's answers in the later run
    QTest::addColumn<QString>("change");    // what happened to the part in between
    QTest::addColumn<QByteArray>("value");  // the stored file
    QTest::addColumn<qint64>("rangeFrom");  // where the later run's first request starts; -1: no range
    QTest::addColumn<QString>("discarded"); // part of the log line that says why; empty: continued

    const QByteArray body = pattern(300000);
    const QByteArray other = pattern(280000).toBase64().left(280000);
    const FaultRoute rest = FaultRoute::ranged(body, kV1);
    QTest::newRow("continued") << rest << QString() << body << kHalf << QString();
    QTest::newRow("killed before its last step: in the same boot the whole part counts")
        << rest << "unsynced" << body << kHalf << QString();
    QTest::newRow("the computer restarted: only the synced bytes count")
        << rest << "restart" << body << qint64(100000) << QString();
    QTest::newRow("the part holds the whole file: the last byte proves it")
        << rest << "complete" << body << qint64(299999) << QString();
    QTest::newRow("the file was replaced") << FaultRoute::ranged(other, "\"v2\"") << QString() << other << kHalf
                                           << QStringLiteral("changed since (it is no longer \"v1\")");
    QTest::newRow("another total") << FaultRoute::ranged(pattern(310000), kV1) << QString() << pattern(310000) << kHalf
                                   << QStringLiteral("where bytes 150000-299999/300000 were asked for");
    QTest::newRow("another address") << rest << "address" << body << qint64(-1)
                                     << QStringLiteral("from another address");
    QTest::newRow("another release") << rest << "release" << body << qint64(-1) << QStringLiteral("another release");
    QTest::newRow("a damaged record") << rest << "damaged" << body << qint64(-1)
                                      << QStringLiteral("its record cannot be read");
    QTest::newRow("no record") << rest << "no record" << body << qint64(-1)
                               << QStringLiteral("there is no record beside it");
    QTest::newRow("a part shorter than its synced bytes")
        << rest << "shortened" << body << qint64(-1) << QStringLiteral("fewer than the 150000 bytes");
}

void tst_AsyncRead::keptPart_isContinuedOrStartsOver() {
    QFETCH(FaultRoute, then);
    QFETCH(QString, change);
    QFETCH(QByteArray, value);
    QFETCH(qint64, rangeFrom);
    QFETCH(QString, discarded);

    const QByteArray body = pattern(300000);
    FileRead read(firstHalf(body, kV1, {then}));
    read.server.route("/elsewhere", then);
    QVERIFY(abandonHalfway(read.server.url("/file").toString(), read.name, resumable("size 300000")));
    const QString part = download::KeptPartPath(read.name);
    const QString recordPath = download::ResumeRecordPath(read.name);
    download::ResumeRecord record = *download::ReadResumeRecord(recordPath).record;
    if (change == QLatin1String("restart")) {
        record.boot = "another boot";
        record.durable = 100000;
        QVERIFY(rewrite(recordPath, download::EncodeResumeRecord(record)));
    } else if (change == QLatin1String("unsynced")) {
        record.durable = 100000;
        QVERIFY(rewrite(recordPath, download::EncodeResumeRecord(record)));
    } else if (change == QLatin1String("complete")) {
        QVERIFY(rewrite(part, body));
    } else if (change == QLatin1String("damaged")) {
        QVERIFY(rewrite(recordPath, "{\"kind\": "));
    } else if (change == QLatin1String("no record")) {
        QVERIFY(QFile::remove(recordPath));
    } else if (change == QLatin1String("shortened")) {
        QVERIFY(QFile::resize(part, 1000));
    }
    if (!discarded.isEmpty()) {
        QTest::ignoreMessage(QtInfoMsg, QRegularExpression(QRegularExpression::escape(discarded)));
    }
    const QString url = read.server.url(change == QLatin1String("address") ? "/elsewhere" : "/file").toString();
    QList<qint64> progress;
    connect(&read.reader, &download::AsyncReader::AsyncReadProgress, &read.reader,
            [&progress](const AsyncProperty& p) { progress.append(p.Kept > 0 ? p.BytesRead : -1); });
    QVERIFY(!read.reader.AsyncRead(url, read.name, kNoLimit,
                                   resumable(change == QLatin1String("release") ? "size 310000" : "size 300000")));
    QTRY_COMPARE_WITH_TIMEOUT(read.events.completions(read.name), 1, kTimeoutMs);
    download::DurableSteps::WaitForAll();

    QCOMPARE(kindOf(read.events.completion(read.name)), Kind());
    QCOMPARE(contentOf(read.name), value);
    QCOMPARE(entries(read.folder.path()), QStringList{"Update201.EXE"});
    const FaultRequest second = read.server.requests().value(1);
    QCOMPARE(second.headers.value("range"),
             rangeFrom < 0 ? QByteArray() : "bytes=" + QByteArray::number(rangeFrom) + '-');
    QCOMPARE(second.headers.value("if-range"), rangeFrom < 0 ? QByteArray() : kV1);
    // Continued: the first progress shows the kept bytes before the server answers.
    QVERIFY(!progress.isEmpty());
    QCOMPARE(progress.first(), rangeFrom < 0 ? qint64(-1) : rangeFrom);
    qint64 served = 0;
    for (const FaultRequest& request : read.server.requests()) {
        served += request.headers.contains("range") && discarded.isEmpty() ? 0 : 1;
    }
    QVERIFY(served <= 2 + (discarded.isEmpty() ? 0 : 1));
}

// Steps sync the part and then record what the sync covered; a restart
// takes the record away before the emptied part takes new bytes; after a
// stop nothing is recorded.
void tst_AsyncRead::durableSteps_recordOnlySyncedBytes() {
    QTemporaryDir folder;
    const QString target = folder.filePath("Update201.EXE");
    host::Outcome error;
    const std::unique_ptr<download::PartFile> part =
        download::PartFile::OpenKept(download::KeptPartPath(target), 0, error);
    QVERIFY(part);
    part->Keep();
    download::ResumeRecord record;
    record.url = "http://example.test/p";
    record.file = "Update201.EXE";
    record.validator = kV1;
    record.total = 400000;
    download::DurableSteps::Policy policy;
    policy.stepBytes = 65536;
    policy.stepTime = 1h;
    policy.writebackBytes = 16384;
    const QString recordPath = download::ResumeRecordPath(target);
    const auto durable = [&recordPath] {
        download::DurableSteps::WaitForAll();
        const download::RecordReading reading = download::ReadResumeRecord(recordPath);
        return reading.record ? reading.record->durable : qint64(-1);
    };
    download::DurableSteps steps(part->handle(), recordPath, record, policy);
    QCOMPARE(durable(), qint64(0));

    const QByteArray bytes = pattern(140000);
    for (const qint64 upTo : {qint64(70000), qint64(100000), qint64(140000)}) {
        QVERIFY(part->write(bytes.constData() + part->pos(), upTo - part->pos()) > 0);
        steps.written(upTo);
        QCOMPARE(durable(), upTo == 100000 ? qint64(70000) : upTo); // 100000 is less than a step past 70000
    }
    record.validator = "\"v2\"";
    QVERIFY(part->resize(0) && part->seek(0));
    steps.restart(record);
    QVERIFY(!download::ReadResumeRecord(recordPath).record); // gone at once
    QCOMPARE(durable(), qint64(0));
    QCOMPARE(download::ReadResumeRecord(recordPath).record->validator, QByteArray("\"v2\""));
    QVERIFY(part->write(bytes) == bytes.size());
    steps.stop();
    steps.flush(bytes.size());
    QCOMPARE(durable(), qint64(0));
}

void tst_AsyncRead::rateWatch_averagesOverTheWindow_data() {
    QTest::addColumn<QList<qint64>>("bytes"); // the bytes in all, one figure a second from the start
    QTest::addColumn<qint64>("rate");         // at the last second; -1: still exempt
    QTest::addColumn<bool>("crawls");         // under 1024 bytes a second

    const auto steady = [](qint64 perSecond, int seconds) {
        QList<qint64> bytes;
        for (int i = 0; i <= seconds; ++i) {
            bytes.append(perSecond * i);
        }
        return bytes;
    };
    QTest::newRow("exempt at first") << steady(0, 9) << qint64(-1) << false;
    QTest::newRow("2000 bytes a second") << steady(2000, 90) << qint64(2000) << false;
    QTest::newRow("just under the floor") << steady(1023, 90) << qint64(1023) << true;
    QList<qint64> byteEvery25s; // a link kept alive by a byte now and then
    for (int i = 0; i <= 100; ++i) {
        byteEvery25s.append(i / 25);
    }
    QTest::newRow("a byte every 25 s") << byteEvery25s << qint64(0) << true;
    QList<qint64> burst = steady(0, 120); // a fast start, then silence: only the last minute counts
    for (int i = 1; i <= 120; ++i) {
        burst[i] = 10'000'000;
    }
    QTest::newRow("a burst two minutes ago") << burst << qint64(0) << true;
    QList<qint64> recent = steady(0, 70); // 70 s of nothing, then 120 KiB in the last second
    recent[70] = 120 * 1024;
    QTest::newRow("the last minute brought enough") << recent << qint64(120 * 1024 / 60) << false;
}

void tst_AsyncRead::rateWatch_averagesOverTheWindow() {
    QFETCH(QList<qint64>, bytes);
    QFETCH(qint64, rate);
    QFETCH(bool, crawls);

    download::RateWatch watch(download::RateWatch::Policy{1024, 60s, 10s});
    watch.start(5000);
    qint64 now = 5000;
    for (const qint64 sofar : bytes) {
        watch.add(now, sofar);
        now += 1000;
    }
    now -= 1000;
    QCOMPARE(watch.rate(now), rate);
    QCOMPARE(watch.crawls(now), crawls);
}

// A transfer that brings less than its floor stalls, as one that brings
// nothing does: it resumes where the server can, and the fourth stall fails
// it, naming the rate. While it crawls its progress says how fast. A read
// with a deadline fails when it is not done by then, however fast.
void tst_AsyncRead::slowTransfer_stallsUnderTheFloor_data() {
    QTest::addColumn<FaultRoute>("route");
    QTest::addColumn<int>("deadlineMs"); // 0: none
    QTest::addColumn<Kind>("failure");
    QTest::addColumn<int>("requests");
    QTest::addColumn<QString>("detail");

    const QByteArray body = pattern(20000);
    const auto slow = Kind(host::Failure::Kind::TooSlow);
    FaultRoute crawl = FaultRoute::trickle(body, 10, 50); // 200 bytes a second
    QTest::newRow("crawling, no ranges: fails at once")
        << crawl << 0 << slow << 1 << QStringLiteral("The transfer crawled at ");
    FaultRoute crawlRanged = FaultRoute::ranged(body, kV1);
    crawlRanged.chunkSize = 10;
    crawlRanged.chunkIntervalMs = 50;
    QTest::newRow("crawling with ranges: the fourth stall fails")
        << crawlRanged << 0 << slow << 4 << QStringLiteral("under the floor of 1000 bytes/s");
    QTest::newRow("fast enough") << FaultRoute::trickle(body, 2000, 20) << 0 << Kind() << 1 << QString();
    QTest::newRow("past its deadline") << FaultRoute::trickle(body, 1000, 50) << 300 << slow << 1
                                       << QStringLiteral("did not arrive within 0.3 s");
}

void tst_AsyncRead::slowTransfer_stallsUnderTheFloor() {
    QFETCH(FaultRoute, route);
    QFETCH(int, deadlineMs);
    QFETCH(Kind, failure);
    QFETCH(int, requests);
    QFETCH(QString, detail);

    FileRead read(route);
    read.reader.setRateFloor(download::RateWatch::Policy{1000, 600ms, 300ms});
    AsyncReadOptions options;
    options.deadline = std::chrono::milliseconds(deadlineMs);
    QVERIFY(!read.reader.AsyncRead(read.server.url("/file").toString(), read.name, kNoLimit, options));
    QTRY_COMPARE_WITH_TIMEOUT(read.events.completions(read.name), 1, kTimeoutMs);

    const AsyncProperty done = read.events.completion(read.name);
    QCOMPARE(kindOf(done), failure);
    QCOMPARE(read.server.requestCount("/file"), requests);
    const QString why = done.Failure ? done.Failure->detail : QString();
    QVERIFY2(why.contains(detail), qPrintable(why));
    bool told = false;
    for (const Event& event : read.events.of(read.name)) {
        told = told || (!event.completion && event.property.CrawlRate >= 0 && event.property.CrawlRate < 1000);
    }
    QCOMPARE(told, why.contains(QLatin1String("crawled")));
}

// A transfer is a job: start() only schedules it, so even a request that
// cannot start ends in the one result, later; a kill ends it without one;
// either way it deletes itself, unless told not to.
void tst_AsyncRead::transferJob_startsLaterEndsOnceAndGoes_data() {
    QTest::addColumn<QString>("path"); // on the fault server; empty: an address that can never be read
    QTest::addColumn<bool>("kill");
    QTest::addColumn<bool>("autoDelete");
    QTest::addColumn<Kind>("failure"); // of the one result; no result after a kill
    QTest::newRow("whole") << "/target" << false << true << Kind();
    QTest::newRow("kept after its result") << "/target" << false << false << Kind();
    QTest::newRow("no usable address") << QString() << false << true << Kind(host::Failure::Kind::NotStarted);
    QTest::newRow("killed") << "/target" << true << true << Kind();
}

void tst_AsyncRead::transferJob_startsLaterEndsOnceAndGoes() {
    QFETCH(QString, path);
    QFETCH(bool, kill);
    QFETCH(bool, autoDelete);
    QFETCH(Kind, failure);

    download::NetworkAsyncReader reader(nullptr, kStallLimit);
    QTemporaryDir folder;
    const QString target = path.isEmpty() ? QStringLiteral("ftp://nowhere/x") : mServer.url(path).toString();
    const QPointer<download::Transfer> job = reader.transfer(target, folder.filePath("read"), kNoLimit);
    job->setAutoDelete(autoDelete);
    QList<AsyncProperty> results;
    connect(job, &download::Transfer::result, this,
            [&results](download::Transfer* done) { results.append(done->outcome()); });
    job->start();
    QVERIFY(results.isEmpty()); // nothing yet, whatever the request
    if (kill) {
        job->kill();
    }
    QVERIFY(QTest::qWaitFor([&] { return !job || (!autoDelete && job->isFinished()); }, kTimeoutMs));
    QTest::qWait(50); // a second result would come now
    QCOMPARE(results.size(), kill ? 0 : 1);
    QCOMPARE(bool(job), !autoDelete);
    if (!kill) {
        QCOMPARE(kindOf(results.first()), failure);
        QCOMPARE(results.first().Failure ? results.first().Failure->code : 0,
                 failure ? download::AsyncReadErrorNumber::UnsupportedScheme : 0);
    }
    QCOMPARE(entries(folder.path()), kill || failure ? QStringList() : QStringList{"read"});
    delete job;
}

// Only a part with its record, young enough, and of the package now
// published stays; its record half written, an orphan on either side, and
// files that merely look alike are told apart.
void tst_AsyncRead::keptParts_tidyingSparesOnlyWhatCanGoOn_data() {
    QTest::addColumn<QStringList>("files"); // name[:days old]
    QTest::addColumn<QString>("keepOnly");
    QTest::addColumn<QStringList>("left");
    const QString part = QStringLiteral(".Kelvane-Update201.EXE.part"),
                  record = QStringLiteral(".Kelvane-Update201.EXE.resume");
    const QString older = QStringLiteral(".Kelvane-Update200.EXE.part"),
                  olderRecord = QStringLiteral(".Kelvane-Update200.EXE.resume");
    QTest::newRow("a part with its record") << QStringList{part, record} << QString() << QStringList{part, record};
    QTest::newRow("13 days old") << QStringList{part + ":13", record} << QString() << QStringList{part, record};
    QTest::newRow("15 days old") << QStringList{part + ":15", record} << QString() << QStringList();
    QTest::newRow("a part without its record") << QStringList{part} << QString() << QStringList();
    QTest::newRow("a record without its part") << QStringList{record} << QString() << QStringList();
    QTest::newRow("a record half written")
        << QStringList{part, record, record + "-a1B2c3"} << QString() << QStringList{part, record};
    QTest::newRow("another release is published") << QStringList{part, record, older, olderRecord}
                                                  << QStringLiteral("Update201.EXE") << QStringList{part, record};
    QTest::newRow("not Kelvane's") << QStringList{"Kelvane-Update201.EXE.part", ".Kelvane", "Update201.EXE"}
                                   << QStringLiteral("Update202.EXE")
                                   << QStringList{".Kelvane", "Kelvane-Update201.EXE.part", "Update201.EXE"};
}

void tst_AsyncRead::keptParts_tidyingSparesOnlyWhatCanGoOn() {
    QFETCH(QStringList, files);
    QFETCH(QString, keepOnly);
    QFETCH(QStringList, left);
    QTemporaryDir folder;
    for (const QString& entry : files) {
        QFile file(folder.filePath(entry.section(QLatin1Char(':'), 0, 0)));
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("x") == 1 && file.flush());
        const int days = entry.section(QLatin1Char(':'), 1).toInt();
        QVERIFY(file.setFileTime(QDateTime::currentDateTime().addDays(-days), QFileDevice::FileModificationTime));
    }
    download::TidyKeptParts(folder.path(), keepOnly, 14);
    QStringList found = entries(folder.path());
    found.sort();
    left.sort();
    QCOMPARE(found, left);
}

// A record is input like any other file: what another version wrote, a
// field of the wrong kind, a count that no byte count can be, or a value
// that was never Latin-1 is no record.
void tst_AsyncRead::resumeRecord_readsOnlyWhatWasWritten_data() {
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("read");
    download::ResumeRecord record;
    record.url = "http://h/p";
    record.file = "Update201.EXE";
    record.validator = "\"v1\"";
    record.total = 3'000'000'000;
    record.durable = 2'000'000'000;
    const QByteArray good = download::EncodeResumeRecord(record);
    QTest::newRow("as written") << good << true;
    QTest::newRow("another kind") << QByteArray(good).replace("kept download 1", "kept download 2") << false;
    QTest::newRow("a count as text") << QByteArray(good).replace("2000000000", "\"2000000000\"") << false;
    QTest::newRow("a negative count") << QByteArray(good).replace("2000000000", "-5") << false;
    QTest::newRow("a count beyond 2^53") << QByteArray(good).replace("3000000000", "1e300") << false;
    QTest::newRow("a fraction") << QByteArray(good).replace("2000000000", "0.5") << false;
    QTest::newRow("a validator beyond Latin-1") << QByteArray(good).replace("\\\"v1\\\"", "\\u20ac") << false;
    QTest::newRow("no address") << QByteArray(good).replace("\"url\"", "\"address\"") << false;
    QTest::newRow("not JSON") << QByteArray("url=http://h/p\n") << false;
    QTest::newRow("too large") << good + QByteArray(70000, ' ') << false;
}

void tst_AsyncRead::resumeRecord_readsOnlyWhatWasWritten() {
    QFETCH(QByteArray, bytes);
    QFETCH(bool, read);
    QTemporaryDir folder;
    const QString path = folder.filePath(".Kelvane-Update201.EXE.resume");
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size());
    file.close();
    const download::RecordReading reading = download::ReadResumeRecord(path);
    QCOMPARE(bool(reading.record), read);
    QCOMPARE(bool(reading.failure), !read);
    if (read) {
        QCOMPARE(reading.record->total, qint64(3'000'000'000));
        QCOMPARE(reading.record->durable, qint64(2'000'000'000));
        QCOMPARE(reading.record->validator, QByteArray("\"v1\""));
    }
}

QTEST_GUILESS_MAIN(tst_AsyncRead)
#include "tst_asyncread.moc"
