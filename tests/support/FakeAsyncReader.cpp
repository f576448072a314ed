#include "tests/support/FakeAsyncReader.h"

#include "download/Blake2b.h"
#include "host/SaveFile.h"

std::optional<download::AsyncReadError> FakeAsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                                   qint64 maxBytes, download::AsyncReadOption option) {
    if (refuseNext) {
        std::optional<download::AsyncReadError> error = refuseNext;
        refuseNext.reset();
        return error;
    }
    started.append({target, propertyName, maxBytes, option});
    return std::nullopt;
}

void FakeAsyncReader::progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes) {
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    property.Resumes = resumes;
    emit AsyncReadProgress(property);
}

void FakeAsyncReader::complete(const QString& propertyName, const QByteArray& content) {
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    if (const host::Outcome error = host::SaveWholeFile(propertyName, content)) {
        property.Failure = error;
        emit AsyncReadComplete(property);
        return;
    }
    property.BytesRead = content.size();
    property.BytesMax = content.size();
    property.File = propertyName;
    // The latest read of that name decides, as the real reader's own read would.
    for (auto read = started.crbegin(); read != started.crend(); ++read) {
        if (read->propertyName == propertyName) {
            if (read->option == download::AsyncReadOption::Digest) {
                property.Digest = download::Blake2b::hash(content);
            }
            break;
        }
    }
    emit AsyncReadComplete(property);
}

void FakeAsyncReader::fail(const QString& propertyName, host::Failure::Kind failure) {
    download::AsyncProperty property;
    property.PropertyName = propertyName;
    property.Failure = host::Failure{failure, QStringLiteral("scripted failure")};
    emit AsyncReadComplete(property);
}
