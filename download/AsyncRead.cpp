#include "download/AsyncRead.h"

namespace download {

std::optional<AsyncReadError> AsyncReader::AsyncRead(const QString& target, const QString& propertyName,
                                                     qint64 maxBytes, const AsyncReadOptions& options) {
    if (std::optional<AsyncReadError> error = CheckRequest(target, maxBytes)) {
        return error;
    }
    Transfer* job = transfer(target, propertyName, maxBytes, options);
    connect(job, &Transfer::progress, this,
            [this](Transfer*, const AsyncProperty& property) { emit AsyncReadProgress(property); });
    connect(job, &Transfer::result, this, [this](Transfer* done) { emit AsyncReadComplete(done->outcome()); });
    job->start();
    return std::nullopt;
}

int AsyncReader::runningReads() const {
    int running = 0;
    for (const Transfer* job : findChildren<Transfer*>(QString(), Qt::FindDirectChildrenOnly)) {
        running += job->isFinished() ? 0 : 1;
    }
    return running;
}

} // namespace download
