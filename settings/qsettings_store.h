// The application's settings store over QSettings. Sections are QSettings
// groups; binary values are QByteArrays, text values QStrings.
#pragma once

#include "settings/settings_store.h"

#include <QSettings>

#include <memory>

namespace calmora {

class QSettingsStore final : public SettingsStore {
public:
    // The per-user settings of organisation "Brantovia", application
    // "Calmora Community Edition", in the platform's native format.
    QSettingsStore();
    // An INI file of the caller's choosing (tests, portable installs).
    explicit QSettingsStore(const QString& iniFilePath);
    ~QSettingsStore() override;

    std::optional<QByteArray> readBinary(
        const QString& section, const QString& name) const override;
    std::optional<QString> readText(const QString& section, const QString& name) const override;
    std::optional<QStringList> valueNames(const QString& section) const override;
    void writeBinary(const QString& section, const QString& name, const QByteArray& data) override;
    void writeText(const QString& section, const QString& name, const QString& text) override;
    void remove(const QString& section, const QString& name) override;
    bool flush() override;
    QString errorString() const override;

    // The file or registry path the values live in, for messages.
    QString location() const;

private:
    std::optional<QVariant> read(const QString& section, const QString& name) const;

    std::unique_ptr<QSettings> m_settings;
    QString m_error;
};

} // namespace calmora
