#include "download/Transfer.h"

namespace download {

namespace {
// What a browser strips from both ends of an address: C0 controls and blanks.
bool isStrippable(QChar c) {
    return c.unicode() <= 0x20;
}
} // namespace

ParsedTarget ParseTarget(const QString& target) {
    namespace N = AsyncReadErrorNumber;
    qsizetype begin = 0;
    qsizetype end = target.size();
    while (begin < end && isStrippable(target.at(begin))) {
        ++begin;
    }
    while (end > begin && isStrippable(target.at(end - 1))) {
        --end;
    }
    QString text = target.mid(begin, end - begin);
    text.remove(QLatin1Char('\t'));
    text.remove(QLatin1Char('\n'));
    text.remove(QLatin1Char('\r'));
    if (text.isEmpty()) {
        return {QUrl(), AsyncReadError{N::EmptyTarget, QStringLiteral("No address was given to download from.")}};
    }
    const QUrl url(text, QUrl::TolerantMode);
    if (!url.isValid() || url.scheme().isEmpty()) {
        return {QUrl(),
                AsyncReadError{N::MalformedTarget, QStringLiteral("\"%1\" is not a valid web address.").arg(target)}};
    }
    const QString scheme = url.scheme().toLower();
    if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) {
        return {QUrl(), AsyncReadError{N::UnsupportedScheme,
                                       QStringLiteral("The address \"%1\" uses the scheme \"%2\"; only http and https "
                                                      "are supported.")
                                           .arg(target, url.scheme())}};
    }
    if (url.host().isEmpty()) {
        return {QUrl(),
                AsyncReadError{N::MalformedTarget, QStringLiteral("The address \"%1\" names no server.").arg(target)}};
    }
    return {url, std::nullopt};
}

std::optional<AsyncReadError> CheckRequest(const QString& target, qint64 maxBytes) {
    if (std::optional<AsyncReadError> error = ParseTarget(target).error) {
        return error;
    }
    if (maxBytes < 1) {
        return AsyncReadError{AsyncReadErrorNumber::InvalidLimit,
                              QStringLiteral("The size limit of a download must be at least one byte.")};
    }
    return std::nullopt;
}

Transfer::Transfer(Request request, QObject* parent) : QObject(parent), mRequest(std::move(request)) {
    mOutcome.PropertyName = mRequest.propertyName;
}

Transfer::~Transfer() = default;

void Transfer::start() {
    Q_ASSERT(!mStarted);
    mStarted = true;
    QMetaObject::invokeMethod(this, &Transfer::begin, Qt::QueuedConnection);
}

void Transfer::begin() {
    if (mFinished) {
        return; // killed before it began
    }
    if (const std::optional<AsyncReadError> error = CheckRequest(mRequest.target, mRequest.maxBytes)) {
        AsyncProperty refused;
        refused.Failure = host::Failure{host::Failure::Kind::NotStarted, error->Description, error->Number};
        emitResult(refused);
        return;
    }
    doStart(ParseTarget(mRequest.target).url);
}

void Transfer::kill() {
    if (mFinished) {
        return;
    }
    mFinished = true;
    if (mStarted) {
        doKill();
    }
    done();
}

void Transfer::emitProgress(AsyncProperty property) {
    Q_ASSERT(!mFinished);
    property.PropertyName = mRequest.propertyName;
    emit progress(this, property);
}

void Transfer::emitResult(AsyncProperty outcome) {
    Q_ASSERT(!mFinished); // one result, and never after a kill
    mFinished = true;
    mOutcome = std::move(outcome);
    mOutcome.PropertyName = mRequest.propertyName;
    const QPointer<Transfer> alive(this);
    emit result(this);
    if (alive) {
        done();
    }
}

void Transfer::done() {
    if (mAutoDelete) {
        deleteLater();
    }
}

} // namespace download
