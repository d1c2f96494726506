#include "document/tessolin_doc.h"

#include "engine/engine.h"
#include "settings/derive_params.h"
#include "settings/presets.h"

#include <QDir>
#include <QFileInfo>

namespace calmora {

namespace {

// The view's preview countdown ticks every 200 ms; the option is in seconds.
constexpr int32_t kPreviewTickMs = 200;

bool everyTileFiltered(const TileList& tiles)
{
    for (const Tile& tile : tiles.tiles) {
        if (tile.filtered == 0)
            return false;
    }
    return true;
}

} // namespace

CTessolinDoc::CTessolinDoc(const Options& options, const PresetTable& presets,
    LearnedProfileStore& profileStore, DocumentPrompter& prompter, QObject* parent)
    : QObject(parent)
    , m_options(options)
    , m_presets(presets)
    , m_profileStore(profileStore)
    , m_prompter(prompter)
{
    connect(&m_host, &QueuedWorkerHost::progressChanged, this, &CTessolinDoc::progressChanged);
    connect(&m_host, &QueuedWorkerHost::runStatusChanged, this, &CTessolinDoc::runStatusChanged);
    connect(&m_host, &QueuedWorkerHost::tileWrittenAt, this, &CTessolinDoc::tileWritten);
    connect(&m_host, &QueuedWorkerHost::profileReadyReached, this, &CTessolinDoc::profileReady);
    connect(&m_host, &QueuedWorkerHost::noteReported, this, &CTessolinDoc::noteReported);
    connect(&m_host, &QueuedWorkerHost::batchFileStageReached, this,
        &CTessolinDoc::batchFileStage);
    connect(&m_host, &QueuedWorkerHost::batchFileSettledAt, this, &CTessolinDoc::batchFileSettled);
    connect(&m_host, &QueuedWorkerHost::batchEndReached, this, &CTessolinDoc::onBatchEnded);
    connect(&m_host, &QueuedWorkerHost::runEndReached, this, [this] {
        // A run started since this one ended announces its own end.
        if (!isRunning())
            emit runEnded();
    });
    connect(&m_host, &QueuedWorkerHost::errorReported, this,
        [this](const QString& message, const QString& reason) {
            m_prompter.tell(reason.isEmpty() ? message : message + QStringLiteral("\r\n") + reason,
                PromptIcon::Error);
            emit errorReported(message, reason);
        });
    // Whatever starts a run before the settings pane has spoken (a batch on
    // "the current settings") filters with the default preset, never with
    // settings nobody chose.
    if (m_presets.count() > 0)
        m_presets.deriveParams(
            m_presets.indexOrFirst(m_options.settings.defaultPreset), m_job.request.settings);
}

CTessolinDoc::~CTessolinDoc()
{
    m_job.stop = true;
    ++m_job.generation;
    m_worker.wait();
}

void CTessolinDoc::waitForWorker()
{
    m_worker.wait();
}

bool CTessolinDoc::open(const QString& path, QString* reason)
{
    // The image is about to go; a run still working on it must end first.
    if (isRunning()) {
        m_job.stop = true;
        m_worker.wait();
    }
    m_job.stop = false;
    m_sourcePath = path;
    m_loaded = false;
    deleteContents();

    auto image = std::make_unique<CBitmapEx>();
    QString why;
    if (!image->load(path, &why)) {
        m_sourcePath.clear();
        // The loader's reason says what is wrong; the guess is for when it
        // has none.
        const QString text = QStringLiteral("Cannot open file ") + QDir::toNativeSeparators(path)
            + (why.isEmpty() ? QStringLiteral(". \r\nUnsupported format or file not found.")
                             : QStringLiteral(".\r\n") + why);
        m_prompter.tell(text, PromptIcon::Error);
        if (reason != nullptr)
            *reason = why;
        return false;
    }
    m_image = std::move(image);
    m_job.request.image = m_image.get();
    m_job.request.fileName = QFileInfo(path).fileName();
    buildTileList(m_image->width(), m_image->height(), m_job.tiles);
    requestPreview(false);
    m_job.profileReady = false;
    m_job.saved = false;
    m_job.saveWritten = false;
    m_job.request.useMeasuredProfile = false;
    m_job.profileMeasured = false;
    m_job.processedByGo = false;
    m_loaded = true;

    const int presetIndex = m_options.settings.resetPresetOnOpen != 0
        ? m_presets.indexOrFirst(m_options.settings.defaultPreset)
        : -1;
    if (presetIndex >= 0)
        m_presets.deriveParams(presetIndex, m_job.request.settings);
    emit opened(presetIndex);
    startProcessing();
    return true;
}

void CTessolinDoc::deleteContents()
{
    // The worker reads the image and the tiles until its run ends. Callers
    // wait for it through the idle loop; this only keeps a mistake from
    // freeing them under it.
    if (isRunning()) {
        m_job.stop = true;
        waitForWorker();
        m_job.stop = false;
    }
    m_loaded = false;
    // What waited for a run's end was meant for this image.
    disconnect(this, &CTessolinDoc::runEnded, this, nullptr);
    m_profileChoice.reset();
    m_job.tiles.tiles.clear();
    m_job.request.image = nullptr;
    m_image.reset();
    m_job.profileReady = false;
    emit contentsDeleted();
}

QString CTessolinDoc::suggestedSaveName() const
{
    if (m_sourcePath.isEmpty())
        return {};
    // The extension is what follows the last "." of the file's own name; a
    // dot in a folder's name is not one.
    const qsizetype nameStart = std::max(m_sourcePath.lastIndexOf(QLatin1Char('/')),
                                    m_sourcePath.lastIndexOf(QLatin1Char('\\')))
        + 1;
    const qsizetype dot = m_sourcePath.lastIndexOf(QLatin1Char('.'));
    QString name = dot >= nameStart ? m_sourcePath.left(dot) : m_sourcePath;
    if (m_options.settings.appendSuffix != 0)
        name += m_options.settings.defaultSuffix;
    return name + QStringLiteral(".jpg");
}

bool CTessolinDoc::save()
{
    const QString suggestion = suggestedSaveName();
    if (suggestion.isEmpty())
        return false;
    const QString path = m_prompter.askSavePath(suggestion);
    if (path.isEmpty())
        return false;
    // The save step has asked about replacing the file it answered with,
    // and about no other name.
    m_replaceConfirmed = path;
    const bool written = saveDocument(path);
    m_replaceConfirmed.clear();
    return written;
}

bool CTessolinDoc::mayWrite(const QString& target)
{
    const QFileInfo info(target);
    if (!info.exists() && !info.isSymLink())
        return true;
    const QString key = fileKey(target);
    if (!m_replaceConfirmed.isEmpty() && fileKey(m_replaceConfirmed) == key)
        return true;
    const QString name = QDir::toNativeSeparators(target);
    const QString question = key == fileKey(m_sourcePath)
        ? QStringLiteral("\"%1\" is the photo you opened.\r\nDo you want to replace it with the "
                         "result?")
              .arg(name)
        : QStringLiteral("\"%1\" already exists.\r\nDo you want to replace it?").arg(name);
    return m_prompter.ask(question, PromptIcon::Warning, PromptButtons::YesNo)
        == PromptAnswer::Yes;
}

bool CTessolinDoc::saveDocument(const QString& path)
{
    m_wholeImageSavePath.clear();
    if (!m_loaded)
        return false;
    const QString target
        = path.contains(QLatin1Char('.')) ? path : path + QStringLiteral(".jpg");
    if (!mayWrite(target))
        return false;
    if (!everyTileFiltered(m_job.tiles)
        && m_prompter.ask(QStringLiteral("The image has not been entirely processed.\r\nDo you "
                                         "want to process the image now and then save it?"),
               PromptIcon::Question, PromptButtons::YesNo)
            != PromptAnswer::Yes)
        return false;
    cancelPreview();
    m_wholeImageSavePath = target;
    m_job.saveWritten = false;
    beginWholeImage();
    const bool completed = m_prompter.runWholeImage(*this);
    if (!completed)
        cancelPreview();
    m_wholeImageSavePath.clear();
    return completed && m_job.saveWritten.load();
}

bool CTessolinDoc::saveModified()
{
    if (!m_loaded || m_job.saved.load() || !m_job.profileReady.load() || !m_job.processedByGo)
        return true;
    cancelPreview();
    switch (m_prompter.ask(QStringLiteral("The image has not been saved. Do you want to save it?"),
        PromptIcon::Question, PromptButtons::YesNoCancel)) {
    case PromptAnswer::Cancel:
        return false;
    case PromptAnswer::Yes:
        // An image that was not written is not given up.
        return save();
    default:
        return true;
    }
}

int32_t CTessolinDoc::previewTicks(bool immediate) const
{
    if (immediate)
        return 1;
    const int32_t ticks = m_options.settings.previewDelay * 1000 / kPreviewTickMs;
    return ticks != 0 ? ticks : 1;
}

bool CTessolinDoc::wholeImagePending() const
{
    // The request's flag is the worker's to write while a run goes (it
    // clears it when a whole-image pass ends), so during a run this thread's
    // own record of Go answers.
    if (isRunning())
        return m_wholeImageStage != WholeImageStage::None;
    return m_job.request.wholeImage;
}

void CTessolinDoc::requestPreview(bool immediate)
{
    settleWholeImage();
    if (wholeImagePending())
        return;
    ++m_job.generation;
    m_job.previewCountdown = previewTicks(immediate);
}

void CTessolinDoc::cancelPreview()
{
    settleWholeImage();
    if (wholeImagePending())
        return;
    ++m_job.generation;
    m_job.previewCountdown = 0;
}

void CTessolinDoc::resetProcessedState()
{
    for (Tile& tile : m_job.tiles.tiles)
        tile.filtered = 0;
    if (m_image != nullptr)
        m_image->restoreFromOriginal();
}

bool CTessolinDoc::tickPreviewCountdown()
{
    if (m_job.previewCountdown <= 0 || isRunning())
        return false;
    return --m_job.previewCountdown == 0;
}

bool CTessolinDoc::setFilterSettings(const FilterSettings& values)
{
    // The request's settings may be rewritten while a run goes: the run
    // filters with its snapshot.
    const bool changed = deriveDocumentParams(values, m_job.request.settings);
    if (m_image == nullptr)
        return changed;
    if (changed)
        m_job.resetTilesBeforePreview = true;
    // Stale tiles that no preview has caught up with yet count too.
    if (m_job.resetTilesBeforePreview.load()) {
        m_job.saved = false;
        requestPreview(false);
    }
    return changed;
}

bool CTessolinDoc::go()
{
    if (m_image == nullptr)
        return false;
    m_job.stop = false;
    m_job.processedByGo = true;
    cancelPreview();
    beginWholeImage();
    return m_prompter.runWholeImage(*this);
}

void CTessolinDoc::afterRun(void (CTessolinDoc::*operation)())
{
    connect(this, &CTessolinDoc::runEnded, this, operation,
        static_cast<Qt::ConnectionType>(Qt::SingleShotConnection | Qt::UniqueConnection));
}

void CTessolinDoc::undo()
{
    if (!canUndo())
        return;
    // The pixels and flags being restored are the running pass's until it
    // stops at its next tile.
    if (isRunning()) {
        cancelPreview();
        afterRun(&CTessolinDoc::undo);
        return;
    }
    resetProcessedState();
    m_job.processedByGo = false;
    emit undone();
}

void CTessolinDoc::stopRun()
{
    m_job.stop = true;
    ++m_job.generation;
    m_job.previewCountdown = 0;
}

void CTessolinDoc::useMeasuredProfile(bool measured)
{
    if (m_image == nullptr)
        return;
    m_profileChoice = measured;
    // The worker writes the profiles at the end of a profile pass; they are
    // this thread's again once the run has ended.
    if (isRunning()) {
        cancelPreview();
        afterRun(&CTessolinDoc::applyProfileChoice);
        return;
    }
    applyProfileChoice();
}

void CTessolinDoc::applyProfileChoice()
{
    if (!m_profileChoice || m_image == nullptr)
        return;
    // A run started before this was called back has the profiles now.
    if (isRunning()) {
        afterRun(&CTessolinDoc::applyProfileChoice);
        return;
    }
    const bool measured = *m_profileChoice;
    m_profileChoice.reset();
    m_job.request.useMeasuredProfile = measured;
    if (measured && !m_job.profileMeasured.load()) {
        // The profile pass puts the measured profile in use as it ends.
        m_job.profileReady = false;
        startProcessing();
        return;
    }
    m_job.activeProfile = measured ? m_job.measuredProfile : m_job.learnedProfile;
    m_job.resetTilesBeforePreview = true;
    requestPreview(false);
    emit profileReady();
}

void CTessolinDoc::closeFile()
{
    // The image and its tiles are the running run's until it has ended.
    if (isRunning()) {
        stopRun();
        afterRun(&CTessolinDoc::closeFile);
        return;
    }
    m_job.stop = false;
    if (!saveModified())
        return;
    deleteContents();
}

void CTessolinDoc::prepareSingleImageRun()
{
    JobRequest& request = m_job.request;
    request.image = m_image.get();
    request.batch = nullptr;
    request.host = &m_host;
    request.options = m_options;
    request.presets = &m_presets;
    request.profileStore = &m_profileStore;
    request.savePath.clear();
}

bool CTessolinDoc::startWorker()
{
    // Only this thread starts runs, so a worker seen idle here stays idle
    // until the start below.
    if (isRunning())
        return false;
    m_host.beginRun();
    return m_worker.start(m_job);
}

bool CTessolinDoc::startProcessing()
{
    // The tiles and pixels below are the running pass's until it ends.
    if (isRunning())
        return false;
    resetProcessedState();
    m_job.processedByGo = false;
    if (!m_loaded)
        return false;
    prepareSingleImageRun();
    m_job.request.previewRect = Rect {};
    m_job.request.progressWindow = ProgressKind::Background;
    m_job.request.buildProfile = !m_job.profileReady.load();
    return startWorker();
}

bool CTessolinDoc::startPreview(const Rect& visible)
{
    if (isRunning() || !m_loaded)
        return false;
    settleWholeImage();
    prepareSingleImageRun();
    // Changed settings make every tile stale; only the visible ones are
    // filtered again now, the rest when they come into view.
    if (m_job.resetTilesBeforePreview.exchange(false))
        resetProcessedState();
    m_job.request.previewRect = visible;
    m_job.request.wholeImage = false;
    m_job.request.progressWindow = ProgressKind::Background;
    m_job.request.buildProfile = !m_job.profileReady.load();
    return startWorker();
}

void CTessolinDoc::beginWholeImage()
{
    m_wholeImageStage = WholeImageStage::None;
    m_wholeImageProfileTried = false;
}

WholeImageStep CTessolinDoc::continueWholeImage()
{
    if (isRunning()) {
        if (m_wholeImageStage == WholeImageStage::Filter || m_job.profileReady.load())
            return WholeImageStep::Filtering;
        return WholeImageStep::BuildingProfile;
    }
    if (m_job.stop.load() || !m_loaded)
        return WholeImageStep::Stopped;
    if (!m_job.profileReady.load()) {
        // A profile pass that ended without a profile would only be tried
        // again and again.
        if (m_wholeImageProfileTried)
            return WholeImageStep::Stopped;
        m_wholeImageProfileTried = true;
        m_wholeImageStage = WholeImageStage::Profile;
        prepareSingleImageRun();
        m_job.request.buildProfile = true;
        m_job.request.wholeImage = true;
        m_job.request.progressWindow = ProgressKind::Foreground;
        return startWorker() ? WholeImageStep::BuildingProfile : WholeImageStep::Stopped;
    }
    // The worker clears wholeImage at the end of a filter pass that was not
    // stopped; a stopped one is started again.
    if (m_wholeImageStage == WholeImageStage::Filter && !m_job.request.wholeImage)
        return WholeImageStep::Finished;
    m_wholeImageStage = WholeImageStage::Filter;
    prepareSingleImageRun();
    m_job.request.buildProfile = false;
    m_job.request.previewRect = Rect {};
    m_job.request.savePath = m_wholeImageSavePath;
    if (m_job.resetTilesBeforePreview.exchange(false))
        resetProcessedState();
    m_job.request.wholeImage = true;
    m_job.request.progressWindow = ProgressKind::Foreground;
    return startWorker() ? WholeImageStep::Filtering : WholeImageStep::Stopped;
}

void CTessolinDoc::endWholeImage()
{
    m_wholeImageStage = WholeImageStage::None;
    m_clearWholeImage = true;
    settleWholeImage();
    // A pass still running stops at its next tile; the view then catches up
    // with the settings.
    ++m_job.generation;
    m_job.previewCountdown = previewTicks(false);
}

void CTessolinDoc::settleWholeImage()
{
    // The worker writes wholeImage back at the end of a run; only after that
    // may this thread write it.
    if (m_clearWholeImage && !isRunning()) {
        m_job.request.wholeImage = false;
        m_clearWholeImage = false;
    }
}

bool CTessolinDoc::processWholeImageNow()
{
    beginWholeImage();
    WholeImageStep step = continueWholeImage();
    while (step == WholeImageStep::BuildingProfile || step == WholeImageStep::Filtering) {
        m_worker.wait();
        step = continueWholeImage();
    }
    endWholeImage();
    return step == WholeImageStep::Finished;
}

std::optional<double> CTessolinDoc::processingSummary() const
{
    if (m_options.settings.showSummary == 0 || m_job.tiles.tiles.empty()
        || !everyTileFiltered(m_job.tiles))
        return std::nullopt;
    int64_t totalMs = 0;
    for (const Tile& tile : m_job.tiles.tiles)
        totalMs += tile.elapsedMs;
    return static_cast<double>(totalMs) / 1000.0;
}

void CTessolinDoc::prepareBatch(BatchJob& batch, const BatchSettings& settings, WorkerHost& host)
{
    m_batchOptions = settings.options;
    JobRequest& request = m_job.request;
    if (settings.ownSettings) {
        deriveDocumentParams(*settings.ownSettings, request.settings);
        // One past the last preset: the run's own settings.
        m_batchOptions.presetIndex = m_presets.count();
    }
    if (settings.givenProfile) {
        batch.givenProfile = *settings.givenProfile;
        m_batchOptions.useGivenProfile = true;
    }
    batch.profileMeasured = false;
    m_batchProfile.reset();
    request.options = m_options;
    if (settings.jpegQuality)
        request.options.settings.jpegQuality = *settings.jpegQuality;
    if (settings.keepHighDepth)
        request.options.settings2.tiffDepth = *settings.keepHighDepth ? 1 : 0;
    batch.options = &m_batchOptions;
    request.batch = &batch;
    request.host = &host;
    request.presets = &m_presets;
    request.profileStore = &m_profileStore;
    request.threadCount = settings.threadCount;
    request.progressWindow = ProgressKind::File;
}

void CTessolinDoc::finishBatch(BatchJob& batch)
{
    if (batch.profileMeasured)
        m_batchProfile = batch.measuredProfile;
    batch.options = nullptr;
    m_job.request.batch = nullptr;
    m_job.request.host = &m_host;
    m_job.request.threadCount = 0;
}

void CTessolinDoc::runBatch(BatchJob& batch, const BatchSettings& settings, WorkerHost& host)
{
    m_worker.wait();
    prepareBatch(batch, settings, host);
    m_worker.start(m_job);
    m_worker.wait();
    finishBatch(batch);
}

bool CTessolinDoc::startBatch(const QStringList& files, const BatchSettings& settings)
{
    if (isRunning() || m_batchGoing)
        return false;
    m_batch = BatchJob();
    m_batch.files = files;
    m_batch.fileCount = static_cast<int32_t>(files.size());
    m_job.stop = false;
    prepareBatch(m_batch, settings, m_host);
    if (!startWorker()) {
        finishBatch(m_batch);
        return false;
    }
    m_batchGoing = true;
    return true;
}

void CTessolinDoc::onBatchEnded()
{
    // Only a batch of startBatch ends here: runBatch's own host is not this
    // document's. The worker cleared `running` before it posted the end, so
    // the lists are final and the request is the starter's again.
    if (!m_batchGoing)
        return;
    m_batchGoing = false;
    finishBatch(m_batch);
    m_job.stop = false;
    emit batchEnded();
}

std::optional<NoiseProfile> CTessolinDoc::batchMeasuredProfile() const
{
    if (!m_batchProfile)
        return std::nullopt;
    NoiseProfile used = *m_batchProfile;
    smoothProfile(used);
    return used;
}

} // namespace calmora
