#include "settings/qsettings_store.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QStorageInfo>
#include <QTemporaryFile>

#include <cstdio>

namespace calmora {

namespace {

QString keyOf(const QString& section, const QString& name)
{
    return section + u'/' + name;
}

// The values the file holds, read afresh from `path`.
QMap<QString, QVariant> valuesIn(const QString& path)
{
    QMap<QString, QVariant> values;
    const QSettings file(path, QSettings::IniFormat);
    for (const QString& key : file.allKeys())
        values.insert(key, file.value(key));
    return values;
}

// A name for a staging file beside `path` that nothing has used yet, so
// that the settings reader sees the file itself and not a copy it cached.
QString freshNameBeside(const QString& path)
{
    QTemporaryFile file(path + QStringLiteral(".XXXXXX"));
    file.setAutoRemove(false);
    if (!file.open())
        return {};
    return file.fileName();
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
    if (const auto pending = m_pending.find(key); pending != m_pending.end())
        return pending.value();
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
    const QString prefix = section + u'/';
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (!it.key().startsWith(prefix) || it.key().indexOf(u'/', prefix.size()) >= 0)
            continue;
        const QString name = it.key().mid(prefix.size());
        if (!it.value())
            names.removeAll(name);
        else if (!names.contains(name))
            names.append(name);
    }
    return names;
}

void QSettingsStore::writeBinary(
    const QString& section, const QString& name, const QByteArray& data)
{
    m_pending.insert(keyOf(section, name), QVariant(data));
}

void QSettingsStore::writeText(const QString& section, const QString& name, const QString& text)
{
    m_pending.insert(keyOf(section, name), QVariant(text));
}

void QSettingsStore::remove(const QString& section, const QString& name)
{
    m_pending.insert(keyOf(section, name), std::nullopt);
}

// QSettings writes its file through QSaveFile, which renames a file into
// place even when the last write failed: on a full disk the settings file
// became empty and reported no error. So the store never writes through
// QSettings into the real file. It writes a complete new file beside it,
// reads that back under a name no reader has cached, and only a file that
// holds every value is renamed over the old one.
bool QSettingsStore::flush()
{
    if (m_pending.isEmpty())
        return m_settings->status() == QSettings::NoError || fail(tr("the file is damaged."));
    const QString path = m_settings->fileName();
    if (!QDir().mkpath(QFileInfo(path).absolutePath()))
        return fail(tr("its folder cannot be created."));
    // Other instances of the program write the same file.
    QLockFile lock(path + QStringLiteral(".lock"));
    if (!lock.lock())
        return fail(tr("the file is locked."));

    // Values another instance saved meanwhile are kept, as QSettings would.
    m_settings->sync();
    QMap<QString, QVariant> values;
    for (const QString& key : m_settings->allKeys())
        values.insert(key, m_settings->value(key));
    for (auto it = m_pending.cbegin(); it != m_pending.cend(); ++it) {
        if (it.value())
            values.insert(it.key(), *it.value());
        else
            values.remove(it.key());
    }

    const QString staged = freshNameBeside(path);
    if (staged.isEmpty())
        return fail(whyUnwritable(path));
    bool written = false;
    {
        QSettings file(staged, QSettings::IniFormat);
        for (auto it = values.cbegin(); it != values.cend(); ++it)
            file.setValue(it.key(), it.value());
        file.sync();
        written = file.status() == QSettings::NoError;
    }
    const QString checked = written ? freshNameBeside(path) : QString();
    const bool complete = !checked.isEmpty() && QFile::remove(checked)
        && QFile::rename(staged, checked) && valuesIn(checked) == values;
    if (!complete || !replaceFile(checked, path)) {
        const QString reason = whyUnwritable(path);
        QFile::remove(staged);
        if (!checked.isEmpty())
            QFile::remove(checked);
        return fail(reason);
    }
    m_pending.clear();
    m_settings->sync();
    m_error.clear();
    return true;
}

bool QSettingsStore::replaceFile(const QString& from, const QString& to)
{
    // Atomic on one file system: a reader sees the old file or the new one.
    return std::rename(QFile::encodeName(from).constData(), QFile::encodeName(to).constData()) == 0;
}

QString QSettingsStore::whyUnwritable(const QString& path) const
{
    const QStorageInfo storage(QFileInfo(path).absolutePath());
    if (storage.isValid() && storage.bytesAvailable() < kSpaceMarginBytes)
        return tr("No space left on device.");
    if (storage.isValid() && storage.isReadOnly())
        return tr("the disk is read-only.");
    return tr("the file cannot be written.");
}

bool QSettingsStore::fail(const QString& reason)
{
    m_error = tr("The settings could not be saved to %1: %2").arg(location(), reason);
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
