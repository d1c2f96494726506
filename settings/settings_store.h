// Where options and user presets live between runs: named values in named
// sections, each value either bytes or text. Callers never see the backing
// (QSettings for the application, memory for tests), so tests cannot touch
// the user's real settings.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <optional>

namespace calmora {

inline const QString kOrganisationName = QStringLiteral("Brantovia");
inline const QString kApplicationName = QStringLiteral("Calmora Community Edition");

inline const QString kOptionsSection = QStringLiteral("Options");
inline const QString kFilterSettingsSection = QStringLiteral("FilterSettings");

class SettingsStore {
public:
    virtual ~SettingsStore() = default;

    // Empty when the value is missing or holds anything but bytes (a value of
    // the wrong type counts as damaged, never as something to reinterpret).
    virtual std::optional<QByteArray> readBinary(
        const QString& section, const QString& name) const = 0;
    // Empty when the value is missing or holds anything but text.
    virtual std::optional<QString> readText(const QString& section, const QString& name) const = 0;

    // Names of the section's values in the store's own order; empty when the
    // store cannot be read at all.
    virtual std::optional<QStringList> valueNames(const QString& section) const = 0;

    // Writes and removals may be buffered until flush().
    virtual void writeBinary(const QString& section, const QString& name, const QByteArray& data)
        = 0;
    virtual void writeText(const QString& section, const QString& name, const QString& text) = 0;
    virtual void remove(const QString& section, const QString& name) = 0;

    // Makes every write so far durable. On failure errorString() names the
    // place and the reason.
    virtual bool flush() = 0;
    virtual QString errorString() const = 0;
};

} // namespace calmora
