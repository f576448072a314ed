#include "settings/modRWRegistry.h"

#include "host/MsgBox.h"
#include "settings/RegistryBackend.h"

namespace modRWRegistry {

namespace {
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
    host::MsgBox(QStringLiteral("strValue do not null"));
}

void showFailure(const StoreFailure& failure) {
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
    return result.value ? QString::fromStdU16String(*result.value) : QString();
}

QString GetAppSetting(const QString& strValue) {
    return TryGetAppSetting(strValue).value_or(QString());
}

void SaveAppSetting(const QString& strValue, const QString& strData) {
    if (isBlankName(strValue)) {
        showNullName();
        return;
    }
    const std::optional<StoreFailure> failure = RegWriteString(RootKey::CurrentUser, kProductKey.toStdU16String(),
                                                               strValue.toStdU16String(), strData.toStdU16String());
    if (failure) {
        showFailure(*failure);
    }
}

} // namespace modRWRegistry
