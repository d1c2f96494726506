// A list of file paths kept as one block of text with each entry's end, for
// lists as long as an archive's: a million paths cost their bytes and eight
// more each, not a string object and an allocation of its own apiece.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <vector>

namespace calmora {

class PathList {
public:
    PathList() = default;
    // Not explicit: a short list is still handed over as a QStringList.
    PathList(const QStringList& paths);

    void append(const QString& path);
    qsizetype size() const { return static_cast<qsizetype>(m_ends.size()); }
    bool isEmpty() const { return m_ends.empty(); }
    // Decoded afresh on every call. Reading a list that nobody changes is
    // safe from any number of threads at once.
    QString at(qsizetype index) const;

private:
    // UTF-8, which is also how Qt spells a file's name to the system here,
    // so any path that can name a file comes back as it was given.
    QByteArray m_text;
    std::vector<int64_t> m_ends; // byte offsets into m_text
};

} // namespace calmora
