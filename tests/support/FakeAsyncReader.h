#pragma once

#include "download/AsyncRead.h"

#include <QList>
#include <QPointer>

// A reader that reaches no network: it records each transfer it is asked
// for and emits only the progress and results a test scripts, by the
// transfer's file name (the latest transfer of that name that has not
// ended). A transfer whose request can never be read ends as the real ones
// do, when it starts. After a scripted result, what it sets off later (a
// proof, a job's end) has happened by the time the call returns.
class FakeAsyncReader : public download::AsyncReader {
    Q_OBJECT
public:
    struct Started {
        QString target;
        QString propertyName;
        qint64 maxBytes = 0;
        download::AsyncReadOptions options;
    };

    using download::AsyncReader::AsyncReader;

    download::Transfer* transfer(const QString& target, const QString& propertyName, qint64 maxBytes,
                                 const download::AsyncReadOptions& options = {}) override;

    // The next transfer refuses to start with this error (once): its result
    // says so when it starts.
    std::optional<download::AsyncReadError> refuseNext;
    QList<Started> started;
    // False: a scripted result returns before what it sets off, for a test
    // that looks at the steps in between.
    bool settle = true;

    void progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes = 0, qint64 kept = 0,
                  qint64 crawlRate = -1);
    // A successful read of `content`: the file `propertyName` gets it, as the
    // real reader stores it (BytesMax = its size), with the content's digest
    // when the read asked for one, under its part's name when the read
    // leaves the content to be proven. Where it cannot be stored,
    // a WriteFailed completion with the system's reason, as the real one.
    void complete(const QString& propertyName, const QByteArray& content);
    // A failed read (BytesMax 0).
    void fail(const QString& propertyName, host::Failure::Kind failure = host::Failure::Kind::Network,
              const QString& detail = QStringLiteral("scripted failure"));

private:
    class Job;
    Job* find(const QString& propertyName) const;
    QList<QPointer<Job>> mJobs;
};
