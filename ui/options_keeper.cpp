#include "ui/options_keeper.h"

#include "settings/settings_store.h"

#include <QCoreApplication>

namespace calmora {

OptionsKeeper::OptionsKeeper(SettingsStore& store)
    : m_store(store)
{
    m_loadNotes = loadOptions(m_store, m_options);
}

bool OptionsKeeper::save()
{
    if (saveOptions(m_store, m_options)) {
        m_error.clear();
        return true;
    }
    m_error = QCoreApplication::translate(
        "calmora::OptionsKeeper", "The options could not be saved: %1")
                  .arg(m_store.errorString());
    return false;
}

} // namespace calmora
