// The options of the run and the store they are saved to, handed to every
// window that changes an option: each change is saved at once, never at exit.
#pragma once

#include "settings/options.h"

#include <QString>

namespace calmora {

class SettingsStore;

class OptionsKeeper {
public:
    // Reads the options from `store`, which must outlive the keeper.
    explicit OptionsKeeper(SettingsStore& store);

    Options& options() { return m_options; }
    const Options& options() const { return m_options; }
    SettingsStore& store() { return m_store; }

    // Writes the option groups; on failure `errorString()` says why, with the
    // store's location.
    bool save();
    QString errorString() const { return m_error; }
    // What was damaged or out of range in the stored options at start-up.
    const QStringList& loadNotes() const { return m_loadNotes; }

private:
    SettingsStore& m_store;
    Options m_options;
    QStringList m_loadNotes;
    QString m_error;
};

} // namespace calmora
