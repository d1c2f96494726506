// Every icon the program names is compiled in and draws something at the
// sizes it is shown at, on ordinary and on doubled-density screens.
// scripts/icon_sheet.sh draws them all side by side, to look at.

#include <QFile>
#include <QIcon>
#include <QImage>
#include <QPainter>
#include <QTest>

namespace {

const char* const kIconNames[] = {
    "calmora",
    "open", "save", "undo", "zoom-in", "zoom-out", "preview", "go",
    "noise-filter", "noise-profile", "options", "batch",
    "more", "less", "auto", "preset-save", "preset-delete", "section-open", "section-closed",
    "drop-down",
    // In the index order of the preset table's icon field.
    "preset-general", "preset-landscape", "preset-night", "preset-portrait", "preset-full",
    "preset-user", "preset-film-grain",
};

QString iconPath(const char* name)
{
    return QStringLiteral(":/icons/%1.svg").arg(QLatin1String(name));
}

// The image of `icon` at `size` logical pixels and `scale` device pixels per
// logical pixel.
QImage rendered(const QIcon& icon, int size, qreal scale)
{
    QImage image(QSize(size, size) * scale, QImage::Format_ARGB32_Premultiplied);
    image.setDevicePixelRatio(scale);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    icon.paint(&painter, QRect(0, 0, size, size));
    painter.end();
    return image;
}

int opaquePixels(const QImage& image)
{
    int count = 0;
    for (int y = 0; y < image.height(); ++y)
        for (int x = 0; x < image.width(); ++x)
            if (qAlpha(image.pixel(x, y)) > 128)
                ++count;
    return count;
}

} // namespace

class IconsTest : public QObject {
    Q_OBJECT

private slots:
    void drawn_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("size");
        QTest::addColumn<qreal>("scale");
        for (const char* name : kIconNames)
            for (const auto& [size, scale] : { std::pair { 16, 1.0 }, { 16, 2.0 }, { 24, 1.0 },
                     { 24, 2.0 }, { 256, 1.0 } })
                QTest::addRow("%s %d@%gx", name, size, scale) << iconPath(name) << size << scale;
    }

    // A missing file, a broken drawing or a missing SVG plugin all give an
    // empty picture.
    void drawn()
    {
        QFETCH(QString, path);
        QFETCH(int, size);
        QFETCH(qreal, scale);
        QVERIFY2(QFile::exists(path), qPrintable(path));
        const QImage image = rendered(QIcon(path), size, scale);
        const int pixels = image.width() * image.height();
        // Even the drop-down arrow, the smallest drawing, covers a sixteenth
        // of its square.
        const int opaque = opaquePixels(image);
        QVERIFY2(opaque * 32 >= pixels,
            qPrintable(QStringLiteral("%1: %2 of %3").arg(path).arg(opaque).arg(pixels)));
    }
};

QTEST_MAIN(IconsTest)
#include "icons_test.moc"
