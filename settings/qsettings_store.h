// The application's settings store over QSettings. Sections are QSettings
// groups; binary values are QByteArrays, text values QStrings. Writes are
// kept until flush(), which replaces the file only by a complete one.
#pragma once

#include "settings/settings_store.h"

#include <QCoreApplication>
#include <QMap>
#include <QSettings>

#include <cstdint>
#include <optional>

#include <memory>

namespace calmora {

class QSettingsStore final : public SettingsStore {
    Q_DECLARE_TR_FUNCTIONS(QSettingsStore)

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
    // Less free space than this after a failed write means the disk is full.
    static constexpr int64_t kSpaceMarginBytes = 64 * 1024;

    std::optional<QVariant> read(const QString& section, const QString& name) const;
    bool fail(const QString& reason);
    QString whyUnwritable(const QString& path) const;
    static bool replaceFile(const QString& from, const QString& to);

    // Read only, so that QSettings never writes the file itself.
    std::unique_ptr<QSettings> m_settings;
    // Writes and removals (empty) since the last successful flush().
    QMap<QString, std::optional<QVariant>> m_pending;
    QString m_error;
};

} // namespace calmora
