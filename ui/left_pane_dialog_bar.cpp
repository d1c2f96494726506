#include "ui/left_pane_dialog_bar.h"

#include "document/bitmap_ex.h"
#include "document/tessolin_doc.h"
#include "settings/auto_strength.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "ui/command_ids.h"
#include "ui/options_keeper.h"
#include "ui/pane_button.h"
#include "ui/pane_section.h"
#include "ui/preset_list.h"
#include "ui/profile_main_emb_dialog.h"
#include "ui/user_prompter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGridLayout>
#include <QGroupBox>
#include <QHeaderView>
#include <QInputDialog>
#include <QLabel>
#include <QMouseEvent>
#include <QSlider>
#include <QStandardItemModel>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace calmora {

namespace {

// Slider values are in steps of 5 %.
constexpr int kPercentPerStep = 5;
// No single move of the pointer takes the pane wider than the frame less
// this much.
constexpr int kFrameMarginPx = 50;

enum class RowKind { Level, Suppression, Sharpening };

// The EXIF section's rows, in the order they are listed; a value the file
// does not give is left out.
struct ExifRow {
    CExifFormatter::Text text;
    const char* label;
};

constexpr ExifRow kExifRows[] = {
    { CExifFormatter::kMakeText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Camera maker") },
    { CExifFormatter::kModelText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Camera model") },
    { CExifFormatter::kLensText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Lens") },
    { CExifFormatter::kDateTakenText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Date taken") },
    { CExifFormatter::kExposureTimeText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Exposure time") },
    { CExifFormatter::kApertureText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Aperture") },
    { CExifFormatter::kIsoSpeedText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "ISO speed") },
    { CExifFormatter::kFocalLengthText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Focal length") },
    { CExifFormatter::kFlashText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Flash") },
    { CExifFormatter::kExposureProgramText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Exposure program") },
    { CExifFormatter::kMeteringModeText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Metering mode") },
    { CExifFormatter::kWhiteBalanceText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "White balance") },
    { CExifFormatter::kExposureBiasText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Exposure bias") },
    { CExifFormatter::kSoftwareText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Software") },
    { CExifFormatter::kDimensionsText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Dimensions") },
    { CExifFormatter::kOrientationText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Orientation") },
    { CExifFormatter::kArtistText, QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Artist") },
    { CExifFormatter::kCopyrightText,
        QT_TRANSLATE_NOOP("calmora::CLeftPaneDialogBar", "Copyright") },
};

QString signOf(int value)
{
    return value > 0 ? QStringLiteral("+") : QString();
}

} // namespace

QString levelText(int value)
{
    return QString::asprintf("%s%d%%", qPrintable(signOf(value)), kPercentPerStep * value);
}

QString suppressionText(int value)
{
    return QString::asprintf("%d%%", kPercentPerStep * value);
}

QString sharpeningText(int value)
{
    return QString::asprintf("%s%d", qPrintable(signOf(value)), value);
}

int draggedPaneWidth(int width, int pointerFromEdge, int frameWidth)
{
    const int step = std::min(pointerFromEdge, frameWidth - kFrameMarginPx);
    const int result = width + step;
    return result <= CLeftPaneDialogBar::kMinimumWidth - 1 ? CLeftPaneDialogBar::kMinimumWidth
                                                           : result;
}

struct CLeftPaneDialogBar::SliderRow {
    int field;
    const char* label;
    const char* accessibleName;
    RowKind kind;
    bool more; // shown with the frequency controls only
};

CLeftPaneDialogBar::CLeftPaneDialogBar(CTessolinDoc& document, OptionsKeeper& options,
    PresetTable& presets, UserPrompter& prompter, QAction* go, QWidget* parent)
    : CPaneDialogBar(parent)
    , m_document(document)
    , m_options(options)
    , m_presets(presets)
    , m_prompter(prompter)
{
    setObjectName(QStringLiteral("filterPane"));
    setAccessibleName(tr("Noise Filter"));
    setMinimumWidth(kMinimumWidth);
    m_askName = [this](const QString& suggested) {
        bool ok = false;
        const QString name = QInputDialog::getText(this, tr("Save Settings"),
            tr("Name of the preset:"), QLineEdit::Normal, suggested, &ok);
        return ok ? name : QString();
    };

    auto* layout = new QVBoxLayout(this);
    // The right margin is the pane's own edge, where it is resized.
    layout->setContentsMargins(5, 5, kEdgeGripPx + 1, 5);
    layout->setSpacing(5);

    m_filterSection = new CPaneSection(helper(), kNoiseFilterSection, tr("Noise Filter"), this);
    m_exifSection = new CPaneSection(helper(), kExifSection, tr("EXIF"), this);
    m_profileSection = new CPaneSection(helper(), kProfileSection, tr("Noise Profile"), this);
    layout->addWidget(m_filterSection);
    layout->addWidget(m_exifSection);
    layout->addWidget(m_profileSection);
    layout->addStretch(1);

    buildNoiseFilterSection();
    m_goButton->setAction(go);
    buildExifSection();
    buildProfileSection();
    setTabOrder();

    for (CPaneSection* section : { m_filterSection, m_exifSection, m_profileSection }) {
        connect(section, &CPaneSection::captionClicked, this,
            [this, section] { onSectionCaption(section->id()); });
    }
    // The section state of the last run; both may not be open at once.
    const int stored = m_options.options().settings2.paneSection;
    m_exifSection->setOpen(stored == kExifOpen);
    m_profileSection->setOpen(stored == kProfileOpen);

    fillPresetList();
    showMoreControls();
    setDocumentState(false, false);
    // The profile in use may change by the box or by a profile pass.
    connect(
        &m_document, &CTessolinDoc::profileReady, this, &CLeftPaneDialogBar::showSelfLearningState);
}

CLeftPaneDialogBar::~CLeftPaneDialogBar() = default;

void CLeftPaneDialogBar::buildNoiseFilterSection()
{
    auto* content = new QWidget;
    content->setObjectName(QStringLiteral("noiseFilterContent"));
    auto* layout = new QVBoxLayout(content);
    layout->setContentsMargins(4, 4, 4, 6);
    layout->setSpacing(4);
    addPresetButtons();
    addPresetRow(*layout);
    addLevelGroup(*layout);
    addDegreeRow(*layout);
    addMoreRow(*layout);
    addSelfLearningRow(*layout);
    paintControlsOnPane(content);
    m_filterSection->setContent(content);
}

void CLeftPaneDialogBar::addPresetButtons()
{
    m_savePreset = makeButton(kSavePresetCommand, kSectionCaption | kFramed | kIconOnly,
        QStringLiteral("preset-save"),
        tr("Save the current settings as a preset of your own\nSave Settings"),
        kNoiseFilterSection);
    m_savePreset->setObjectName(QStringLiteral("savePresetButton"));
    m_savePreset->setAccessibleName(tr("Save Settings"));
    m_deletePreset = makeButton(kDeletePresetCommand, kSectionCaption | kFramed | kIconOnly,
        QStringLiteral("preset-delete"), tr("Delete the selected preset of your own\nDelete"),
        kNoiseFilterSection);
    m_deletePreset->setObjectName(QStringLiteral("deletePresetButton"));
    m_deletePreset->setAccessibleName(tr("Delete preset"));
    for (CPaneButton* button : { m_savePreset, m_deletePreset }) {
        button->setText(QString()); // icon buttons: the caption is the tooltip
        button->setFixedSize(20, 20);
        m_filterSection->addCaptionButton(button);
    }
    connect(m_savePreset, &QAbstractButton::clicked, this, &CLeftPaneDialogBar::saveUserPreset);
    connect(m_deletePreset, &QAbstractButton::clicked, this, &CLeftPaneDialogBar::deleteUserPreset);
}

void CLeftPaneDialogBar::addPresetRow(QVBoxLayout& layout)
{
    QWidget* content = layout.parentWidget();
    m_presetLabel = new QLabel(tr("&Settings"), content);
    m_presetList = new QComboBox(content);
    m_presetList->setObjectName(QStringLiteral("panePresetList"));
    m_presetList->setAccessibleName(tr("Preset"));
    m_presetList->setToolTip(tr("Filter settings to start from"));
    m_presetLabel->setBuddy(m_presetList);
    m_presetModel = new QStandardItemModel(this);
    showPresetList(*m_presetList, *m_presetModel);
    connect(m_presetList, &QComboBox::activated, this, &CLeftPaneDialogBar::loadPreset);
    m_goButton = makeButton(
        kGoCommand, kFramed | kEmphasised, QStringLiteral("go"), QString(), kNoiseFilterSection);
    m_goButton->setObjectName(QStringLiteral("paneGoButton"));
    auto* row = new QHBoxLayout;
    row->addWidget(m_presetLabel);
    row->addWidget(m_presetList, 1);
    row->addWidget(m_goButton);
    layout.addLayout(row);
}

void CLeftPaneDialogBar::addLevelGroup(QVBoxLayout& layout)
{
    m_levelGroup = new QGroupBox(tr("Noise Level Adjustment"), layout.parentWidget());
    auto* groupLayout = new QVBoxLayout(m_levelGroup);
    groupLayout->setContentsMargins(4, 4, 4, 4);
    groupLayout->addWidget(buildSliderRows());
    layout.addWidget(m_levelGroup);
}

void CLeftPaneDialogBar::addDegreeRow(QVBoxLayout& layout)
{
    QWidget* content = layout.parentWidget();
    m_degreeLabel = new QLabel(tr("Processing &Degree"), content);
    m_degree = new QComboBox(content);
    m_degree->setObjectName(QStringLiteral("degree"));
    m_degree->setAccessibleName(tr("Processing Degree"));
    m_degree->addItems({ tr("Auto"), tr("High"), tr("Normal"), tr("Low") });
    m_degreeLabel->setBuddy(m_degree);
    connect(m_degree, &QComboBox::activated, this, [this] { applyControls(); });
    auto* row = new QHBoxLayout;
    row->addWidget(m_degreeLabel);
    row->addWidget(m_degree, 1);
    layout.addLayout(row);
}

void CLeftPaneDialogBar::addMoreRow(QVBoxLayout& layout)
{
    m_moreButton = makeButton(kMoreControlsCommand, kPushButton | kOnPaneColour,
        QStringLiteral("more"), QString(), kNoiseFilterSection);
    m_moreButton->setObjectName(QStringLiteral("moreControlsButton"));
    connect(m_moreButton, &QAbstractButton::clicked, this, &CLeftPaneDialogBar::toggleMoreControls);
    m_autoButton = makeButton(kAutoStrengthCommand, kPushButton | kFramed, QStringLiteral("auto"),
        tr("Choose the settings from the noise measured in this image\nAuto"), kNoiseFilterSection);
    m_autoButton->setObjectName(QStringLiteral("autoButton"));
    m_autoButton->setAccessibleName(tr("Auto"));
    connect(m_autoButton, &QAbstractButton::clicked, this, &CLeftPaneDialogBar::applyAutoStrength);
    auto* row = new QHBoxLayout;
    row->addWidget(m_moreButton, 0, Qt::AlignLeft);
    row->addStretch(1);
    row->addWidget(m_autoButton);
    layout.addLayout(row);
}

void CLeftPaneDialogBar::addSelfLearningRow(QVBoxLayout& layout)
{
    m_selfLearning
        = new QCheckBox(tr("Turn off self-learning for this image"), layout.parentWidget());
    m_selfLearning->setObjectName(QStringLiteral("selfLearningBox"));
    m_selfLearning->setToolTip(tr("Filter this image with its own measured noise profile"));
    connect(m_selfLearning, &QCheckBox::clicked, this, &CLeftPaneDialogBar::onSelfLearningClicked);
    layout.addWidget(m_selfLearning);
}

QWidget* CLeftPaneDialogBar::buildSliderRows()
{
    static const SliderRow kRows[] = {
        { 1, QT_TR_NOOP("&Luminance"), QT_TR_NOOP("Luminance noise level"), RowKind::Level, false },
        { 2, QT_TR_NOOP("C&olor"), QT_TR_NOOP("Color noise level"), RowKind::Level, false },
        { 3, QT_TR_NOOP("High Freq"), QT_TR_NOOP("High frequency noise level"), RowKind::Level,
            true },
        { 4, QT_TR_NOOP("Mid Freq"), QT_TR_NOOP("Middle frequency noise level"), RowKind::Level,
            true },
        { 5, QT_TR_NOOP("Low Freq"), QT_TR_NOOP("Low frequency noise level"), RowKind::Level,
            true },
        { 6, QT_TR_NOOP("Very Low"), QT_TR_NOOP("Very low frequency noise level"), RowKind::Level,
            true },
        { 11, QT_TR_NOOP("Color"), QT_TR_NOOP("Color noise suppression"), RowKind::Suppression,
            true },
        { 12, QT_TR_NOOP("High Freq"), QT_TR_NOOP("High frequency noise suppression"),
            RowKind::Suppression, true },
        { 13, QT_TR_NOOP("Mid Freq"), QT_TR_NOOP("Middle frequency noise suppression"),
            RowKind::Suppression, true },
        { 14, QT_TR_NOOP("Low Freq"), QT_TR_NOOP("Low frequency noise suppression"),
            RowKind::Suppression, true },
        { 15, QT_TR_NOOP("Very Low"), QT_TR_NOOP("Very low frequency noise suppression"),
            RowKind::Suppression, true },
        { 10, QT_TR_NOOP("S&uppression"), QT_TR_NOOP("Luminance noise suppression"),
            RowKind::Suppression, false },
        { 7, QT_TR_NOOP("S&harpening"), QT_TR_NOOP("Sharpening"), RowKind::Sharpening, false },
    };
    auto* rows = new QWidget;
    auto* grid = new QGridLayout(rows);
    grid->setContentsMargins(0, 0, 0, 0);
    grid->setHorizontalSpacing(4);
    grid->setVerticalSpacing(1);
    grid->setColumnStretch(1, 1);
    int row = 0;
    for (const SliderRow& entry : kRows) {
        // The second block of the frequency controls stands apart, under
        // its own caption and between two lines.
        if (entry.field == 11 || entry.field == 10) {
            auto* line = new QFrame(rows);
            line->setFrameShape(QFrame::HLine);
            line->setFrameShadow(QFrame::Sunken);
            grid->addWidget(line, row++, 0, 1, 3);
            m_moreWidgets.push_back(line);
        }
        if (entry.field == 11) {
            auto* caption = new QLabel(tr("Noise Suppression"), rows);
            QFont bold = caption->font();
            bold.setBold(true);
            caption->setFont(bold);
            grid->addWidget(caption, row++, 0, 1, 3);
            m_moreWidgets.push_back(caption);
        }
        addSliderRow(*grid, row, entry);
    }
    return rows;
}

void CLeftPaneDialogBar::addSliderRow(QGridLayout& grid, int& row, const SliderRow& entry)
{
    QWidget* parent = grid.parentWidget();
    const FilterField& field = kFilterFields[static_cast<size_t>(entry.field)];
    auto* name = new QLabel(tr(entry.label), parent);
    auto* slider = new QSlider(Qt::Horizontal, parent);
    slider->setObjectName(QString::fromLatin1(field.name));
    slider->setAccessibleName(tr(entry.accessibleName));
    slider->setRange(field.minimum, field.maximum);
    slider->setSingleStep(1);
    slider->setPageStep(entry.kind == RowKind::Sharpening ? 1 : 4);
    slider->setFocusPolicy(Qt::StrongFocus);
    auto* value = new QLabel(parent);
    value->setObjectName(QString::fromLatin1(field.name) + QStringLiteral("Text"));
    value->setMinimumWidth(QFontMetrics(value->font()).horizontalAdvance(QStringLiteral("+900%")));
    value->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
    name->setBuddy(slider);
    grid.addWidget(name, row, 0);
    grid.addWidget(slider, row, 1);
    grid.addWidget(value, row, 2);
    ++row;
    const int index = entry.field;
    m_sliders[static_cast<size_t>(index)] = slider;
    m_nameLabels[static_cast<size_t>(index)] = name;
    m_valueLabels[static_cast<size_t>(index)] = value;
    if (entry.more) {
        m_moreWidgets.push_back(name);
        m_moreWidgets.push_back(slider);
        m_moreWidgets.push_back(value);
    }
    // A drag is applied when the slider is let go; the keyboard and the
    // wheel move it without a press, and each of their steps is applied.
    connect(slider, &QSlider::valueChanged, this, [this, index] { onSliderValue(index); });
    connect(slider, &QSlider::sliderReleased, this, &CLeftPaneDialogBar::applyControls);
}

void CLeftPaneDialogBar::buildExifSection()
{
    m_exifList = new QTreeWidget;
    m_exifList->setObjectName(QStringLiteral("exifList"));
    m_exifList->setAccessibleName(tr("EXIF information"));
    m_exifList->setColumnCount(2);
    m_exifList->setHeaderLabels({ tr("Tag"), tr("Value") });
    m_exifList->setRootIsDecorated(false);
    m_exifList->setUniformRowHeights(true);
    m_exifList->header()->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    m_exifList->header()->setStretchLastSection(true);
    m_exifList->setMinimumHeight(kSectionHeight - m_exifSection->bandHeight());
    m_exifSection->setContent(m_exifList);
}

void CLeftPaneDialogBar::buildProfileSection()
{
    auto* holder = new QWidget;
    holder->setObjectName(QStringLiteral("profileHolder"));
    holder->setMinimumHeight(kSectionHeight - m_profileSection->bandHeight());
    auto* layout = new QVBoxLayout(holder);
    layout->setContentsMargins(4, 4, 4, 4);
    m_profileView = new CProfileMainEmbDialog(m_document, holder);
    m_profileView->setObjectName(QStringLiteral("profileView"));
    layout->addWidget(m_profileView);
    paintControlsOnPane(holder);
    m_profileSection->setContent(holder);
}

void CLeftPaneDialogBar::setTabOrder()
{
    // Top to bottom, as the pane reads.
    QList<QWidget*> order { m_filterSection->captionButton(), m_savePreset, m_deletePreset,
        m_presetList, m_goButton };
    for (int field : { 1, 2, 3, 4, 5, 6, 11, 12, 13, 14, 15, 10, 7 })
        order << m_sliders[static_cast<size_t>(field)];
    order << m_degree << m_moreButton << m_autoButton << m_selfLearning
          << m_exifSection->captionButton() << m_exifList << m_profileSection->captionButton();
    for (QWidget* widget : m_profileSection->content()->findChildren<QWidget*>()) {
        if (widget->focusPolicy() != Qt::NoFocus)
            order << widget;
    }
    for (qsizetype i = 1; i < order.size(); ++i)
        QWidget::setTabOrder(order[i - 1], order[i]);
}

void CLeftPaneDialogBar::fillPresetList()
{
    fillPresetModel(*m_presetModel, m_presets);
    fitPresetDropDown(*m_presetList);
    loadPreset(m_presets.indexOrFirst(m_options.options().settings.defaultPreset));
}

int CLeftPaneDialogBar::selectedPreset() const
{
    return m_presetList->currentIndex();
}

void CLeftPaneDialogBar::selectPreset(int index)
{
    m_presetList->setCurrentIndex(index);
    m_presetName = index >= 0 && index < m_presets.count() ? m_presets.at(index).name : QString();
    updatePresetButtons();
    emit presetSelected(index);
}

void CLeftPaneDialogBar::readControls()
{
    m_values.degree = std::max(0, m_degree->currentIndex());
    for (int field = 1; field < kFilterFieldCount; ++field) {
        if (QSlider* slider = m_sliders[static_cast<size_t>(field)])
            fieldAt(m_values, field) = slider->value();
    }
}

void CLeftPaneDialogBar::writeControls()
{
    // Writing is not a move of the user's: it must not apply again.
    m_writing = true;
    m_degree->setCurrentIndex(m_values.degree);
    for (int field = 1; field < kFilterFieldCount; ++field) {
        if (QSlider* slider = m_sliders[static_cast<size_t>(field)])
            slider->setValue(fieldAt(m_values, field));
    }
    m_writing = false;
    showTexts();
}

void CLeftPaneDialogBar::showTexts()
{
    for (int field = 1; field < kFilterFieldCount; ++field) {
        QLabel* label = m_valueLabels[static_cast<size_t>(field)];
        if (label == nullptr)
            continue;
        const int value = m_sliders[static_cast<size_t>(field)]->value();
        const FilterField& entry = kFilterFields[static_cast<size_t>(field)];
        label->setText(entry.minimum < 0 && entry.maximum <= 5 ? sharpeningText(value)
                : entry.minimum < 0                            ? levelText(value)
                                                               : suppressionText(value));
    }
}

void CLeftPaneDialogBar::onSliderValue(int field)
{
    if (m_writing)
        return;
    QSlider* slider = m_sliders[static_cast<size_t>(field)];
    if (slider->isSliderDown())
        showTexts(); // the text follows the drag; the filter waits for the release
    else
        applyControls();
}

void CLeftPaneDialogBar::applyControls()
{
    readControls();
    showTexts();
    // Derived with or without an image: a batch on the pane's settings
    // filters with what the pane shows.
    m_document.setFilterSettings(m_values);
    if (m_document.image() == nullptr)
        return;
    // Values that left the selected preset are the custom ones.
    const int selected = selectedPreset();
    if (selected < 0 || selected >= m_presets.count()
        || m_presets.at(selected).values != m_values) {
        m_presets.setCustomValues(m_values);
        if (selected != PresetTable::kCustomIndex)
            selectPreset(PresetTable::kCustomIndex);
    }
    writeControls();
}

void CLeftPaneDialogBar::loadPreset(int index)
{
    index = m_presets.indexOrFirst(index);
    m_values = m_presets.at(index).values;
    writeControls();
    selectPreset(index);
    applyControls();
    update();
}

void CLeftPaneDialogBar::applyAutoStrength()
{
    // The worker writes the profile before it sets profileReady and never
    // while it stays set, so a ready profile may be read here.
    const ProcessingJob& job = m_document.job();
    if (m_document.image() == nullptr || !job.profileReady.load(std::memory_order_acquire))
        return;
    // From the kept original: a preview may be filtering the working
    // picture meanwhile, but nothing writes the original.
    const CBitmapEx& image = *m_document.image();
    const bool learned = job.learnedSource.photos > 0 && !job.request.useMeasuredProfile;
    const AutoStrength choice
        = chooseAutoStrength(image.untouchedDescription(), job.activeProfile, kAllThreads,
            learned ? &job.measuredProfile : nullptr, job.pixelNoise ? &*job.pixelNoise : nullptr);
    // The values become "Custom" like any change by hand, for the user to
    // see and adjust.
    m_values = choice.values;
    writeControls();
    applyControls();
    const QString level = QString::number(choice.noiseLevel, 'f', 1);
    emit noteRequested(choice.filter
            ? tr("Auto: settings chosen for noise of about %1 levels").arg(level)
            : tr("Auto: noise of about %1 levels is too weak to gain from filtering; the least "
                 "harmful settings are set")
                  .arg(level));
}

void CLeftPaneDialogBar::setDocumentState(bool hasImage, bool profileReady)
{
    m_hasImage = hasImage;
    for (int field = 1; field < kFilterFieldCount; ++field) {
        for (QWidget* widget : { static_cast<QWidget*>(m_sliders[static_cast<size_t>(field)]),
                 static_cast<QWidget*>(m_nameLabels[static_cast<size_t>(field)]),
                 static_cast<QWidget*>(m_valueLabels[static_cast<size_t>(field)]) }) {
            if (widget != nullptr)
                widget->setEnabled(hasImage);
        }
    }
    for (QWidget* widget : { static_cast<QWidget*>(m_degree), static_cast<QWidget*>(m_degreeLabel),
             static_cast<QWidget*>(m_presetList), static_cast<QWidget*>(m_presetLabel),
             static_cast<QWidget*>(m_moreButton), static_cast<QWidget*>(m_levelGroup) })
        widget->setEnabled(hasImage);
    m_selfLearning->setEnabled(hasImage && profileReady);
    m_autoButton->setEnabled(hasImage && profileReady);
    showSelfLearningState();
    updatePresetButtons();
}

void CLeftPaneDialogBar::updatePresetButtons()
{
    m_savePreset->setEnabled(m_hasImage);
    m_deletePreset->setEnabled(m_hasImage && selectedPreset() > PresetTable::kCustomIndex);
}

void CLeftPaneDialogBar::toggleMoreControls()
{
    m_moreControls = !m_moreControls;
    showMoreControls();
}

void CLeftPaneDialogBar::showMoreControls()
{
    for (QWidget* widget : m_moreWidgets)
        widget->setVisible(m_moreControls);
    m_moreButton->setCommandText(m_moreControls ? tr("Less controls <<\nLess Controls <<")
                                                : tr("More controls >>\nMore Controls >>"));
    m_moreButton->setIconName(m_moreControls ? QStringLiteral("less") : QStringLiteral("more"));
    updateGeometry();
}

void CLeftPaneDialogBar::showSelfLearningState()
{
    const CBitmapEx* image = m_document.image();
    bool checked
        = m_options.options().settings2.selfLearning == 0 || m_document.usesMeasuredProfile();
    if (image != nullptr && !eligible(image->exif().record()))
        checked = true;
    m_selfLearning->setChecked(checked);
}

void CLeftPaneDialogBar::onSelfLearningClicked(bool checked)
{
    const CBitmapEx* image = m_document.image();
    if (image == nullptr)
        return;
    Options& options = m_options.options();
    if (!checked) {
        const CExifFormatter& exif = image->exif();
        if (!eligible(exif.record())) {
            m_selfLearning->setChecked(true);
            m_prompter.tell(
                selfLearningRefusal(exif.isoSpeedText(), exif.softwareText()), PromptIcon::Warning);
            return;
        }
        if (options.settings2.selfLearning == 0) {
            if (m_prompter.ask(tr("The Self-Learning Noise Profiling is disabled.\r\n"
                                  "Do you want to enable it?"),
                    PromptIcon::Question, PromptButtons::YesNo)
                != PromptAnswer::Yes) {
                m_selfLearning->setChecked(true);
                return;
            }
            options.settings2.selfLearning = 1;
            if (!m_options.save())
                m_prompter.tell(m_options.errorString(), PromptIcon::Error);
        }
    } else if (!m_document.job().profileMeasured.load()
        && m_prompter.ask(tr("The individual Noise Profile for the loaded image has "
                             "not been build yet.\r\nDo you want to start building "
                             "it?"),
               PromptIcon::Question, PromptButtons::YesNo)
            != PromptAnswer::Yes) {
        m_selfLearning->setChecked(false);
        return;
    }
    // Without a measured profile the document builds it first; the box
    // follows the profile the document announces.
    m_document.useMeasuredProfile(checked);
}

bool CLeftPaneDialogBar::isSectionOpen(int id) const
{
    if (id == kExifSection)
        return m_exifSection->isOpen();
    if (id == kProfileSection)
        return m_profileSection->isOpen();
    return m_filterSection->isOpen();
}

void CLeftPaneDialogBar::setSectionOpen(int id, bool open)
{
    if (id == kExifSection || id == kProfileSection) {
        CPaneSection* section = id == kExifSection ? m_exifSection : m_profileSection;
        CPaneSection* other = id == kExifSection ? m_profileSection : m_exifSection;
        if (open)
            other->setOpen(false);
        section->setOpen(open);
    } else {
        m_filterSection->setOpen(open);
    }
    updateGeometry();
}

int CLeftPaneDialogBar::sectionState() const
{
    if (m_exifSection->isOpen())
        return kExifOpen;
    if (m_profileSection->isOpen())
        return kProfileOpen;
    return kNoSectionOpen;
}

void CLeftPaneDialogBar::storeSectionState(bool paneVisible)
{
    Settings2Group& group = m_options.options().settings2;
    group.paneSection = sectionState();
    if (paneVisible)
        group.filterPaneVisible = 1;
    if (!m_options.save())
        m_prompter.tell(m_options.errorString(), PromptIcon::Error);
}

void CLeftPaneDialogBar::onSectionCaption(int id)
{
    setSectionOpen(id, !isSectionOpen(id));
    if (id != kNoiseFilterSection)
        storeSectionState(false);
    emit sectionsChanged();
}

void CLeftPaneDialogBar::fillExif()
{
    m_exifList->clear();
    const CBitmapEx* image = m_document.image();
    if (image == nullptr)
        return;
    const CExifFormatter& exif = image->exif();
    for (const ExifRow& row : kExifRows) {
        if (const QString& value = exif.text(row.text); !value.isEmpty())
            new QTreeWidgetItem(m_exifList, { tr(row.label), value });
    }
}

void CLeftPaneDialogBar::saveUserPreset()
{
    const int selected = selectedPreset();
    const QString suggested
        = selected > PresetTable::kCustomIndex ? m_presets.at(selected).name : QString();
    QString name = m_askName(suggested);
    if (name.isNull())
        return;
    name = name.trimmed();
    if (m_presets.userIndexOf(name) >= 0
        && m_prompter.ask(tr("A preset named \"%1\" exists already. Do you want to "
                             "replace it?")
                              .arg(name),
               PromptIcon::Question, PromptButtons::YesNo)
            != PromptAnswer::Yes)
        return;
    readControls();
    QString error;
    const int index = m_presets.saveUserPreset(m_options.store(), name, m_values, &error);
    if (index < 0) {
        m_prompter.tell(error, PromptIcon::Warning);
        return;
    }
    fillPresetModel(*m_presetModel, m_presets);
    fitPresetDropDown(*m_presetList);
    selectPreset(index);
}

void CLeftPaneDialogBar::deleteUserPreset()
{
    const int index = selectedPreset();
    if (index <= PresetTable::kCustomIndex || index >= m_presets.count())
        return;
    const QString name = m_presets.at(index).name;
    if (m_prompter.ask(tr("Do you want to delete the preset \"%1\"?").arg(name),
            PromptIcon::Question, PromptButtons::YesNo)
        != PromptAnswer::Yes)
        return;
    QString error;
    if (!m_presets.deleteUserPreset(m_options.store(), index, &error)) {
        m_prompter.tell(error, PromptIcon::Warning);
        return;
    }
    // The default preset is kept by its index: one after the deleted entry
    // moves up with it, the deleted one itself gives way to the first.
    int& defaultPreset = m_options.options().settings.defaultPreset;
    if (defaultPreset >= index) {
        defaultPreset = defaultPreset == index ? 0 : defaultPreset - 1;
        if (!m_options.save())
            m_prompter.tell(m_options.errorString(), PromptIcon::Error);
    }
    fillPresetModel(*m_presetModel, m_presets);
    fitPresetDropDown(*m_presetList);
    // The values stay in the controls, now as the custom ones.
    m_presets.setCustomValues(m_values);
    selectPreset(PresetTable::kCustomIndex);
}

void CLeftPaneDialogBar::setPaneWidth(int width)
{
    m_paneWidth = std::max(width, kMinimumWidth);
    updateGeometry();
}

QSize CLeftPaneDialogBar::sizeHint() const
{
    const QSize hint = CPaneDialogBar::sizeHint();
    return { m_paneWidth > 0 ? m_paneWidth : kTemplateWidth, hint.height() };
}

int CLeftPaneDialogBar::frameWidth() const
{
    const QWidget* top = window();
    return top != nullptr ? top->width() : width() + kFrameMarginPx;
}

bool CLeftPaneDialogBar::onEdge(const QPoint& position) const
{
    return position.x() >= width() - kEdgeGripPx && position.x() < width();
}

void CLeftPaneDialogBar::mouseMoveEvent(QMouseEvent* event)
{
    const QPoint position = event->position().toPoint();
    if (m_dragging) {
        m_paneWidth = draggedPaneWidth(width(), position.x() - width(), frameWidth());
        updateGeometry();
        emit widthRequested(m_paneWidth);
        return;
    }
    setCursor(onEdge(position) ? Qt::SizeHorCursor : Qt::ArrowCursor);
    CPaneDialogBar::mouseMoveEvent(event);
}

void CLeftPaneDialogBar::mousePressEvent(QMouseEvent* event)
{
    if (event->button() == Qt::LeftButton && onEdge(event->position().toPoint())) {
        m_dragging = true;
        return;
    }
    CPaneDialogBar::mousePressEvent(event);
}

void CLeftPaneDialogBar::mouseReleaseEvent(QMouseEvent* event)
{
    if (m_dragging && event->button() == Qt::LeftButton) {
        m_dragging = false;
        setCursor(Qt::ArrowCursor);
        update();
        return;
    }
    CPaneDialogBar::mouseReleaseEvent(event);
}

void CLeftPaneDialogBar::leaveEvent(QEvent* event)
{
    if (!m_dragging)
        unsetCursor();
    CPaneDialogBar::leaveEvent(event);
}

} // namespace calmora
