#include "tests/support/FakeAsyncReader.h"

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

void FakeAsyncReader::progress(const QString& propertyName, qint32 bytesRead, qint32 bytesMax) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    property.BytesRead = bytesRead;
    property.BytesMax = bytesMax;
    emit AsyncReadProgress(property);
}

void FakeAsyncReader::complete(const QString& propertyName, const QByteArray& content) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    property.BytesRead = static_cast<qint32>(content.size());
    property.BytesMax = static_cast<qint32>(content.size());
    property.Value = content;
    emit AsyncReadComplete(property);
}

void FakeAsyncReader::fail(const QString& propertyName, host::AsyncReadFailure failure) {
    host::AsyncProperty property;
    property.PropertyName = propertyName;
    property.Failure = failure;
    property.FailureDetail = QStringLiteral("scripted failure");
    emit AsyncReadComplete(property);
}
