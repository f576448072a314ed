#include "wizard/WizardTexts.h"

#include <QDir>
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

QString StartFailureText(int number, const QString& description) {
    return QString::number(number) + QStringLiteral(":Error in call to BeginDownload().") + QStringLiteral("\r\n\r\n") +
           QStringLiteral("Error Description: ") + description;
}

std::optional<QString> ReadFailureText(bool versionFile, const host::Failure& failure, const QString& path) {
    using Kind = host::Failure::Kind;
    const QString& detail = failure.detail;
    const QString shown = QDir::toNativeSeparators(path);
    switch (failure.kind) {
    case Kind::TooSlow:
        // The step's own text, then how slow it was.
        return (versionFile ? kVersionFailureText : kPackageFailureText) + QLatin1Char(' ') + detail;
    case Kind::TooLarge:
        return versionFile ? QStringLiteral("The version file on the server is larger than 1 MB and was not read.") +
                                 kCheckFailed
                           : QStringLiteral("The update package is too large to download. ") + detail;
    case Kind::NoSpace:
        return QStringLiteral("Not enough free space for ") + shown + QStringLiteral(": ") + detail +
               (versionFile ? kCheckFailed : QString());
    case Kind::WriteFailed:
        // A file that could not be written whole is never offered for setup,
        // nor read as a version file.
        return (versionFile ? QStringLiteral("Could not write the version file to ")
                            : QStringLiteral("Could not write the update package to ")) +
               shown + QStringLiteral(": ") + detail + (versionFile ? QLatin1Char('.') + kCheckFailed : QString());
    default:
        return std::nullopt;
    }
}

QString RefusalText(bool versionFile, const host::Failure& failure, const std::optional<signing::Release>& release,
                    qint64 newestSignedAt) {
    using signing::TimeText;
    using Kind = host::Failure::Kind;
    if (failure.kind == Kind::OlderRelease && release) {
        return QStringLiteral("The version file on the server is older than the one this computer has already "
                              "accepted: it was signed on %1, the accepted one on %2. Somebody may be sending an old "
                              "copy to hold back updates, so nothing was recorded.")
                   .arg(TimeText(release->signedAt), TimeText(newestSignedAt)) +
               kCheckFailed;
    }
    if (failure.kind == Kind::Expired && release && release->expiresAt) {
        return QStringLiteral("The update information on the server is out of date: its signature expired on %1, so "
                              "nothing was recorded. If this computer's date is right and this goes on, tell the "
                              "vendor: somebody may be holding back newer updates.")
                   .arg(TimeText(*release->expiresAt)) +
               kCheckFailed;
    }
    if (failure.kind == Kind::Future && release) {
        return QStringLiteral("The version file on the server was signed on %1, more than a day after this "
                              "computer's date, so nothing was recorded. If this computer's date is right, tell the "
                              "vendor: a signature from the future would hold back the updates signed after it.")
                   .arg(TimeText(release->signedAt)) +
               kCheckFailed;
    }
    return versionFile ? QStringLiteral("The version file could not be verified: ") + failure.detail +
                             QStringLiteral(". It is not what the vendor signed, so nothing was recorded. This is "
                                            "not a connection problem.") +
                             kCheckFailed
                       : QStringLiteral("The update package could not be verified: ") + failure.detail +
                             QStringLiteral(". It is not what the vendor signed, so it was not kept and will not be "
                                            "run. This is not a connection problem.");
}

} // namespace wizardtexts
