#include "host/PropertyBag.h"

namespace host {

QVariant PropertyBag::ReadProperty(const QString& name, const QVariant& defaultValue) const {
    return mValues.value(name.toCaseFolded(), defaultValue);
}

void PropertyBag::WriteProperty(const QString& name, const QVariant& value, const QVariant& defaultValue) {
    const QString key = name.toCaseFolded();
    if (value == defaultValue) {
        mValues.remove(key);
    } else {
        mValues.insert(key, value);
    }
}

bool PropertyBag::contains(const QString& name) const {
    return mValues.contains(name.toCaseFolded());
}

} // namespace host
