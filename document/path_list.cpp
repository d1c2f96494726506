#include "document/path_list.h"

namespace calmora {

PathList::PathList(const QStringList& paths)
{
    m_ends.reserve(static_cast<size_t>(paths.size()));
    for (const QString& path : paths)
        append(path);
}

void PathList::append(const QString& path)
{
    m_text += path.toUtf8();
    m_ends.push_back(m_text.size());
}

QString PathList::at(qsizetype index) const
{
    const auto entry = static_cast<size_t>(index);
    const int64_t begin = entry == 0 ? 0 : m_ends[entry - 1];
    return QString::fromUtf8(m_text.constData() + begin, m_ends[entry] - begin);
}

} // namespace calmora
