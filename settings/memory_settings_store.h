// A settings store that lives in memory, for tests and for runs that must
// leave the user's settings alone. Values keep the order of their first
// write, like an enumeration of a real store.
#pragma once

#include "settings/settings_store.h"

#include <QVariant>

#include <map>
#include <utility>
#include <vector>

namespace calmora {

class MemorySettingsStore final : public SettingsStore {
public:
    std::optional<QByteArray> readBinary(
        const QString& section, const QString& name) const override;
    std::optional<QString> readText(const QString& section, const QString& name) const override;
    std::optional<QStringList> valueNames(const QString& section) const override;
    void writeBinary(const QString& section, const QString& name, const QByteArray& data) override;
    void writeText(const QString& section, const QString& name, const QString& text) override;
    void remove(const QString& section, const QString& name) override;
    bool flush() override;
    QString errorString() const override;

    // Stores any value, of any type, as a damaged or foreign store might hold it.
    void writeRaw(const QString& section, const QString& name, const QVariant& value);
    // The stored value as it is; invalid when missing.
    QVariant raw(const QString& section, const QString& name) const;
    bool contains(const QString& section, const QString& name) const;
    // Number of completed flushes: tells whether a change was saved at once.
    int flushCount() const { return m_flushCount; }
    // An unavailable store cannot be read and fails every flush.
    void setAvailable(bool available) { m_available = available; }

private:
    using Section = std::vector<std::pair<QString, QVariant>>;
    const QVariant* find(const QString& section, const QString& name) const;

    std::map<QString, Section> m_sections;
    int m_flushCount = 0;
    bool m_available = true;
};

} // namespace calmora
