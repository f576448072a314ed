#pragma once

#include <QMap>
#include <QString>
#include <QVariant>

namespace host {

// The stored properties of a control, as its window's saved design data
// holds them. Keys match regardless of letter case.
class PropertyBag {
public:
    QVariant ReadProperty(const QString& name, const QVariant& defaultValue = QVariant()) const;
    // An entry equal to its default is left out, as a design-time host does.
    void WriteProperty(const QString& name, const QVariant& value, const QVariant& defaultValue = QVariant());
    bool contains(const QString& name) const;

private:
    QMap<QString, QVariant> mValues; // keyed by the case-folded name
};

} // namespace host
