#include "tests/support/FakeAsyncReader.h"

#include "host/SaveFile.h"

std::optional<host::AsyncReadError> FakeAsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                               qint64 maxBytes) {
    if (refuseNext) {
        std::optional<host::AsyncReadError> error = refuseNext;
        refuseNext.reset();
        return error;
    }
    started.append({target, propertyName, maxBytes});
    return std::nullopt;
}

void FakeAsyncReader::progress(const QString& propertyName, qint64 bytesRead, qint64 bytesMax, int resumes) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    property.Resumes = resumes;
    emit AsyncReadProgress(property);
}

void FakeAsyncReader::complete(const QString& propertyName, const QByteArray& content) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    if (const std::optional<QString> error = host::SaveWholeFile(propertyName, content)) {
        property.Failure = host::AsyncReadFailure::WriteFailed;
        property.FailureDetail = *error;
        emit AsyncReadComplete(property);
        return;
    }
    property.BytesRead = content.size();
    property.BytesMax = content.size();
    property.File = propertyName;
    emit AsyncReadComplete(property);
}

void FakeAsyncReader::fail(const QString& propertyName, host::AsyncReadFailure failure) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    property.Failure = failure;
    property.FailureDetail = QStringLiteral("scripted failure");
    emit AsyncReadComplete(property);
}
