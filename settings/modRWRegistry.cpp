#include "settings/modRWRegistry.h"
#include "host/Log.h"

#include "host/MsgBox.h"
#include "settings/RegistryBackend.h"

#include <QLoggingCategory>

namespace modRWRegistry {

namespace {
// A failure of the store is one warning line, with the path and the reason
// its description carries; reads and writes are detail.
Q_LOGGING_CATEGORY(lcSettings, "kelvane.settings", QtInfoMsg)

// Only the space character counts as a blank here.
bool isBlankName(const QString& name) {
    for (const QChar c : name) {
        if (c != QLatin1Char(' ')) {
            return false;
        }
    }
    return true;
}

void showNullName() {
    qCWarning(lcSettings, "a value name that is empty or blank was refused");
    host::MsgBox(QStringLiteral("strValue do not null"));
}

void showFailure(const StoreFailure& failure) {
    qCWarning(lcSettings, "%s", logPrintable(QString::fromStdU16String(failure.description)));
    host::MsgBox(QString::fromStdU16String(failure.description));
}
} // namespace

std::optional<QString> TryGetAppSetting(const QString& strValue) {
    if (isBlankName(strValue)) {
        showNullName();
        return QString();
    }
    const ReadResult result =
        RegReadString(RootKey::CurrentUser, kProductKey.toStdU16String(), strValue.toStdU16String());
    if (result.failure) {
        showFailure(*result.failure);
        return std::nullopt;
    }
    qCDebug(lcSettings, "%s: %s", logPrintable(strValue),
            result.value ? logPrintable(QString::fromStdU16String(*result.value)) : "(no value)");
    return result.value ? QString::fromStdU16String(*result.value) : QString();
}

QString GetAppSetting(const QString& strValue) {
    return TryGetAppSetting(strValue).value_or(QString());
}

bool SaveAppSetting(const QString& strValue, const QString& strData) {
    if (isBlankName(strValue)) {
        showNullName();
        return false;
    }
    const std::optional<StoreFailure> failure = RegWriteString(RootKey::CurrentUser, kProductKey.toStdU16String(),
                                                               strValue.toStdU16String(), strData.toStdU16String());
    if (failure) {
        showFailure(*failure);
        return false;
    }
    qCDebug(lcSettings, "%s set to %s", logPrintable(strValue), logPrintable(strData));
    return true;
}

} // namespace modRWRegistry
