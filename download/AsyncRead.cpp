#include "download/AsyncRead.h"

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

} // namespace download
