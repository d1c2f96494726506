#include "settings/memory_settings_store.h"

#include <algorithm>

namespace calmora {

const QVariant* MemorySettingsStore::find(const QString& section, const QString& name) const
{
    if (!m_available)
        return nullptr;
    const auto found = m_sections.find(section);
    if (found == m_sections.end())
        return nullptr;
    for (const auto& [key, value] : found->second) {
        if (key == name)
            return &value;
    }
    return nullptr;
}

std::optional<QByteArray> MemorySettingsStore::readBinary(
    const QString& section, const QString& name) const
{
    const QVariant* value = find(section, name);
    if (!value || value->typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value->toByteArray();
}

std::optional<QString> MemorySettingsStore::readText(
    const QString& section, const QString& name) const
{
    const QVariant* value = find(section, name);
    if (!value || value->typeId() != QMetaType::QString)
        return std::nullopt;
    return value->toString();
}

std::optional<QStringList> MemorySettingsStore::valueNames(const QString& section) const
{
    if (!m_available)
        return std::nullopt;
    QStringList names;
    const auto found = m_sections.find(section);
    if (found != m_sections.end()) {
        for (const auto& entry : found->second)
            names << entry.first;
    }
    return names;
}

void MemorySettingsStore::writeBinary(
    const QString& section, const QString& name, const QByteArray& data)
{
    writeRaw(section, name, QVariant(data));
}

void MemorySettingsStore::writeText(
    const QString& section, const QString& name, const QString& text)
{
    writeRaw(section, name, QVariant(text));
}

void MemorySettingsStore::writeRaw(
    const QString& section, const QString& name, const QVariant& value)
{
    Section& values = m_sections[section];
    for (auto& entry : values) {
        if (entry.first == name) {
            entry.second = value;
            return;
        }
    }
    values.emplace_back(name, value);
}

void MemorySettingsStore::remove(const QString& section, const QString& name)
{
    const auto found = m_sections.find(section);
    if (found == m_sections.end())
        return;
    std::erase_if(found->second, [&name](const auto& entry) { return entry.first == name; });
}

bool MemorySettingsStore::flush()
{
    if (!m_available)
        return false;
    ++m_flushCount;
    return true;
}

QString MemorySettingsStore::errorString() const
{
    return m_available ? QString() : QStringLiteral("The settings store is not available.");
}

QVariant MemorySettingsStore::raw(const QString& section, const QString& name) const
{
    const QVariant* value = find(section, name);
    return value ? *value : QVariant();
}

bool MemorySettingsStore::contains(const QString& section, const QString& name) const
{
    return find(section, name) != nullptr;
}

} // namespace calmora
