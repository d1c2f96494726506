#include "settings/read_only_settings_store.h"

namespace calmora {

namespace {

QString keyOf(const QString& section, const QString& name)
{
    return section + u'/' + name;
}

} // namespace

ReadOnlySettingsStore::ReadOnlySettingsStore(const SettingsStore& backing)
    : m_backing(backing)
{ }

bool ReadOnlySettingsStore::hidden(const QString& section, const QString& name) const
{
    return m_removed.contains(keyOf(section, name));
}

std::optional<QByteArray> ReadOnlySettingsStore::readBinary(
    const QString& section, const QString& name) const
{
    if (m_overlay.contains(section, name))
        return m_overlay.readBinary(section, name);
    if (hidden(section, name))
        return std::nullopt;
    return m_backing.readBinary(section, name);
}

std::optional<QString> ReadOnlySettingsStore::readText(
    const QString& section, const QString& name) const
{
    if (m_overlay.contains(section, name))
        return m_overlay.readText(section, name);
    if (hidden(section, name))
        return std::nullopt;
    return m_backing.readText(section, name);
}

std::optional<QStringList> ReadOnlySettingsStore::valueNames(const QString& section) const
{
    std::optional<QStringList> names = m_backing.valueNames(section);
    if (!names)
        return std::nullopt;
    names->removeIf([&](const QString& name) { return hidden(section, name); });
    // Values written in this run come after the stored ones, as a real store
    // would list a value added at its end.
    for (const QString& name : m_overlay.valueNames(section).value_or(QStringList())) {
        if (!names->contains(name))
            names->append(name);
    }
    return names;
}

void ReadOnlySettingsStore::writeBinary(
    const QString& section, const QString& name, const QByteArray& data)
{
    m_overlay.writeBinary(section, name, data);
    m_removed.remove(keyOf(section, name));
    m_changed = true;
}

void ReadOnlySettingsStore::writeText(
    const QString& section, const QString& name, const QString& text)
{
    m_overlay.writeText(section, name, text);
    m_removed.remove(keyOf(section, name));
    m_changed = true;
}

void ReadOnlySettingsStore::remove(const QString& section, const QString& name)
{
    m_overlay.remove(section, name);
    m_removed.insert(keyOf(section, name));
    m_changed = true;
}

bool ReadOnlySettingsStore::flush()
{
    return true;
}

QString ReadOnlySettingsStore::errorString() const
{
    return QString();
}

} // namespace calmora
