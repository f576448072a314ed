#include "wizard/VersionFile.h"

#include "download/AsyncRead.h"

#include <QFile>

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

QStringList ReadLines(const QByteArray& bytes) {
    return SplitLines(QString::fromLocal8Bit(bytes));
}

std::optional<QStringList> ReadFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray bytes = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        return std::nullopt;
    }
    return ReadLines(bytes);
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
        if (c.category() == QChar::Other_Control || forbidden.contains(c)) {
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
        return QStringLiteral("The published version \"%1\" cannot be used in a file name.").arg(lines.at(1));
    }
    if (const std::optional<download::AsyncReadError> error = download::ParseTarget(lines.at(2)).error) {
        return unusable + error->Description;
    }
    return std::nullopt;
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
