#include "tests/support/FakeAsyncReader.h"

#include "download/Blake2b.h"
#include "download/KeptPart.h"
#include "host/SaveFile.h"

std::optional<download::AsyncReadError> FakeAsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                                   qint64 maxBytes,
                                                                   const download::AsyncReadOptions& options) {
    if (refuseNext) {
        std::optional<download::AsyncReadError> error = refuseNext;
        refuseNext.reset();
        return error;
    }
    started.append({target, propertyName, maxBytes, options});
    return std::nullopt;
}

void FakeAsyncReader::progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes, qint64 kept,
                               qint64 crawlRate) {
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    property.Resumes = resumes;
    property.Kept = kept;
    property.CrawlRate = crawlRate;
    emit AsyncReadProgress(property);
}

void FakeAsyncReader::complete(const QString& propertyName, const QByteArray& content) {
    // The latest read of that name decides, as the real reader's own read would.
    download::AsyncReadOptions options;
    for (auto read = started.crbegin(); read != started.crend(); ++read) {
        if (read->propertyName == propertyName) {
            options = read->options;
            break;
        }
    }
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    // Content to be proven stays under its part's name.
    const QString file = options.unproven ? download::KeptPartPath(propertyName) : propertyName;
    if (const host::Outcome error = host::SaveWholeFile(file, content)) {
        property.Failure = error;
        emit AsyncReadComplete(property);
        return;
    }
    property.BytesRead = content.size();
    property.BytesMax = content.size();
    property.File = file;
    if (options.digest) {
        property.Digest = download::Blake2b::hash(content);
    }
    emit AsyncReadComplete(property);
}

void FakeAsyncReader::fail(const QString& propertyName, host::Failure::Kind failure) {
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    property.Failure = host::Failure{failure, QStringLiteral("scripted failure")};
    emit AsyncReadComplete(property);
}
