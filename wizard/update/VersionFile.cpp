#include "wizard/update/VersionFile.h"

#include "download/AsyncRead.h"
#include "host/Log.h"

#include <QStringDecoder>

namespace versionfile {

QStringList SplitLines(const QString& text) {
    QStringList lines;
    QString current;
    bool open = false; // characters seen since the last line end
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == QLatin1Char('\r')) {
            lines.append(current);
            current.clear();
            open = false;
            if (i + 1 < text.size() && text.at(i + 1) == QLatin1Char('\n')) {
                ++i;
            }
            continue;
        }
        current.append(c);
        open = true;
    }
    if (open) {
        lines.append(current);
    }
    return lines;
}

Text Decode(const QByteArray& bytes) {
    Text text;
    // A CR is a CR in every 8-bit encoding the product meets: splitting the
    // bytes first splits the text the same way.
    qsizetype start = 0;
    for (qsizetype i = 0; i < bytes.size(); ++i) {
        if (bytes.at(i) == '\r') {
            text.raw.append(bytes.mid(start, i - start));
            if (i + 1 < bytes.size() && bytes.at(i + 1) == '\n') {
                ++i;
            }
            start = i + 1;
        }
    }
    if (start < bytes.size()) {
        text.raw.append(bytes.mid(start));
    }
    // Stateless: a line that ends inside a character is no text either.
    QStringDecoder decoder(QStringConverter::System, QStringConverter::Flag::Stateless);
    for (qsizetype i = 0; i < text.raw.size(); ++i) {
        decoder.resetState();
        text.lines.append(decoder.decode(text.raw.at(i)));
        if (decoder.hasError() && i < 3 && !text.problem) {
            text.problem = QStringLiteral("The version file from the server is not usable: its line %1 is not text "
                                          "in this computer's encoding.")
                               .arg(i + 1);
        }
    }
    return text;
}

QStringList ReadLines(const QByteArray& bytes) {
    return Decode(bytes).lines;
}

QString UpdateFileNameFor(const QString& serverVersion) {
    QString digits = serverVersion;
    digits.remove(QLatin1Char('.'));
    return QStringLiteral("Update") + digits + QStringLiteral(".EXE");
}

bool IsPlainFileName(const QString& name) {
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String("..")) {
        return false;
    }
    if (name.toUtf8().size() > 255) {
        return false;
    }
    static const QString forbidden = QStringLiteral("<>:\"/\\|?*");
    for (const QChar c : name) {
        switch (c.category()) {
        case QChar::Other_Control:
        case QChar::Other_Format:
        case QChar::Separator_Line:
        case QChar::Separator_Paragraph:
            return false;
        case QChar::Separator_Space:
            if (c != QLatin1Char(' ')) {
                return false;
            }
            break;
        default:
            break;
        }
        if (forbidden.contains(c)) {
            return false;
        }
    }
    return true;
}

std::optional<QString> Problem(const QStringList& lines) {
    const QString unusable = QStringLiteral("The version file from the server is not usable: ");
    if (lines.size() < 3) {
        return unusable +
               QStringLiteral("it has %1 of its three lines (each line must end in CR LF).").arg(lines.size());
    }
    if (lines.at(1).isEmpty()) {
        return unusable + QStringLiteral("its version line is empty.");
    }
    if (lines.at(2).isEmpty()) {
        return unusable + QStringLiteral("its package address is empty.");
    }
    if (!IsPlainFileName(UpdateFileNameFor(lines.at(1)))) {
        // Quoted with its invisible characters spelt out, so that the text
        // shows what the file holds.
        return QStringLiteral("The published version \"%1\" cannot be used in a file name.")
            .arg(host::EscapeControls(lines.at(1)));
    }
    if (const std::optional<download::AsyncReadError> error = download::ParseTarget(lines.at(2)).error) {
        return unusable + error->Description;
    }
    return std::nullopt;
}

Published Interpret(const Text& text) {
    Published published = Interpret(text.lines);
    if (text.problem) {
        published.problem = text.problem;
        published.updateURL.clear();
        published.updateFileName.clear();
    }
    return published;
}

Published Interpret(const QStringList& lines) {
    Published published;
    published.productName = lines.value(0);
    published.serverVersion = lines.value(1);
    published.problem = Problem(lines);
    if (!published.problem) {
        published.updateURL = lines.value(2);
        published.updateFileName = UpdateFileNameFor(published.serverVersion);
    }
    return published;
}

} // namespace versionfile
