#include "ui/profile_main_emb_dialog.h"

#include "document/tessolin_doc.h"
#include "ui/level_box.h"

#include <QComboBox>
#include <QEvent>
#include <QLabel>

#include <algorithm>

namespace calmora {

namespace {

// The curves: Y black, Cr dark red, Cb dark blue.
const QColor kCurveColours[kChannels] = { QColor(0, 0, 0), QColor(127, 0, 0), QColor(0, 0, 127) };
// Below this the graph would be a sliver: the Frequency row gives way.
constexpr int kMinGraphHeightPx = 90;
constexpr int kRowGapPx = 4;

// Images without colour differences carry one curve.
bool isGreyDepth(int32_t bitsPerPixel)
{
    return bitsPerPixel == 8 || bitsPerPixel == 16;
}

} // namespace

CProfileMainEmbDialog::CProfileMainEmbDialog(CTessolinDoc& document, QWidget* parent)
    : QWidget(parent)
    , m_document(document)
    , m_box(new CLevelBox(this))
    , m_text(new QLabel(this))
    , m_source(new QLabel(this))
    , m_frequencyLabel(new QLabel(tr("Fre&quency"), this))
    , m_frequency(new QComboBox(this))
{
    m_box->setObjectName(QStringLiteral("profileGraph"));
    m_box->setDisplayOnly(true);
    m_box->setAccessibleName(tr("Noise profile"));
    m_box->setAccessibleDescription(
        tr("Noise level of Y, Cr and Cb against brightness for the chosen frequency"));
    m_text->setObjectName(QStringLiteral("profileText"));
    m_text->setText(tr("Please wait while noise profile is being built..."));
    m_text->setWordWrap(true);
    m_text->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_source->setObjectName(QStringLiteral("profileSource"));
    m_source->setAccessibleName(tr("Profile in use"));
    m_source->hide();
    m_frequency->setObjectName(QStringLiteral("frequency"));
    m_frequency->addItems({ tr("High"), tr("Mid"), tr("Low"), tr("Very Low") });
    m_frequency->setAccessibleName(tr("Frequency"));
    m_frequency->setToolTip(tr("The frequency band whose noise the graph shows"));
    m_frequencyLabel->setBuddy(m_frequency);

    connect(m_frequency, &QComboBox::currentIndexChanged, this, [this](int index) {
        if (index >= 0)
            showProfileGraph(index);
    });
    connect(&m_document, &CTessolinDoc::profileReady, this, &CProfileMainEmbDialog::refresh);
    connect(&m_document, &CTessolinDoc::opened, this, &CProfileMainEmbDialog::refresh);
    connect(&m_document, &CTessolinDoc::contentsDeleted, this, &CProfileMainEmbDialog::refresh);
    refresh();
}

void CProfileMainEmbDialog::refresh()
{
    if (m_frequency->currentIndex() < 0)
        m_frequency->setCurrentIndex(0);
    showProfileGraph(std::max(m_frequency->currentIndex(), 0));
}

void CProfileMainEmbDialog::showProfileGraph(int band)
{
    // Read on this thread only, and only once the worker has said the
    // profile is ready: it writes activeProfile before it sets profileReady
    // (release), and no run writes it again until opening another image
    // clears profileReady on this thread. So a true profileReady (acquire)
    // guarantees a finished profile that stays still while it is copied.
    const ProcessingJob& job = m_document.job();
    const CBitmapEx* image = m_document.image();
    if (!m_document.isLoaded() || image == nullptr
        || !job.profileReady.load(std::memory_order_acquire)) {
        m_text->setText(image == nullptr || !m_document.isLoaded()
                ? tr("No image")
                : tr("Please wait while noise profile is being built..."));
        m_box->hide();
        m_source->hide();
        m_text->show();
        return;
    }
    // The source is written with the profiles, before profileReady.
    const LearnedSource& learned = job.learnedSource;
    QString source;
    if (job.request.useMeasuredProfile || learned.photos == 0)
        source = tr("Measured from this photo");
    else if (learned.photos == 1)
        source = tr("Learned from 1 photo (%1, ISO %2)")
                     .arg(learned.camera, QString::number(learned.isoSpeed));
    else
        source = tr("Learned from %1 photos (%2, ISO %3)")
                     .arg(QString::number(learned.photos), learned.camera,
                         QString::number(learned.isoSpeed));
    m_source->setText(source);
    m_source->setToolTip(source);
    const NoiseBand& noise = job.activeProfile.bands[std::clamp(band, 0, kProfileBands - 1)];
    const int rows = isGreyDepth(image->bitsPerPixel()) ? 1 : kChannels;
    // The count comes from the engine's estimate; a wrong one must not
    // reach past the band's arrays.
    const int columns = std::clamp(int(noise.pointCount), 0, int(kMaxPoints));

    m_text->hide();
    m_box->setDisplayOnly(true);
    m_box->setSize(rows, columns);
    for (int point = 0; point < columns; ++point)
        for (int row = 0; row < rows; ++row)
            m_box->setValue(row, point, noise.noise[point][row]);
    for (int row = 0; row < rows; ++row)
        m_box->setColour(row, kCurveColours[row]);
    m_box->show();
    m_source->setVisible(m_frequency->isVisibleTo(this));
    m_box->repaint();
}

QSize CProfileMainEmbDialog::sizeHint() const
{
    return { 220, 200 };
}

QSize CProfileMainEmbDialog::minimumSizeHint() const
{
    return { 120, 60 };
}

void CProfileMainEmbDialog::resizeEvent(QResizeEvent* event)
{
    QWidget::resizeEvent(event);
    layOut();
}

void CProfileMainEmbDialog::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
        layOut();
}

// The graph and its stand-in text share the area above the Frequency row;
// the text keeps a small margin. When the dialog is too short for both the
// row and a readable graph, the row goes.
void CProfileMainEmbDialog::layOut()
{
    const QSize comboSize = m_frequency->sizeHint();
    const int rowHeight = comboSize.height();
    const int captionHeight = m_source->sizeHint().height();
    const int below = rowHeight + captionHeight + 2 * kRowGapPx;
    const bool rowFits = height() - below >= kMinGraphHeightPx;
    const int graphHeight = rowFits ? height() - below : height();
    const QRect graph(0, 0, width(), graphHeight);
    m_box->setGeometry(graph);
    m_text->setGeometry(graph.adjusted(kTextInsetPx, kTextInsetPx, -kTextInsetPx, -kTextInsetPx));

    m_frequencyLabel->setVisible(rowFits);
    m_frequency->setVisible(rowFits);
    m_source->setVisible(rowFits && m_box->isVisibleTo(this));
    if (rowFits) {
        m_source->setGeometry(0, graphHeight + kRowGapPx, width(), captionHeight);
        const int y = graphHeight + captionHeight + 2 * kRowGapPx;
        const int labelWidth = m_frequencyLabel->sizeHint().width();
        m_frequencyLabel->setGeometry(0, y, labelWidth, rowHeight);
        const int comboLeft = labelWidth + kRowGapPx * 2;
        m_frequency->setGeometry(comboLeft, y,
            std::max(std::min(comboSize.width() + 20, width() - comboLeft), 0), rowHeight);
    }
}

} // namespace calmora
