#include "host/Log.h"

#include <mutex>

namespace host {

// Debug lines stay off unless the user's logging rules ask for them;
// information and warnings are always written.
Q_LOGGING_CATEGORY(lcDownload, "kelvane.download", QtInfoMsg)
Q_LOGGING_CATEGORY(lcHandoff, "kelvane.handoff", QtInfoMsg)
Q_LOGGING_CATEGORY(lcSaveFile, "kelvane.savefile", QtInfoMsg)

namespace {

bool needsEscape(char32_t c) {
    switch (QChar::category(c)) {
    case QChar::Other_Control: // C0, DEL, C1
    case QChar::Other_Format:  // bidirectional overrides, zero-width characters
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph:
        return true;
    default:
        return false;
    }
}

QString escaped(char32_t c) {
    switch (c) {
    case '\n':
        return QStringLiteral("\\n");
    case '\r':
        return QStringLiteral("\\r");
    case '\t':
        return QStringLiteral("\\t");
    default:
        break;
    }
    if (c < 0x80) {
        return QStringLiteral("\\x%1").arg(uint(c), 2, 16, QLatin1Char('0'));
    }
    if (c <= 0xFFFF) {
        return QStringLiteral("\\u%1").arg(uint(c), 4, 16, QLatin1Char('0'));
    }
    return QStringLiteral("\\U%1").arg(uint(c), 8, 16, QLatin1Char('0'));
}

QtMessageHandler& previousHandler() {
    static QtMessageHandler handler = nullptr;
    return handler;
}

void escapingHandler(QtMsgType type, const QMessageLogContext& context, const QString& message) {
    if (const QtMessageHandler previous = previousHandler()) {
        previous(type, context, EscapeControls(message));
    }
}

} // namespace

QString EscapeControls(const QString& text) {
    QString result;
    qsizetype copied = 0; // text before this index is in `result` already
    for (qsizetype i = 0; i < text.size(); ++i) {
        char32_t c = text[i].unicode();
        qsizetype length = 1;
        if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
            c = QChar::surrogateToUcs4(text[i], text[i + 1]);
            length = 2;
        }
        if (needsEscape(c)) {
            if (result.isNull()) {
                result.reserve(text.size() + 16);
            }
            result.append(QStringView(text).mid(copied, i - copied));
            result.append(escaped(c));
            copied = i + length;
        }
        i += length - 1;
    }
    if (copied == 0) {
        return text; // the usual case: nothing to escape, nothing copied
    }
    result.append(QStringView(text).mid(copied));
    return result;
}

QByteArray Printable(const QString& text) {
    return EscapeControls(text).toUtf8();
}

void InstallLogEscaping() {
    static std::once_flag once;
    std::call_once(once, [] { previousHandler() = qInstallMessageHandler(escapingHandler); });
}

} // namespace host
