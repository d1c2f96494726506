// What the image decoders say while a file is read. Qt's image plugins warn
// through Qt's message handler and libtiff through handlers of its own; left
// alone, both print raw library lines on the terminal, some naming the file
// "foo". While a DecoderMessages lives, whatever they say on its thread is
// kept in it instead, for the loader to report once, in its own words.
#pragma once

#include <QStringList>

namespace calmora {

class DecoderMessages {
public:
    DecoderMessages();
    ~DecoderMessages();
    DecoderMessages(const DecoderMessages&) = delete;
    DecoderMessages& operator=(const DecoderMessages&) = delete;

    // In the order they were said, each once.
    const QStringList& messages() const { return m_messages; }
    void add(const QString& message);

private:
    DecoderMessages* m_outer;
    QStringList m_messages;
};

} // namespace calmora
