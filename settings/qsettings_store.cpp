#include "settings/qsettings_store.h"

#include <QDir>

namespace calmora {

namespace {

QString keyOf(const QString& section, const QString& name)
{
    return section + u'/' + name;
}

} // namespace

QSettingsStore::QSettingsStore()
    : m_settings(std::make_unique<QSettings>(
        QSettings::NativeFormat, QSettings::UserScope, kOrganisationName, kApplicationName))
{
    // Without this, reads would also see organisation-wide and system-wide
    // values, and a stray "FilterSettings" entry there would become a preset.
    m_settings->setFallbacksEnabled(false);
}

QSettingsStore::QSettingsStore(const QString& iniFilePath)
    : m_settings(std::make_unique<QSettings>(iniFilePath, QSettings::IniFormat))
{
    m_settings->setFallbacksEnabled(false);
}

QSettingsStore::~QSettingsStore() = default;

std::optional<QVariant> QSettingsStore::read(const QString& section, const QString& name) const
{
    const QString key = keyOf(section, name);
    if (!m_settings->contains(key))
        return std::nullopt;
    return m_settings->value(key);
}

std::optional<QByteArray> QSettingsStore::readBinary(
    const QString& section, const QString& name) const
{
    const std::optional<QVariant> value = read(section, name);
    if (!value || value->typeId() != QMetaType::QByteArray)
        return std::nullopt;
    return value->toByteArray();
}

std::optional<QString> QSettingsStore::readText(const QString& section, const QString& name) const
{
    const std::optional<QVariant> value = read(section, name);
    if (!value || value->typeId() != QMetaType::QString)
        return std::nullopt;
    return value->toString();
}

std::optional<QStringList> QSettingsStore::valueNames(const QString& section) const
{
    if (m_settings->status() == QSettings::AccessError)
        return std::nullopt;
    m_settings->beginGroup(section);
    QStringList names = m_settings->childKeys();
    m_settings->endGroup();
    return names;
}

void QSettingsStore::writeBinary(
    const QString& section, const QString& name, const QByteArray& data)
{
    m_settings->setValue(keyOf(section, name), data);
}

void QSettingsStore::writeText(const QString& section, const QString& name, const QString& text)
{
    m_settings->setValue(keyOf(section, name), text);
}

void QSettingsStore::remove(const QString& section, const QString& name)
{
    m_settings->remove(keyOf(section, name));
}

bool QSettingsStore::flush()
{
    m_settings->sync();
    switch (m_settings->status()) {
    case QSettings::NoError:
        m_error.clear();
        return true;
    case QSettings::AccessError:
        m_error
            = QStringLiteral("The settings could not be saved to %1: the file cannot be written.")
                  .arg(location());
        return false;
    case QSettings::FormatError:
        m_error = QStringLiteral("The settings could not be saved to %1: the file is damaged.")
                      .arg(location());
        return false;
    }
    return false;
}

QString QSettingsStore::errorString() const
{
    return m_error;
}

QString QSettingsStore::location() const
{
    return QDir::toNativeSeparators(m_settings->fileName());
}

} // namespace calmora
