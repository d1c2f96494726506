#include "document/decoder_messages.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>

#include <tiffio.h>

#include <QLoggingCategory>

namespace calmora {

namespace {

// Decoding happens on whichever thread loads a file; each collects its own.
thread_local DecoderMessages* t_collector = nullptr;
QtMessageHandler g_previousHandler = nullptr;
QLoggingCategory::CategoryFilter g_previousFilter = nullptr;

// A JPEG cut short is told apart only by the plugin's warning, so that
// warning must reach the collector even where a program's logging rules
// silence the image plugins; outside a collector it is dropped below.
void keepImagePluginWarnings(QLoggingCategory* category)
{
    if (g_previousFilter != nullptr)
        g_previousFilter(category);
    if (qstrncmp(category->categoryName(), "qt.gui.imageio", 14) == 0)
        category->setEnabled(QtWarningMsg, true);
}

void onQtMessage(QtMsgType type, const QMessageLogContext& context, const QString& message)
{
    if (t_collector != nullptr && type != QtFatalMsg) {
        // The loader decodes from memory; the buffer's complaints about a
        // seek past its end only repeat what the decoder says next. Remarks
        // on a colour profile are the metadata step's to make, once.
        if (!message.startsWith(QLatin1String("QBuffer::"))
            && qstrcmp(context.category, "qt.gui.icc") != 0)
            t_collector->add(message);
        return;
    }
    if (qstrncmp(context.category, "qt.gui.imageio", 14) == 0)
        return;
    if (g_previousHandler != nullptr)
        g_previousHandler(type, context, message);
    else
        std::fprintf(stderr, "%s\n", qPrintable(qFormatLogMessage(type, context, message)));
}

void onTiffMessage(const char* /*module*/, const char* format, va_list arguments)
{
    char text[512];
    std::vsnprintf(text, sizeof text, format, arguments);
    QString message = QString::fromLocal8Bit(text).trimmed();
    // Qt's plugin opens every TIFF stream under the name "foo".
    if (message.startsWith(QLatin1String("foo: ")))
        message.remove(0, 5);
    if (t_collector != nullptr)
        t_collector->add(message);
}

void installHandlers()
{
    static std::once_flag once;
    std::call_once(once, [] {
        g_previousHandler = qInstallMessageHandler(onQtMessage);
        g_previousFilter = QLoggingCategory::installFilter(keepImagePluginWarnings);
        TIFFSetErrorHandler(onTiffMessage);
        TIFFSetWarningHandler(onTiffMessage);
    });
}

} // namespace

DecoderMessages::DecoderMessages()
    : m_outer(t_collector)
{
    installHandlers();
    t_collector = this;
}

DecoderMessages::~DecoderMessages()
{
    t_collector = m_outer;
}

void DecoderMessages::add(const QString& message)
{
    if (!message.isEmpty() && !m_messages.contains(message))
        m_messages.append(message);
}

} // namespace calmora
