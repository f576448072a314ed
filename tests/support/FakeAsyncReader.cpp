#include "tests/support/FakeAsyncReader.h"

#include "download/Blake2b.h"
#include "download/KeptPart.h"
#include "host/SaveFile.h"

#include <QCoreApplication>

// A transfer that does only what its test scripts.
class FakeAsyncReader::Job : public download::Transfer {
public:
    Job(Request request, std::optional<download::AsyncReadError> refusal, QObject* parent)
        : Transfer(std::move(request), parent), mRefusal(std::move(refusal)) {}

    void scriptProgress(const download::AsyncProperty& property) { emitProgress(property); }
    void scriptResult(const download::AsyncProperty& outcome) { emitResult(outcome); }

protected:
    void doStart(const QUrl&) override {
        if (mRefusal) {
            download::AsyncProperty refused;
            refused.Failure = host::Failure{host::Failure::Kind::NotStarted, mRefusal->Description, mRefusal->Number};
            emitResult(refused);
        }
    }
    void doKill() override {}

private:
    std::optional<download::AsyncReadError> mRefusal;
};

download::Transfer* FakeAsyncReader::transfer(const QString& target, const QString& propertyName, qint64 maxBytes,
                                              const download::AsyncReadOptions& options) {
    started.append({target, propertyName, maxBytes, options});
    auto* job = new Job(download::Transfer::Request{target, propertyName, maxBytes, options}, refuseNext, this);
    refuseNext.reset();
    mJobs.append(job);
    return job;
}

FakeAsyncReader::Job* FakeAsyncReader::find(const QString& propertyName) const {
    for (auto job = mJobs.crbegin(); job != mJobs.crend(); ++job) {
        if (*job && !(*job)->isFinished() && (*job)->request().propertyName == propertyName) {
            return *job;
        }
    }
    return nullptr;
}

void FakeAsyncReader::progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes, qint64 kept,
                               qint64 crawlRate) {
    download::AsyncProperty property;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    property.Resumes = resumes;
    property.Kept = kept;
    property.CrawlRate = crawlRate;
    if (Job* job = find(propertyName)) {
        job->scriptProgress(property);
    }
}

void FakeAsyncReader::complete(const QString& propertyName, const QByteArray& content) {
    Job* job = find(propertyName);
    if (!job) {
        return;
    }
    const download::AsyncReadOptions& options = job->request().options;
    download::AsyncProperty property;
    // Content to be proven stays under its part's name.
    const QString file = options.unproven ? download::KeptPartPath(propertyName) : propertyName;
    if (const host::Outcome error = host::SaveWholeFile(file, content)) {
        property.Failure = error;
        job->scriptResult(property);
        return;
    }
    property.BytesRead = content.size();
    property.BytesMax = content.size();
    property.File = file;
    if (options.digest) {
        property.Digest = download::Blake2b::hash(content);
    }
    job->scriptResult(property);
    // What the result sets off later (a proof, a job's end) happens now, as
    // the event loop would see to it before the next event.
    if (settle) {
        QCoreApplication::processEvents();
    }
}

void FakeAsyncReader::fail(const QString& propertyName, host::Failure::Kind failure, const QString& detail) {
    download::AsyncProperty property;
    property.Failure = host::Failure{failure, detail};
    if (Job* job = find(propertyName)) {
        job->scriptResult(property);
    }
    if (settle) {
        QCoreApplication::processEvents();
    }
}
