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

QString VersionProgressText(qint64 bytesRead, qint64 bytesMax) {
    return QString::number(bytesRead) + QStringLiteral(" bytes of ") + QString::number(bytesMax) +
           QStringLiteral(" bytes of configuration retreived.");
}

QString PackageProgressText(qint64 bytesRead, qint64 bytesMax, bool resuming) {
    const QString unit = UsesMegabytes(bytesMax) ? QStringLiteral(" MB") : QStringLiteral(" KB");
    return FormatSize(bytesRead, bytesMax) + unit + QStringLiteral(" of ") + FormatSize(bytesMax, bytesMax) + unit +
           QStringLiteral(" downloaded...") + (resuming ? QStringLiteral(" resuming") : QString());
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
