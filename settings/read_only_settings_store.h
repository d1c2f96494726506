// A settings store that reads another store and never changes it: writes and
// removals stay in memory and show through later reads. The command-line tool
// reads the desktop application's settings through it, so that a value the
// loading code fills in (a first start, a damaged group) never rewrites a
// file the user may have edited by hand.
#pragma once

#include "settings/memory_settings_store.h"

#include <QSet>

namespace calmora {

class ReadOnlySettingsStore final : public SettingsStore {
public:
    // `backing` must outlive this store; it is only read.
    explicit ReadOnlySettingsStore(const SettingsStore& backing);

    std::optional<QByteArray> readBinary(
        const QString& section, const QString& name) const override;
    std::optional<QString> readText(const QString& section, const QString& name) const override;
    std::optional<QStringList> valueNames(const QString& section) const override;
    void writeBinary(const QString& section, const QString& name, const QByteArray& data) override;
    void writeText(const QString& section, const QString& name, const QString& text) override;
    void remove(const QString& section, const QString& name) override;
    // Succeeds without touching the backing store: the changes are meant to
    // last for this run only.
    bool flush() override;
    QString errorString() const override;

    // Whether anything was written or removed since the store was made.
    bool changed() const { return m_changed; }

private:
    bool hidden(const QString& section, const QString& name) const;

    const SettingsStore& m_backing;
    MemorySettingsStore m_overlay;
    QSet<QString> m_removed; // "section/name" of values removed and not written again
    bool m_changed = false;
};

} // namespace calmora
