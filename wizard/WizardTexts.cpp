#include "wizard/WizardTexts.h"

#include <QLocale>

namespace wizardtexts {

bool UsesMegabytes(qint64 bytesMax) {
    return bytesMax / 1000.0 >= 1000.0;
}

QString FormatSize(qint64 bytes, qint64 bytesMax) {
    // ASCII digits whatever the locale, as in the byte counts beside them;
    // only the decimal separator is the user's.
    const double divisor = UsesMegabytes(bytesMax) ? 1000000.0 : 1000.0;
    QString text = QString::number(bytes / divisor, 'f', 2);
    text.replace(QLatin1Char('.'), QLocale().decimalPoint());
    return text;
}

namespace {
// " The server is sending only 312 bytes a second.", or nothing.
QString CrawlText(qint64 crawlRate) {
    if (crawlRate < 0) {
        return QString();
    }
    if (crawlRate == 0) {
        return QStringLiteral(" The server is sending less than 1 byte a second.");
    }
    const QString rate = crawlRate < 1000 ? QString::number(crawlRate) + QStringLiteral(" bytes")
                                          : FormatSize(crawlRate, 0) + QStringLiteral(" KB");
    return QStringLiteral(" The server is sending only %1 a second.").arg(rate);
}
} // namespace

QString VersionProgressText(qint64 bytesRead, qint64 bytesMax, qint64 crawlRate) {
    return QString::number(bytesRead) + QStringLiteral(" bytes of ") + QString::number(bytesMax) +
           QStringLiteral(" bytes of configuration retreived.") + CrawlText(crawlRate);
}

QString PackageProgressText(qint64 bytesRead, qint64 bytesMax, bool resuming, qint64 crawlRate) {
    const QString unit = UsesMegabytes(bytesMax) ? QStringLiteral(" MB") : QStringLiteral(" KB");
    return FormatSize(bytesRead, bytesMax) + unit + QStringLiteral(" of ") + FormatSize(bytesMax, bytesMax) + unit +
           QStringLiteral(" downloaded...") + (resuming ? QStringLiteral(" resuming") : QString()) +
           (resuming && crawlRate >= 0 ? QStringLiteral(".") : QString()) + CrawlText(crawlRate);
}

QString PackageCompleteText(qint64 lastBytesMax) {
    if (UsesMegabytes(lastBytesMax)) {
        return QStringLiteral("Download ") + FormatSize(lastBytesMax, lastBytesMax) + kCompleteMbPiece;
    }
    return QStringLiteral("Download of ") + FormatSize(lastBytesMax, lastBytesMax) + QStringLiteral(" KB complete.");
}

QString VersionText(const QString& currentVersion, const QString& serverVersion) {
    return kInstalledVersionPiece + currentVersion + kServerVersionPiece + serverVersion;
}

} // namespace wizardtexts
