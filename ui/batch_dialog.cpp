#include "ui/batch_dialog.h"

#include "document/batch_times.h"
#include "document/file_formats.h"
#include "settings/presets.h"
#include "settings/settings_store.h"
#include "ui/options_keeper.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDesktopServices>
#include <QDialogButtonBox>
#include <QDir>
#include <QDirIterator>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileDialog>
#include <QFileInfo>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTreeWidget>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <iterator>

namespace calmora {

namespace {

// The names a batch loads, as the Open dialog lists them.
bool isImageName(const QString& path)
{
    const FileFormat* format = fileFormatOfExtension(QFileInfo(path).suffix());
    return format != nullptr && format->readable;
}

// Set on a file's result while the batch works on it.
constexpr int kInProgressRole = Qt::UserRole;

// Skipped names shown in the note; the rest are counted only.
constexpr int kNamedSkips = 3;

// Paths left out of the list for one reason, for the note.
struct LeftOut {
    int count = 0;
    QStringList names;

    void add(const QString& name)
    {
        ++count;
        if (names.size() < kNamedSkips)
            names.append(name);
    }

    // "2 skipped, why (a.txt, b.doc)."
    QString note(const QString& why) const
    {
        QString text = QStringLiteral("%1 %2").arg(count).arg(why);
        if (!names.isEmpty())
            text += QStringLiteral(" (%1%2)").arg(names.join(QStringLiteral(", ")),
                count > names.size() ? QStringLiteral(", ...") : QString());
        return text + QLatin1Char('.');
    }
};

struct Choice {
    const char* text;
    int32_t value;
};

constexpr Choice kDestinations[] = {
    { QT_TRANSLATE_NOOP("calmora::CBatchDialog", "Beside each source"),
        static_cast<int32_t>(DestinationMode::BesideSource) },
    { QT_TRANSLATE_NOOP("calmora::CBatchDialog", "In a subfolder of each source's folder"),
        static_cast<int32_t>(DestinationMode::Subfolder) },
    { QT_TRANSLATE_NOOP("calmora::CBatchDialog", "In one folder"),
        static_cast<int32_t>(DestinationMode::Folder) },
};

// "As the source", then every format this build writes.
void fillFormats(QComboBox* box)
{
    QStringList kept;
    for (const FileFormat& format : fileFormats()) {
        if (format.writable)
            kept << format.name;
    }
    box->addItem(
        CBatchDialog::tr("As the source (%1; others as JPEG)").arg(kept.join(QStringLiteral(", "))),
        static_cast<int32_t>(BatchFormat::AsSource));
    for (int32_t value = 1; value <= kLastBatchFormat; ++value) {
        if (const FileFormat* format = batchFileFormat(static_cast<BatchFormat>(value)))
            box->addItem(format->name, value);
    }
}

// Whether a batch format's results take the quality: the lossy formats, and
// "as the source", whose sources may be.
bool takesQuality(int32_t value)
{
    const FileFormat* format = batchFileFormat(static_cast<BatchFormat>(value));
    return format == nullptr || format->lossy;
}

void fillChoices(QComboBox* box, std::initializer_list<Choice> choices)
{
    for (const Choice& choice : choices)
        box->addItem(CBatchDialog::tr(choice.text), choice.value);
}

void selectData(QComboBox* box, int32_t value)
{
    const int index = box->findData(value);
    box->setCurrentIndex(index >= 0 ? index : 0);
}

bool askWithNoAsDefault(QWidget* parent, const QString& text)
{
    QMessageBox box(QMessageBox::Warning, CBatchDialog::tr("Batch Processing"), text,
        QMessageBox::Yes | QMessageBox::No, parent);
    box.setDefaultButton(QMessageBox::No);
    box.setEscapeButton(QMessageBox::No);
    return box.exec() == QMessageBox::Yes;
}

QString sizeText(const QString& path)
{
    // The header alone: a folder of large photos lists quickly.
    const QSize size = QImageReader(path).size();
    return size.isValid() ? QStringLiteral("%1 × %2").arg(size.width()).arg(size.height())
                          : QString();
}

} // namespace

CBatchDialog::CBatchDialog(
    CTessolinDoc& document, OptionsKeeper& options, const PresetTable& presets, QWidget* parent)
    : QDialog(parent)
    , m_document(document)
    , m_options(options)
    , m_presets(presets)
{
    setWindowTitle(tr("Batch Processing"));
    setObjectName(QStringLiteral("batchDialog"));
    setModal(true);
    setAcceptDrops(true);
    m_askReplace = [this](const QString& text) { return askWithNoAsDefault(this, text); };

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(createListPart(), 1);
    layout->addWidget(createOptionsPart());
    layout->addWidget(createRunPart());

    m_start = new QPushButton(tr("Start"), this);
    m_start->setObjectName(QStringLiteral("start"));
    m_start->setDefault(true);
    m_stop = new QPushButton(tr("Stop"), this);
    m_stop->setObjectName(QStringLiteral("stop"));
    m_openDestination = new QPushButton(tr("Open Destination Folder"), this);
    m_openDestination->setObjectName(QStringLiteral("openDestination"));
    m_close = new QPushButton(tr("Close"), this);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(m_start);
    buttons->addWidget(m_stop);
    buttons->addStretch(1);
    buttons->addWidget(m_openDestination);
    buttons->addWidget(m_close);
    layout->addLayout(buttons);
    connect(m_start, &QPushButton::clicked, this, [this] { start(); });
    connect(m_stop, &QPushButton::clicked, this, &CBatchDialog::stop);
    connect(m_openDestination, &QPushButton::clicked, this, &CBatchDialog::openDestination);
    connect(m_close, &QPushButton::clicked, this, &CBatchDialog::reject);

    // Queued from the worker through the document: only this thread reads
    // the batch's lists, and only after its end.
    connect(&m_document, &CTessolinDoc::batchFileStage, this, &CBatchDialog::onFileStage);
    connect(&m_document, &CTessolinDoc::batchFileSettled, this, &CBatchDialog::onFileSettled);
    connect(&m_document, &CTessolinDoc::batchEnded, this, &CBatchDialog::onBatchEnded);
    connect(&m_document, &CTessolinDoc::progressChanged, this,
        [this](ProgressKind kind, int percent) {
            if (kind == ProgressKind::File && m_running)
                m_fileBar->setValue(percent);
        });

    QStringList notes;
    setGroup(loadBatchGroup(m_options.store(), &notes));
    if (!notes.isEmpty())
        m_note->setText(notes.join(QLatin1Char('\n')));
    resize(860, 700);
    updateControls();
}

CBatchDialog::~CBatchDialog()
{
    // The window may go while its batch runs (the program ends): the run
    // stops at its next tile; the document joins its worker.
    if (m_document.isBatchGoing())
        m_document.stopRun();
}

QWidget* CBatchDialog::createListPart()
{
    auto* part = new QWidget(this);
    m_list = new QTreeWidget(part);
    m_list->setObjectName(QStringLiteral("files"));
    m_list->setHeaderLabels({ tr("Name"), tr("Folder"), tr("Size"), tr("Result") });
    m_list->setRootIsDecorated(false);
    m_list->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_list->setUniformRowHeights(true);
    m_list->header()->setStretchLastSection(true);
    m_list->setColumnWidth(NameColumn, 180);
    m_list->setColumnWidth(FolderColumn, 240);
    m_list->setColumnWidth(SizeColumn, 100);

    m_addFiles = new QPushButton(tr("Add Files..."), part);
    m_addFolder = new QPushButton(tr("Add Folder..."), part);
    m_subfolders = new QCheckBox(tr("With subfolders"), part);
    m_remove = new QPushButton(tr("Remove"), part);
    m_clear = new QPushButton(tr("Clear"), part);
    connect(m_addFiles, &QPushButton::clicked, this, &CBatchDialog::chooseFiles);
    connect(m_addFolder, &QPushButton::clicked, this, &CBatchDialog::chooseFolder);
    connect(m_remove, &QPushButton::clicked, this, &CBatchDialog::removeSelected);
    connect(m_clear, &QPushButton::clicked, this, &CBatchDialog::clearFiles);
    connect(m_subfolders, &QCheckBox::toggled, this, &CBatchDialog::saveGroup);
    connect(m_list, &QTreeWidget::itemSelectionChanged, this, &CBatchDialog::updateControls);

    auto* side = new QVBoxLayout;
    side->addWidget(m_addFiles);
    side->addWidget(m_addFolder);
    side->addWidget(m_subfolders);
    side->addSpacing(12);
    side->addWidget(m_remove);
    side->addWidget(m_clear);
    side->addStretch(1);

    m_note = new QLabel(tr("Add photos, or drop files and folders on the list."), part);
    m_note->setObjectName(QStringLiteral("note"));
    m_note->setWordWrap(true);
    auto* column = new QVBoxLayout;
    column->addWidget(m_list, 1);
    column->addWidget(m_note);
    auto* layout = new QHBoxLayout(part);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addLayout(column, 1);
    layout->addLayout(side);
    return part;
}

QWidget* CBatchDialog::createOptionsPart()
{
    auto* part = new QGroupBox(tr("Options"), this);
    m_optionsPart = part;
    m_destinationMode = new QComboBox(part);
    m_destinationMode->setObjectName(QStringLiteral("destinationMode"));
    fillChoices(m_destinationMode, { kDestinations[0], kDestinations[1], kDestinations[2] });

    m_destinationPlace = createDestinationPlace(part);
    m_suffix = new QLineEdit(part);
    m_suffix->setObjectName(QStringLiteral("suffix"));
    m_suffix->setMaxLength(kMaxBatchSuffixBytes);
    m_format = new QComboBox(part);
    m_format->setObjectName(QStringLiteral("format"));
    fillFormats(m_format);
    m_quality = new QSpinBox(part);
    m_quality->setObjectName(QStringLiteral("quality"));
    m_quality->setRange(0, 100);
    m_preset = new QComboBox(part);
    m_preset->setObjectName(QStringLiteral("preset"));
    m_preset->addItem(tr("The filter pane's current settings"), kCurrentSettingsPreset);
    m_preset->addItem(tr("Auto (chosen from each photo's own noise)"), kAutoStrengthPreset);
    for (int i = 0; i < m_presets.count(); ++i)
        m_preset->addItem(m_presets.at(i).name, i);

    auto* layout = new QFormLayout(part);
    layout->addRow(tr("Results go:"), m_destinationMode);
    layout->addRow(QString(), m_destinationPlace);
    layout->addRow(tr("Suffix:"), m_suffix);
    layout->addRow(tr("Format:"), m_format);
    layout->addRow(tr("JPEG quality:"), m_quality);
    layout->addRow(tr("Settings:"), m_preset);

    connect(m_destinationMode, &QComboBox::currentIndexChanged, this, &CBatchDialog::saveGroup);
    connect(m_subfolder, &QLineEdit::editingFinished, this, &CBatchDialog::saveGroup);
    connect(m_folder, &QComboBox::currentTextChanged, this, &CBatchDialog::saveGroup);
    connect(m_suffix, &QLineEdit::editingFinished, this, &CBatchDialog::saveGroup);
    connect(m_format, &QComboBox::currentIndexChanged, this, &CBatchDialog::saveGroup);
    connect(m_quality, &QSpinBox::valueChanged, this, &CBatchDialog::saveGroup);
    connect(m_preset, &QComboBox::currentIndexChanged, this, &CBatchDialog::saveGroup);
    return part;
}

// One page for each destination mode: a note, the subfolder's name, or the
// folder with its Browse button.
QStackedWidget* CBatchDialog::createDestinationPlace(QWidget* part)
{
    auto* place = new QStackedWidget(part);
    place->addWidget(new QLabel(tr("Each result is written in its source's folder."), place));
    m_subfolder = new QLineEdit(place);
    m_subfolder->setObjectName(QStringLiteral("subfolder"));
    m_subfolder->setPlaceholderText(tr("name of the subfolder"));
    place->addWidget(m_subfolder);
    auto* folderRow = new QWidget(place);
    m_folder = new QComboBox(folderRow);
    m_folder->setObjectName(QStringLiteral("folder"));
    m_folder->setEditable(true);
    m_folder->setInsertPolicy(QComboBox::NoInsert);
    m_folder->setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Fixed);
    auto* browse = new QPushButton(tr("Browse..."), folderRow);
    connect(browse, &QPushButton::clicked, this, &CBatchDialog::browseDestination);
    auto* folderLayout = new QHBoxLayout(folderRow);
    folderLayout->setContentsMargins(0, 0, 0, 0);
    folderLayout->addWidget(m_folder, 1);
    folderLayout->addWidget(browse);
    place->addWidget(folderRow);
    return place;
}

QWidget* CBatchDialog::createRunPart()
{
    auto* part = new QGroupBox(tr("Progress"), this);
    auto* layout = new QVBoxLayout(part);
    // The file and its stage, the counter, the elapsed and the remaining time.
    const char* const names[] = { "fileLine", "counterLine", "elapsedLine", "remainingLine" };
    for (size_t i = 0; i < std::size(m_lines); ++i) {
        m_lines[i] = new QLabel(part);
        m_lines[i]->setObjectName(QLatin1String(names[i]));
        m_lines[i]->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    layout->addWidget(m_lines[0]);
    layout->addWidget(m_lines[1]);
    m_fileBar = new QProgressBar(part);
    m_fileBar->setObjectName(QStringLiteral("fileBar"));
    m_fileBar->setRange(0, 100);
    m_fileBar->setValue(0);
    m_fileBar->setFormat(tr("This file: %p%"));
    layout->addWidget(m_fileBar);
    m_overallBar = new QProgressBar(part);
    m_overallBar->setObjectName(QStringLiteral("overallBar"));
    m_overallBar->setRange(0, 100);
    m_overallBar->setValue(0);
    m_overallBar->setFormat(tr("All files: %p%"));
    layout->addWidget(m_overallBar);
    auto* times = new QHBoxLayout;
    times->addWidget(m_lines[2]);
    times->addStretch(1);
    times->addWidget(m_lines[3]);
    layout->addLayout(times);
    m_summary = new QLabel(part);
    m_summary->setObjectName(QStringLiteral("summary"));
    QFont bold = m_summary->font();
    bold.setBold(true);
    m_summary->setFont(bold);
    layout->addWidget(m_summary);
    m_failures = new QPlainTextEdit(part);
    m_failures->setObjectName(QStringLiteral("failures"));
    m_failures->setReadOnly(true);
    m_failures->setMaximumHeight(90);
    m_failures->hide();
    layout->addWidget(m_failures);
    return part;
}

int CBatchDialog::addPaths(const QStringList& paths)
{
    QStringList images;
    LeftOut notImages;
    LeftOut missing;
    for (const QString& path : paths) {
        const QFileInfo info(path);
        if (info.isDir()) {
            addFolderContents(info.absoluteFilePath(), m_group.includeSubfolders != 0, images,
                notImages.count);
        } else if (info.isFile() && isImageName(path)) {
            images.append(info.absoluteFilePath());
        } else if (!info.exists()) {
            missing.add(info.fileName());
        } else {
            notImages.add(info.fileName());
        }
    }
    int added = 0;
    int duplicates = 0;
    for (const QString& image : images) {
        const QString key = fileKey(image);
        if (m_keys.contains(key)) {
            ++duplicates;
            continue;
        }
        const QFileInfo info(image);
        auto* item = new QTreeWidgetItem(m_list,
            { info.fileName(), QDir::toNativeSeparators(info.absolutePath()), sizeText(image),
                QString() });
        item->setData(NameColumn, Qt::UserRole, image);
        item->setToolTip(NameColumn, QDir::toNativeSeparators(image));
        m_keys.insert(key, 1);
        ++added;
    }

    QStringList note { added == 1 ? tr("1 file added.") : tr("%1 files added.").arg(added) };
    if (duplicates > 0)
        note << tr("%1 already in the list, left out.").arg(duplicates);
    if (notImages.count > 0)
        note << notImages.note(tr("skipped, not a JPEG, TIFF, BMP, GIF or PNG image"));
    if (missing.count > 0)
        note << missing.note(tr("not found"));
    m_note->setText(note.join(QLatin1Char(' ')));
    updateControls();
    return added;
}

void CBatchDialog::addFolderContents(
    const QString& folder, bool recursive, QStringList& images, int& skipped)
{
    QStringList found;
    QDirIterator it(folder, QDir::Files | QDir::Readable,
        recursive ? QDirIterator::Subdirectories : QDirIterator::NoIteratorFlags);
    while (it.hasNext()) {
        const QString path = it.next();
        if (isImageName(path))
            found.append(path);
        else
            ++skipped;
    }
    // A listing's order is the file system's; people expect the names'.
    std::sort(found.begin(), found.end(),
        [](const QString& a, const QString& b) { return QString::localeAwareCompare(a, b) < 0; });
    images += found;
}

void CBatchDialog::removeSelected()
{
    for (QTreeWidgetItem* item : m_list->selectedItems()) {
        m_keys.remove(fileKey(item->data(NameColumn, Qt::UserRole).toString()));
        delete item;
    }
    updateControls();
}

void CBatchDialog::clearFiles()
{
    m_list->clear();
    m_keys.clear();
    updateControls();
}

QStringList CBatchDialog::files() const
{
    QStringList paths;
    for (int row = 0; row < m_list->topLevelItemCount(); ++row)
        paths.append(m_list->topLevelItem(row)->data(NameColumn, Qt::UserRole).toString());
    return paths;
}

void CBatchDialog::setGroup(const BatchGroup& group)
{
    m_loading = true;
    m_group = group;
    selectData(m_destinationMode, group.destinationMode);
    m_destinationPlace->setCurrentIndex(m_destinationMode->currentIndex());
    m_subfolder->setText(group.subfolder);
    m_folder->clear();
    for (const QString& folder : m_options.options().recentFolders) {
        if (!folder.isEmpty() && m_folder->findText(folder) < 0)
            m_folder->addItem(folder);
    }
    m_folder->setEditText(group.folder);
    m_suffix->setText(group.suffix);
    selectData(m_format, group.format);
    m_quality->setValue(group.jpegQuality);
    selectData(m_preset, group.presetIndex);
    m_subfolders->setChecked(group.includeSubfolders != 0);
    m_loading = false;
    updateControls();
}

void CBatchDialog::controlsToGroup()
{
    m_group.destinationMode = m_destinationMode->currentData().toInt();
    m_group.subfolder = m_subfolder->text().trimmed();
    m_group.folder = m_folder->currentText().trimmed();
    m_group.suffix = m_suffix->text();
    m_group.format = m_format->currentData().toInt();
    m_group.jpegQuality = m_quality->value();
    m_group.presetIndex = m_preset->currentData().toInt();
    m_group.includeSubfolders = m_subfolders->isChecked() ? 1 : 0;
}

void CBatchDialog::saveGroup()
{
    if (m_loading)
        return;
    controlsToGroup();
    m_destinationPlace->setCurrentIndex(m_destinationMode->currentIndex());
    updateControls();
    // Saved the moment it changes, as every option is.
    if (!saveBatchGroup(m_options.store(), m_group))
        m_note->setText(
            tr("The batch options could not be saved: %1").arg(m_options.store().errorString()));
}

BatchSettings CBatchDialog::batchSettings() const
{
    BatchSettings settings;
    BatchOptions& options = settings.options;
    options.destinationMode = static_cast<DestinationMode>(m_group.destinationMode);
    if (options.destinationMode == DestinationMode::Subfolder)
        options.destinationFolder = m_group.subfolder;
    else if (options.destinationMode == DestinationMode::Folder)
        options.destinationFolder = m_group.folder;
    options.suffix = m_group.suffix;
    options.format = static_cast<BatchFormat>(m_group.format);
    // One past the last preset: the run keeps the settings the filter pane
    // gave the document.
    options.autoStrength = m_group.presetIndex == kAutoStrengthPreset;
    options.presetIndex = m_group.presetIndex == kCurrentSettingsPreset
        ? m_presets.count()
        : std::clamp(m_group.presetIndex, 0, m_presets.count() - 1);
    settings.jpegQuality = m_group.jpegQuality;
    return settings;
}

int CBatchDialog::sourcesReplaced() const
{
    const BatchOptions options = batchSettings().options;
    int count = 0;
    for (const QString& source : files()) {
        if (fileKey(batchOutputPath(source, options)) == fileKey(source))
            ++count;
    }
    return count;
}

QString CBatchDialog::replaceQuestion(int count)
{
    const QString originals
        = count == 1 ? tr("1 original photo") : tr("%1 original photos").arg(count);
    return tr("With no folder and no suffix, the results are written over their "
              "sources: %1 will be replaced by the filtered result and cannot be "
              "recovered.\n\nReplace the originals?")
        .arg(originals);
}

void CBatchDialog::setReplaceQuestion(std::function<bool(const QString&)> ask)
{
    m_askReplace = std::move(ask);
}

bool CBatchDialog::start()
{
    if (m_running || m_list->topLevelItemCount() == 0)
        return false;
    controlsToGroup();
    BatchSettings settings = batchSettings();
    if (settings.options.destinationMode == DestinationMode::Folder
        && settings.options.destinationFolder.isEmpty()) {
        m_note->setText(tr("Choose the folder the results go into."));
        return false;
    }
    const int replaced = sourcesReplaced();
    if (replaced > 0) {
        if (!m_askReplace(replaceQuestion(replaced))) {
            m_note->setText(tr("Nothing was started; the originals are kept."));
            return false;
        }
        settings.options.allowOverwrite = true;
    }
    if (settings.options.destinationMode == DestinationMode::Folder)
        rememberFolder(settings.options.destinationFolder);

    m_runFiles = files();
    m_runSettings = settings;
    m_running = true;
    m_stopping = false;
    m_destination.clear();
    for (int row = 0; row < m_list->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_list->topLevelItem(row);
        item->setText(ResultColumn, QString());
        item->setForeground(ResultColumn, palette().text());
    }
    for (QLabel* line : m_lines)
        line->clear();
    m_fileBar->setValue(0);
    m_overallBar->setValue(0);
    m_summary->clear();
    m_failures->clear();
    m_failures->hide();
    updateControls();
    tryStart();
    return true;
}

void CBatchDialog::tryStart()
{
    if (!m_running || m_document.isBatchGoing())
        return;
    if (m_stopping) {
        // Stopped before the image's own run let the batch begin.
        m_running = false;
        m_lines[0]->clear();
        m_summary->setText(tr("Stopped before the first file."));
        updateControls();
        emit batchFinished();
        if (m_closeWhenEnded)
            QDialog::reject();
        return;
    }
    if (m_document.startBatch(m_runFiles, m_runSettings))
        return;
    if (!m_document.isRunning()) {
        // Nothing to wait for: the worker could not be started.
        m_running = false;
        m_summary->setText(tr("The batch could not be started."));
        updateControls();
        emit batchFinished();
        return;
    }
    // The open image's profile or preview pass is still going; it is short.
    m_lines[0]->setText(tr("Waiting for the open image's processing to end"));
    connect(&m_document, &CTessolinDoc::runEnded, this, &CBatchDialog::tryStart,
        static_cast<Qt::ConnectionType>(Qt::SingleShotConnection | Qt::UniqueConnection));
}

void CBatchDialog::stop()
{
    if (!m_running)
        return;
    m_stopping = true;
    m_stop->setEnabled(false);
    if (m_document.isBatchGoing()) {
        m_document.stopRun();
        m_lines[0]->setText(tr("Stopping after the current tile..."));
    } else {
        disconnect(&m_document, &CTessolinDoc::runEnded, this, &CBatchDialog::tryStart);
        tryStart();
    }
}

void CBatchDialog::rememberFolder(const QString& folder)
{
    Options& options = m_options.options();
    QStringList recent { folder };
    for (const QString& entry : std::as_const(options.recentFolders)) {
        if (!entry.isEmpty() && entry != folder)
            recent.append(entry);
    }
    const int kept = std::clamp(options.settings3.recentCount, 1, kRecentFolderSlots);
    while (recent.size() > kept)
        recent.removeLast();
    while (recent.size() < kept)
        recent.append(QString());
    if (recent == options.recentFolders)
        return;
    options.recentFolders = recent;
    if (!saveRecentFolders(m_options.store(), options))
        m_note->setText(
            tr("The recent folders could not be saved: %1").arg(m_options.store().errorString()));
    m_loading = true;
    m_folder->clear();
    for (const QString& entry : recent) {
        if (!entry.isEmpty())
            m_folder->addItem(entry);
    }
    m_folder->setEditText(folder);
    m_loading = false;
}

void CBatchDialog::onFileStage(const QString& file, int32_t index, int32_t count, BatchStage stage)
{
    if (!m_running)
        return;
    const QString name = QFileInfo(file).fileName();
    const bool profile = stage == BatchStage::BuildingProfile;
    if (!m_stopping)
        m_lines[0]->setText(
            (profile ? tr("%1 - Building noise profile") : tr("%1 - Filtering noise")).arg(name));
    if (profile) {
        m_fileBar->setValue(0);
        m_lines[1]->setText(
            tr("Please wait while processing image %1 of %2").arg(index + 1).arg(count));
    }
    if (QTreeWidgetItem* item = m_list->topLevelItem(index)) {
        item->setText(
            ResultColumn, profile ? tr("Building noise profile...") : tr("Filtering noise..."));
        item->setData(ResultColumn, kInProgressRole, true);
    }
}

void CBatchDialog::onFileSettled(int32_t index, int32_t count, qint64 elapsedMs, qint64 remainingMs)
{
    if (!m_running || count <= 0)
        return;
    m_overallBar->setValue(static_cast<int>((static_cast<int64_t>(index) + 1) * 100 / count));
    m_lines[2]->setText(tr("Elapsed time: %1").arg(durationText(elapsedMs)));
    m_lines[3]->setText(tr("Remaining time: %1").arg(durationText(remainingMs)));
    if (QTreeWidgetItem* item = m_list->topLevelItem(index);
        item != nullptr && item->data(ResultColumn, kInProgressRole).toBool()) {
        item->setText(ResultColumn, tr("Done"));
        item->setData(ResultColumn, kInProgressRole, false);
    }
}

void CBatchDialog::onBatchEnded()
{
    if (!m_running)
        return;
    m_running = false;
    const BatchJob& batch = m_document.lastBatch();
    showResults(batch);
    const qsizetype notReached
        = m_runFiles.size() - batch.doneFiles.size() - batch.failedFiles.size();
    QString summary
        = tr("%1 written, %2 failed.").arg(batch.doneFiles.size()).arg(batch.failedFiles.size());
    if (notReached > 0)
        summary += tr(" Stopped: %1 not processed.").arg(notReached);
    m_summary->setText(summary);
    m_lines[0]->setText(m_stopping ? tr("Stopped") : tr("Finished"));
    // Nothing is processed any more; the summary says what was.
    m_lines[1]->clear();
    if (!m_stopping)
        m_fileBar->setValue(100);
    m_stopping = false;
    updateControls();
    emit batchFinished();
    if (m_closeWhenEnded)
        QDialog::reject();
}

void CBatchDialog::showResults(const BatchJob& batch)
{
    QHash<QString, int> rows;
    for (int row = 0; row < m_runFiles.size(); ++row)
        rows.insert(m_runFiles[row], row);
    for (qsizetype i = 0; i < batch.doneFiles.size(); ++i) {
        const QString written = batch.writtenFiles.value(i);
        if (m_destination.isEmpty())
            m_destination = QFileInfo(written).absolutePath();
        if (QTreeWidgetItem* item = m_list->topLevelItem(rows.value(batch.doneFiles[i], -1))) {
            // Beside or below its source a result reads best by its own
            // name; elsewhere it needs its whole path.
            const QString relative
                = QDir(QFileInfo(batch.doneFiles[i]).absolutePath()).relativeFilePath(written);
            item->setText(ResultColumn,
                QDir::toNativeSeparators(
                    relative.startsWith(QStringLiteral("..")) ? written : relative));
            item->setToolTip(ResultColumn, QDir::toNativeSeparators(written));
            item->setData(ResultColumn, kInProgressRole, false);
        }
    }
    QStringList failures;
    for (qsizetype i = 0; i < batch.failedFiles.size(); ++i) {
        const QString reason = batch.failureReasons.value(i);
        failures.append(QStringLiteral("%1: %2").arg(
            QDir::toNativeSeparators(batch.failedFiles[i]), reason));
        if (QTreeWidgetItem* item = m_list->topLevelItem(rows.value(batch.failedFiles[i], -1))) {
            item->setText(ResultColumn, tr("Failed: %1").arg(reason));
            item->setForeground(ResultColumn, QColor(0xb0, 0x20, 0x20));
            item->setData(ResultColumn, kInProgressRole, false);
        }
    }
    for (int row = 0; row < m_list->topLevelItemCount(); ++row) {
        QTreeWidgetItem* item = m_list->topLevelItem(row);
        if (item->text(ResultColumn).isEmpty()
            || item->data(ResultColumn, kInProgressRole).toBool())
            item->setText(ResultColumn, tr("Not processed: the batch was stopped"));
        item->setData(ResultColumn, kInProgressRole, false);
    }
    m_failures->setPlainText(failures.join(QLatin1Char('\n')));
    m_failures->setVisible(!failures.isEmpty());
}

void CBatchDialog::updateControls()
{
    const bool idle = !m_running;
    const bool hasFiles = m_list->topLevelItemCount() > 0;
    m_addFiles->setEnabled(idle);
    m_addFolder->setEnabled(idle);
    m_subfolders->setEnabled(idle);
    m_remove->setEnabled(idle && !m_list->selectedItems().isEmpty());
    m_clear->setEnabled(idle && hasFiles);
    m_optionsPart->setEnabled(idle);
    const int format = m_format->currentData().toInt();
    m_quality->setEnabled(takesQuality(format));
    m_start->setEnabled(idle && hasFiles);
    m_stop->setEnabled(m_running && !m_stopping);
    m_openDestination->setEnabled(idle && !m_destination.isEmpty());
    m_openDestination->setToolTip(QDir::toNativeSeparators(m_destination));
    m_close->setText(m_running ? tr("Stop and Close") : tr("Close"));
}

void CBatchDialog::reject()
{
    // Closing during a run stops it and closes once it has ended: the
    // window never waits for the worker.
    if (m_running) {
        m_closeWhenEnded = true;
        stop();
        return;
    }
    QDialog::reject();
}

void CBatchDialog::dragEnterEvent(QDragEnterEvent* event)
{
    if (!m_running && event->mimeData()->hasUrls())
        event->acceptProposedAction();
}

void CBatchDialog::dropEvent(QDropEvent* event)
{
    if (m_running)
        return;
    QStringList paths;
    for (const QUrl& url : event->mimeData()->urls()) {
        if (url.isLocalFile())
            paths.append(url.toLocalFile());
    }
    if (paths.isEmpty())
        return;
    event->acceptProposedAction();
    addPaths(paths);
}

void CBatchDialog::chooseFiles()
{
    const QString folder
        = m_list->topLevelItemCount() > 0 ? QFileInfo(files().constLast()).absolutePath() : QString();
    const QStringList chosen = QFileDialog::getOpenFileNames(this, tr("Add Files"), folder,
        tr("Image Files (%1);;All Files (*)").arg(readablePatterns()));
    if (!chosen.isEmpty())
        addPaths(chosen);
}

void CBatchDialog::chooseFolder()
{
    const QString folder = QFileDialog::getExistingDirectory(this, tr("Add Folder"));
    if (!folder.isEmpty())
        addPaths({ folder });
}

void CBatchDialog::browseDestination()
{
    const QString folder = QFileDialog::getExistingDirectory(
        this, tr("Destination Folder"), m_folder->currentText());
    if (folder.isEmpty())
        return;
    m_folder->setEditText(QDir::toNativeSeparators(folder));
    saveGroup();
}

void CBatchDialog::openDestination()
{
    if (!m_destination.isEmpty())
        QDesktopServices::openUrl(QUrl::fromLocalFile(m_destination));
}

} // namespace calmora
