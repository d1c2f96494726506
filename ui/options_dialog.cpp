#include "ui/options_dialog.h"

#include "document/tessolin_doc.h"
#include "settings/learned_profile_store.h"
#include "settings/presets.h"
#include "ui/options_keeper.h"
#include "ui/user_prompter.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDialogButtonBox>
#include <QDir>
#include <QFileDialog>
#include <QFormLayout>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSlider>
#include <QSpinBox>
#include <QTabWidget>
#include <QVBoxLayout>

namespace calmora {

namespace {

constexpr int kZoomChoices[] = { 400, 200, 100, 50, 25 };
constexpr int kMinDelaySeconds = 1;
constexpr int kMaxDelaySeconds = 10;

QString bestFitText()
{
    return COptionsDialog::tr("Best Fit");
}

QString percentText(int value)
{
    return QStringLiteral("%1%").arg(value);
}

// A control's accessible name is its caption without the mnemonic.
template <typename Widget>
Widget* named(Widget* widget, const char* objectName, const QString& accessibleName)
{
    widget->setObjectName(QLatin1String(objectName));
    QString plain = accessibleName;
    widget->setAccessibleName(plain.remove(QLatin1Char('&')));
    return widget;
}

} // namespace

int zoomFromText(const QString& text)
{
    const QString trimmed = text.trimmed();
    if (trimmed.isEmpty() || !trimmed.front().isDigit())
        return 0;
    const qsizetype percent = trimmed.lastIndexOf(QLatin1Char('%'));
    const QString number = percent >= 0 ? trimmed.left(percent) : trimmed;
    bool ok = false;
    const int zoom = number.trimmed().toInt(&ok);
    return ok ? zoom : 0;
}

QString zoomText(int zoom)
{
    return zoom == 0 ? bestFitText() : percentText(zoom);
}

// ---------------------------------------------------------------- General

COptionsGeneralPage::COptionsGeneralPage(QWidget* parent)
    : QWidget(parent)
{
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(buildOpenGroup());
    layout->addWidget(buildSaveGroup());
    layout->addStretch();

    connect(appendSuffix, &QCheckBox::toggled, this, &COptionsGeneralPage::updateEnabled);
    connect(tiffDepth, &QComboBox::currentIndexChanged, this, &COptionsGeneralPage::updateEnabled);
    // The value follows the slider as it moves, also by keys and wheel.
    connect(quality, &QSlider::valueChanged, this,
        [this](int value) { qualityText->setText(percentText(value)); });
}

QGroupBox* COptionsGeneralPage::buildOpenGroup()
{
    auto* openGroup = new QGroupBox(tr("Open Image"), this);
    showOpenDialog = named(new QCheckBox(tr("Show \"Open &File Dialog\" on startup"), openGroup),
        "showOpenDialog", tr("Show \"Open File Dialog\" on startup"));
    auto* zoomLabel = new QLabel(tr("Image default &zoom value"), openGroup);
    zoom = named(new QComboBox(openGroup), "defaultZoom", tr("Image default zoom value"));
    for (const int z : kZoomChoices)
        zoom->addItem(percentText(z));
    zoom->addItem(bestFitText());
    zoomLabel->setBuddy(zoom);
    auto* openLayout = new QGridLayout(openGroup);
    openLayout->addWidget(showOpenDialog, 0, 0, 1, 2);
    openLayout->addWidget(zoomLabel, 1, 0);
    openLayout->addWidget(zoom, 1, 1);
    return openGroup;
}

QGroupBox* COptionsGeneralPage::buildSaveGroup()
{
    auto* saveGroup = new QGroupBox(tr("Save Image"), this);
    appendSuffix
        = named(new QCheckBox(tr("&Append default suffix to the original name"), saveGroup),
            "appendSuffix", tr("Append default suffix to the original name"));
    suffixLabel = new QLabel(tr("Default &suffix"), saveGroup);
    suffix = named(new QLineEdit(saveGroup), "defaultSuffix", tr("Default suffix"));
    // Characters; the stored field also counts bytes and cuts there.
    suffix->setMaxLength(kMaxSuffixBytes);
    suffixLabel->setBuddy(suffix);
    qualityLabel = new QLabel(tr("JPEG &Quality"), saveGroup);
    quality = named(new QSlider(Qt::Horizontal, saveGroup), "jpegQuality", tr("JPEG Quality"));
    quality->setRange(0, 100);
    quality->setPageStep(10);
    quality->setTickPosition(QSlider::TicksBelow);
    quality->setTickInterval(10);
    qualityLabel->setBuddy(quality);
    qualityText = new QLabel(saveGroup);
    qualityText->setObjectName(QStringLiteral("jpegQualityText"));
    qualityText->setMinimumWidth(fontMetrics().horizontalAdvance(QStringLiteral("100%")) + 4);
    auto* tiffLabel = new QLabel(tr("&TIFF bit depth"), saveGroup);
    tiffDepth = named(new QComboBox(saveGroup), "tiffDepth", tr("TIFF bit depth"));
    tiffDepth->addItem(tr("24(8) bpp"));
    tiffDepth->addItem(tr("48(16) bpp *"));
    tiffLabel->setBuddy(tiffDepth);
    tiffNote = new QLabel(
        tr("* - if the original image is not 48 bpp, the result will be saved with 24 bpp bit "
           "rate"),
        saveGroup);
    tiffNote->setObjectName(QStringLiteral("tiffNote"));
    tiffNote->setWordWrap(true);

    auto* saveLayout = new QGridLayout(saveGroup);
    saveLayout->addWidget(appendSuffix, 0, 0, 1, 3);
    saveLayout->addWidget(suffixLabel, 1, 0);
    saveLayout->addWidget(suffix, 1, 1, 1, 2);
    saveLayout->addWidget(qualityLabel, 2, 0);
    saveLayout->addWidget(quality, 2, 1);
    saveLayout->addWidget(qualityText, 2, 2);
    saveLayout->addWidget(tiffLabel, 3, 0);
    saveLayout->addWidget(tiffDepth, 3, 1, 1, 2);
    saveLayout->addWidget(tiffNote, 4, 0, 1, 3);
    return saveGroup;
}

void COptionsGeneralPage::load(const Options& options)
{
    const SettingsGroup& s = options.settings;
    showOpenDialog->setChecked(s.showOpenDialogOnStartup != 0);
    const int zoomIndex = zoom->findText(zoomText(s.defaultZoom));
    zoom->setCurrentIndex(zoomIndex >= 0 ? zoomIndex : zoom->count() - 1);
    appendSuffix->setChecked(s.appendSuffix != 0);
    suffix->setText(s.defaultSuffix);
    quality->setValue(s.jpegQuality);
    qualityText->setText(percentText(quality->value()));
    const int depth = options.settings2.tiffDepth;
    tiffDepth->setCurrentIndex(depth == 1 ? 1 : 0);
    updateEnabled();
}

void COptionsGeneralPage::store(Options& options) const
{
    SettingsGroup& s = options.settings;
    s.showOpenDialogOnStartup = showOpenDialog->isChecked() ? 1 : 0;
    s.reserved8 = 1;
    s.defaultZoom = zoomFromText(zoom->currentText());
    s.appendSuffix = appendSuffix->isChecked() ? 1 : 0;
    s.defaultSuffix = suffix->text();
    s.jpegQuality = quality->value();
    options.settings2.tiffDepth = tiffDepth->currentIndex() == 1 ? 1 : 0;
}

void COptionsGeneralPage::updateEnabled()
{
    const bool append = appendSuffix->isChecked();
    suffix->setEnabled(append);
    suffixLabel->setEnabled(append);
    // The note explains the second choice only.
    const bool high = tiffDepth->currentIndex() == 1;
    tiffNote->setVisible(high);
    tiffNote->setEnabled(high);
}

// ----------------------------------------------------------- Noise Filter

COptionsFilterPage::COptionsFilterPage(const PresetTable& presets, QWidget* parent)
    : QWidget(parent)
    , m_presets(presets)
{
    auto* previewGroup = new QGroupBox(tr("Preview Window"), this);
    autoPreview = named(
        new QCheckBox(tr("&Update Preview Window when filter parameters changed"), previewGroup),
        "autoPreview", tr("Update Preview Window when filter parameters changed"));
    delayLabel = new QLabel(tr("Preview Window update &delay (seconds)"), previewGroup);
    delay = named(new QSpinBox(previewGroup), "previewDelay",
        tr("Preview Window update delay (seconds)"));
    delay->setRange(kMinDelaySeconds, kMaxDelaySeconds);
    delayLabel->setBuddy(delay);
    previewInfo = named(new QCheckBox(tr("Show Automatic Preview &Information when turning the "
                                         "preview ON on the toolbar"),
                            previewGroup),
        "previewInfo",
        tr("Show Automatic Preview Information when turning the preview ON on the toolbar"));
    auto* previewLayout = new QGridLayout(previewGroup);
    previewLayout->addWidget(autoPreview, 0, 0, 1, 2);
    previewLayout->addWidget(delayLabel, 1, 0);
    previewLayout->addWidget(delay, 1, 1, Qt::AlignLeft);
    previewLayout->addWidget(previewInfo, 2, 0, 1, 2);

    auto* presetLabel = new QLabel(tr("Default &Filter Settings"), this);
    defaultPreset
        = named(new QComboBox(this), "defaultPresetChoice", tr("Default Filter Settings"));
    for (int index = 0; index < m_presets.count(); ++index)
        defaultPreset->addItem(m_presets.at(index).name);
    presetLabel->setBuddy(defaultPreset);
    resetOnOpen = named(
        new QCheckBox(tr("&Reset to default Filter Settings when new image opened"), this),
        "resetOnOpen", tr("Reset to default Filter Settings when new image opened"));
    showSummary = named(new QCheckBox(tr("Show &summary window after processing"), this),
        "showSummary", tr("Show summary window after processing"));

    auto* presetRow = new QHBoxLayout;
    presetRow->addWidget(presetLabel);
    presetRow->addWidget(defaultPreset, 1);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(previewGroup);
    layout->addLayout(presetRow);
    layout->addWidget(resetOnOpen);
    layout->addWidget(showSummary);
    layout->addStretch();

    connect(autoPreview, &QCheckBox::toggled, this, &COptionsFilterPage::updateEnabled);
}

void COptionsFilterPage::load(const Options& options)
{
    const SettingsGroup& s = options.settings;
    autoPreview->setChecked(s.autoPreview != 0);
    delay->setValue(s.previewDelay);
    previewInfo->setChecked(options.settings3.hidePreviewInfo == 0);
    const int preset = s.defaultPreset >= 0 && s.defaultPreset < m_presets.count()
        ? s.defaultPreset
        : 0;
    defaultPreset->setCurrentIndex(preset);
    resetOnOpen->setChecked(s.resetPresetOnOpen != 0);
    showSummary->setChecked(s.showSummary != 0);
    updateEnabled();
}

QString COptionsFilterPage::check() const
{
    // The spin box refuses out-of-range keys, but its text can still be
    // left empty or half typed.
    bool ok = false;
    const int seconds = delay->cleanText().trimmed().toInt(&ok);
    if (!ok || seconds < kMinDelaySeconds || seconds > kMaxDelaySeconds)
        return tr("Please enter an integer between %1 and %2.")
            .arg(kMinDelaySeconds)
            .arg(kMaxDelaySeconds);
    return {};
}

void COptionsFilterPage::store(Options& options) const
{
    SettingsGroup& s = options.settings;
    s.autoPreview = autoPreview->isChecked() ? 1 : 0;
    s.reserved56 = 1;
    s.previewDelay = delay->cleanText().trimmed().toInt();
    options.settings3.hidePreviewInfo = previewInfo->isChecked() ? 0 : 1;
    // By name: the first preset of that name; none keeps the stored index.
    const QString name = defaultPreset->currentText();
    for (int index = 0; index < m_presets.count(); ++index) {
        if (m_presets.at(index).name == name) {
            s.defaultPreset = index;
            break;
        }
    }
    s.resetPresetOnOpen = resetOnOpen->isChecked() ? 1 : 0;
    s.showSummary = showSummary->isChecked() ? 1 : 0;
}

void COptionsFilterPage::updateEnabled()
{
    const bool on = autoPreview->isChecked();
    delay->setEnabled(on);
    delayLabel->setEnabled(on);
}

// ---------------------------------------------------------- Noise Profile

COptionsProfilePage::COptionsProfilePage(
    UserPrompter& prompter, std::function<bool()> deleteAction, QWidget* parent)
    : QWidget(parent)
    , m_prompter(prompter)
    , m_deleteLearned(std::move(deleteAction))
{
    chooseFolder = [this](const QString& shown) {
        return QFileDialog::getExistingDirectory(this, tr("Select Profile Folder:"), shown);
    };

    auto* folderLabel = new QLabel(tr("&Profile folder"), this);
    folder = named(new QLineEdit(this), "profileFolder", tr("Profile folder"));
    folderLabel->setBuddy(folder);
    browse = named(new QPushButton(tr("&Browse"), this), "browseProfileFolder", tr("Browse"));
    browse->setToolTip(tr("Choose the folder that keeps the learned noise profiles"));
    selfLearning = named(new QCheckBox(tr("Enable Profile &Self-Learning"), this),
        "selfLearning", tr("Enable Profile Self-Learning"));
    alwaysBuild
        = named(new QCheckBox(tr("&Always Build Noise Profile for the Loaded Image"), this),
            "alwaysBuildProfile", tr("Always Build Noise Profile for the Loaded Image"));
    deleteLearned = named(new QPushButton(tr("&Delete Learned Profiles"), this),
        "deleteLearnedProfiles", tr("Delete Learned Profiles"));
    deleteLearned->setToolTip(tr("Forget every noise profile learned from earlier images"));

    auto* folderRow = new QHBoxLayout;
    folderRow->addWidget(folder, 1);
    folderRow->addWidget(browse);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(folderLabel);
    layout->addLayout(folderRow);
    layout->addSpacing(8);
    layout->addWidget(selfLearning);
    layout->addWidget(alwaysBuild);
    layout->addSpacing(8);
    layout->addWidget(deleteLearned, 0, Qt::AlignLeft);
    layout->addStretch();

    connect(browse, &QPushButton::clicked, this, &COptionsProfilePage::browseForFolder);
    connect(deleteLearned, &QPushButton::clicked, this, &COptionsProfilePage::deleteLearnedProfiles);
}

void COptionsProfilePage::load(const Options& options)
{
    folder->setText(QDir::toNativeSeparators(options.profileFolder));
    selfLearning->setChecked(options.settings2.selfLearning != 0);
    alwaysBuild->setChecked(options.settings2.alwaysBuildProfile != 0);
}

void COptionsProfilePage::store(Options& options) const
{
    options.profileFolder = QDir::fromNativeSeparators(folder->text().trimmed());
    options.settings2.selfLearning = selfLearning->isChecked() ? 1 : 0;
    options.settings2.alwaysBuildProfile = alwaysBuild->isChecked() ? 1 : 0;
}

void COptionsProfilePage::browseForFolder()
{
    const QString chosen = chooseFolder ? chooseFolder(folder->text()) : QString();
    if (!chosen.isEmpty())
        folder->setText(QDir::toNativeSeparators(chosen));
}

void COptionsProfilePage::deleteLearnedProfiles()
{
    if (m_prompter.ask(tr("Are you sure you want to delete all learned profiles?"),
            PromptIcon::Question, PromptButtons::YesNo)
        != PromptAnswer::Yes)
        return;
    if (m_deleteLearned && !m_deleteLearned())
        m_prompter.tell(tr("The learned profiles could not be deleted."), PromptIcon::Error);
}

// ----------------------------------------------------------------- Sheet

COptionsDialog::COptionsDialog(OptionsKeeper& keeper, const PresetTable& presets,
    CTessolinDoc& document, UserPrompter& prompter, QWidget* parent)
    : QDialog(parent)
    , m_keeper(keeper)
    , m_prompter(prompter)
    , m_tabs(new QTabWidget(this))
    , m_general(new COptionsGeneralPage(m_tabs))
    , m_filter(new COptionsFilterPage(presets, m_tabs))
    , m_profile(new COptionsProfilePage(
          prompter,
          [&document, &keeper] {
              // The profiles in use: those of the folder the options hold,
              // even while a run started before they changed keeps its
              // own. A run may be reading the store: then the request
              // waits for the run (see the store's header).
              return calmora::deleteLearnedProfiles(document.profileStore(),
                  document.isRunning(), keeper.options().profileFolder);
          },
          m_tabs))
{
    setWindowTitle(tr("Options"));
    setObjectName(QStringLiteral("optionsDialog"));
    m_tabs->setObjectName(QStringLiteral("optionsPages"));
    m_tabs->setAccessibleName(tr("Options pages"));
    m_tabs->addTab(m_general, tr("General"));
    m_tabs->addTab(m_filter, tr("Noise Filter"));
    m_tabs->addTab(m_profile, tr("Noise Profile"));

    const Options& options = keeper.options();
    m_general->load(options);
    m_filter->load(options);
    m_profile->load(options);

    auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, this);
    buttons->button(QDialogButtonBox::Ok)->setToolTip(tr("Keep the options as shown"));
    buttons->button(QDialogButtonBox::Cancel)->setToolTip(tr("Leave the options as they were"));
    connect(buttons, &QDialogButtonBox::accepted, this, &COptionsDialog::accept);
    connect(buttons, &QDialogButtonBox::rejected, this, &COptionsDialog::reject);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(m_tabs);
    layout->addWidget(buttons);
}

void COptionsDialog::accept()
{
    const QString problem = m_filter->check();
    if (!problem.isEmpty()) {
        m_tabs->setCurrentWidget(m_filter);
        m_prompter.tell(problem, PromptIcon::Warning);
        m_filter->delay->setFocus();
        m_filter->delay->selectAll();
        return;
    }
    Options options = m_keeper.options();
    m_general->store(options);
    m_filter->store(options);
    m_profile->store(options);
    m_keeper.options() = options;
    // The options in hand are the new ones even when the store refuses
    // them; the user is told, and the next change tries again.
    if (!m_keeper.save())
        m_prompter.tell(m_keeper.errorString(), PromptIcon::Error);
    QDialog::accept();
}

} // namespace calmora
