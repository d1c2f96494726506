// GIMP 2.10's "Filters > Enhance > Calmora Noise Reduction...": the engine
// run in the plug-in's own process over the active layer. The profile is
// measured on the whole layer (the noise is the photo's, not the
// selection's); the selection's bounding box is filtered with a margin, so
// that its edge pixels have their neighbours, and GIMP's shadow merge writes
// the selection alone, as one undo step.
//
// Samples are requested perceptual ("R'G'B'", "Y'"), at 8 bits for 8-bit
// images and 16 bits for every deeper precision: the engine's arithmetic is
// made for the sRGB-encoded values that cameras and files store, which is
// also what calmora-cli reads from a file, so a layer and its exported file
// give the same pixels. Linear samples would hand it light values, whose
// noise is shaped otherwise.
//
// Cancelling GIMP's progress ends the plug-in's process, and the engine with
// it; the layer is written only after the filter has finished, so a
// cancelled run changes nothing.
#include "plugins/gimp/layer_denoiser.h"

#include "settings/presets.h"
#include "settings/qsettings_store.h"
#include "settings/read_only_settings_store.h"

#include <libgimp/gimp.h>
#include <libgimp/gimpui.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <vector>

namespace {

using namespace calmora;

constexpr const char* kProcedure = "plug-in-calmora-denoise";
constexpr const char* kBinary = "calmora-gimp";
constexpr const char* kAuto = "auto";
constexpr const char* kCustom = "Custom";
// Neighbours the filter reads around the filtered box: the engine's widest
// reach at its coarsest level.
constexpr gint kMargin = 64;
// The preview's tiles: small enough that one is filtered between two
// movements of a slider.
constexpr gint kPreviewTile = 128;
// The four sliders the dialog offers, as in the desktop program's pane:
// luminance level, colour level, luminance suppression, sharpening.
constexpr std::array<int, 4> kMainFields = { 1, 2, 10, 7 };
constexpr std::array<const char*, 4> kMainLabels
    = { "_Luminance:", "C_olor:", "S_uppression:", "S_harpening:" };

// What gimp_set_data keeps between runs: plain bytes.
struct LastValues {
    char preset[96] = "auto";
    gint32 values[kFilterFieldCount] = {};
    gboolean preview = TRUE;
};

struct Area {
    gint x = 0;
    gint y = 0;
    gint width = 0;
    gint height = 0;
};

struct Layer {
    gint32 drawable = -1;
    int colours = 3;
    bool alpha = false;
    bool sixteenBits = false;

    const Babl* format() const
    {
        std::string name = colours == 1 ? "Y'" : "R'G'B'";
        if (alpha)
            name += 'A';
        name += sixteenBits ? " u16" : " u8";
        return babl_format(name.c_str());
    }
};

Layer describeLayer(gint32 image, gint32 drawable)
{
    Layer layer;
    layer.drawable = drawable;
    layer.colours = gimp_drawable_is_gray(drawable) ? 1 : 3;
    layer.alpha = gimp_drawable_has_alpha(drawable);
    const GimpPrecision precision = gimp_image_get_precision(image);
    layer.sixteenBits
        = precision != GIMP_PRECISION_U8_GAMMA && precision != GIMP_PRECISION_U8_LINEAR;
    return layer;
}

bool readArea(const Layer& layer, const Area& area, LayerSamples& samples)
{
    samples = LayerSamples();
    samples.width = area.width;
    samples.height = area.height;
    samples.colours = layer.colours;
    samples.alpha = layer.alpha;
    samples.sixteenBits = layer.sixteenBits;
    const int64_t count = int64_t { area.width } * area.height * samples.samplesPerPixel();
    try {
        samples.samples.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    }
    GeglBuffer* buffer = gimp_drawable_get_buffer(layer.drawable);
    const GeglRectangle rect = { area.x, area.y, area.width, area.height };
    if (layer.sixteenBits) {
        gegl_buffer_get(buffer, &rect, 1.0, layer.format(), samples.samples.data(),
            GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
    } else {
        // 8-bit samples land in the first bytes and are widened in place,
        // from the last one down.
        auto* bytes = reinterpret_cast<guint8*>(samples.samples.data());
        gegl_buffer_get(
            buffer, &rect, 1.0, layer.format(), bytes, GEGL_AUTO_ROWSTRIDE, GEGL_ABYSS_NONE);
        for (int64_t i = count - 1; i >= 0; --i)
            samples.samples[static_cast<size_t>(i)] = bytes[i];
    }
    g_object_unref(buffer);
    return true;
}

// The samples of `inner` (inside `outer`, which `samples` covers) in the
// layer's own format, ready for GEGL or a preview.
std::vector<guint8> packArea(
    const LayerSamples& samples, const Area& outer, const Area& inner, bool sixteenBits)
{
    const int channels = samples.samplesPerPixel();
    const size_t sampleBytes = sixteenBits ? 2 : 1;
    std::vector<guint8> packed(
        static_cast<size_t>(inner.width) * inner.height * channels * sampleBytes);
    size_t at = 0;
    for (gint y = 0; y < inner.height; ++y) {
        const uint16_t* row = samples.samples.data()
            + (int64_t { inner.y - outer.y + y } * outer.width + (inner.x - outer.x)) * channels;
        for (int64_t i = 0; i < int64_t { inner.width } * channels; ++i) {
            if (sixteenBits) {
                std::memcpy(&packed[at], &row[i], 2);
                at += 2;
            } else if (samples.sixteenBits) {
                // A 16-bit result shown in an 8-bit preview.
                packed[at++] = static_cast<guint8>((row[i] + 128) / 257);
            } else {
                packed[at++] = static_cast<guint8>(row[i]);
            }
        }
    }
    return packed;
}

Area grown(const Area& area, gint width, gint height)
{
    Area out;
    out.x = std::max(0, area.x - kMargin);
    out.y = std::max(0, area.y - kMargin);
    out.width = std::min(width, area.x + area.width + kMargin) - out.x;
    out.height = std::min(height, area.y + area.height + kMargin) - out.y;
    return out;
}

bool isAutomatic(const LastValues& values)
{
    return QString::fromUtf8(values.preset).compare(QLatin1String(kAuto), Qt::CaseInsensitive)
        == 0;
}

// A preset's sixteen values, for the sliders and for "Custom" to start from.
void showPreset(LastValues& values, const PresetTable& presets, int index)
{
    for (int i = 0; i < kFilterFieldCount; ++i)
        values.values[i] = fieldAt(presets.at(index).values, i);
}

// The run's settings from a preset name ("auto", "Custom" for the sixteen
// values, or a preset's name or number); false when the name is unknown.
bool resolveSettings(const LastValues& values, const PresetTable& presets,
    LayerSettings& settings, QString* error)
{
    const QString name = QString::fromUtf8(values.preset);
    if (isAutomatic(values)) {
        settings.kind = LayerSettings::Kind::Automatic;
        return true;
    }
    if (name == QLatin1String(kCustom)) {
        settings.kind = LayerSettings::Kind::Values;
        for (int i = 0; i < kFilterFieldCount; ++i)
            fieldAt(settings.values, i) = values.values[i];
        sanitiseFilterSettings(settings.values);
        return true;
    }
    settings.kind = LayerSettings::Kind::Preset;
    settings.presetIndex = presets.lookUp(name, error);
    return settings.presetIndex >= 0;
}

struct Run {
    gint32 image = -1;
    Layer layer;
    gint layerWidth = 0;
    gint layerHeight = 0;
    PresetTable presets;
    LayerDenoiser denoiser;
    LastValues values;
    // The dialog's widgets, when there is one.
    GtkWidget* preview = nullptr;
    GtkWidget* presetBox = nullptr;
    std::array<GtkObject*, 4> sliders {};
    bool settingSliders = false;
    // The preview's tiles still to filter, one per idle turn of GIMP's main
    // loop, so that the dialog answers while they are filtered.
    guint previewSource = 0;
    Area previewShown;
    LayerSettings previewSettings;
    std::vector<Area> previewTiles;
    size_t nextPreviewTile = 0;
};

bool measureLayer(Run& run, bool chooseAutomatically, QString* error)
{
    LayerSamples whole;
    if (!readArea(run.layer, { 0, 0, run.layerWidth, run.layerHeight }, whole)) {
        *error = QStringLiteral("Not enough memory for the picture.");
        return false;
    }
    return run.denoiser.measure(whole, chooseAutomatically, error);
}

bool filterSelection(Run& run, QString* error)
{
    LayerSettings settings;
    if (!resolveSettings(run.values, run.presets, settings, error))
        return false;
    Area box;
    if (!gimp_drawable_mask_intersect(run.layer.drawable, &box.x, &box.y, &box.width, &box.height))
        return true; // nothing of the layer is selected
    const Area outer = grown(box, run.layerWidth, run.layerHeight);
    LayerSamples part;
    if (!readArea(run.layer, outer, part)) {
        *error = QStringLiteral("Not enough memory for the picture.");
        return false;
    }
    gimp_progress_init("Calmora Noise Reduction");
    const auto progress = [](int percent) {
        gimp_progress_update(percent / 100.0);
        return true;
    };
    if (!run.denoiser.filter(part, settings, run.presets, progress, error))
        return false;
    const std::vector<guint8> packed = packArea(part, outer, box, run.layer.sixteenBits);
    GeglBuffer* shadow = gimp_drawable_get_shadow_buffer(run.layer.drawable);
    const GeglRectangle rect = { box.x, box.y, box.width, box.height };
    gegl_buffer_set(shadow, &rect, 0, run.layer.format(), packed.data(), GEGL_AUTO_ROWSTRIDE);
    g_object_unref(shadow);
    gimp_drawable_merge_shadow(run.layer.drawable, TRUE);
    gimp_drawable_update(run.layer.drawable, box.x, box.y, box.width, box.height);
    gimp_progress_update(1.0);
    return true;
}

// ---- The dialog ----------------------------------------------------------

// Filters the next tile of the preview and draws it over the unfiltered
// picture; the rest waits for the next idle turn.
gboolean filterPreviewTile(gpointer data)
{
    Run& run = *static_cast<Run*>(data);
    GimpPreview* preview = GIMP_PREVIEW(run.preview);
    if (run.nextPreviewTile >= run.previewTiles.size() || !gimp_preview_get_update(preview)) {
        run.previewSource = 0;
        return G_SOURCE_REMOVE;
    }
    const Area tile = run.previewTiles[run.nextPreviewTile++];
    const Area outer = grown(tile, run.layerWidth, run.layerHeight);
    LayerSamples part;
    QString error;
    if (!readArea(run.layer, outer, part)
        || !run.denoiser.filter(part, run.previewSettings, run.presets, {}, &error))
        return G_SOURCE_CONTINUE;
    const std::vector<guint8> packed = packArea(part, outer, tile, false);
    gimp_preview_area_draw(GIMP_PREVIEW_AREA(gimp_preview_get_area(preview)),
        tile.x - run.previewShown.x, tile.y - run.previewShown.y, tile.width, tile.height,
        gimp_drawable_type(run.layer.drawable), packed.data(),
        tile.width * part.samplesPerPixel());
    return G_SOURCE_CONTINUE;
}

// The visible area is shown unfiltered at once and then filtered tile by
// tile, as the desktop program's view does: moving a slider or scrolling
// starts the tiles over, and never waits for a filter to finish.
void updatePreview(GimpPreview* preview, Run* run)
{
    Area& shown = run->previewShown;
    gimp_preview_get_position(preview, &shown.x, &shown.y);
    gimp_preview_get_size(preview, &shown.width, &shown.height);
    run->previewTiles.clear();
    run->nextPreviewTile = 0;
    LayerSamples original;
    QString error;
    if (!resolveSettings(run->values, run->presets, run->previewSettings, &error)
        || !readArea(run->layer, shown, original))
        return;
    const std::vector<guint8> packed = packArea(original, shown, shown, false);
    gimp_preview_draw_buffer(preview, packed.data(), shown.width * original.samplesPerPixel());
    for (gint y = shown.y; y < shown.y + shown.height; y += kPreviewTile) {
        for (gint x = shown.x; x < shown.x + shown.width; x += kPreviewTile)
            run->previewTiles.push_back({ x, y, std::min(kPreviewTile, shown.x + shown.width - x),
                std::min(kPreviewTile, shown.y + shown.height - y) });
    }
    if (run->previewSource == 0)
        run->previewSource = g_idle_add(filterPreviewTile, run);
}

// Automatic shows what it chose for this layer, greyed: a starting point
// for hand-made values, and an answer to "what did it do?".
void showValues(Run& run)
{
    run.settingSliders = true;
    const bool automatic = isAutomatic(run.values);
    const FilterSettings& chosen = run.denoiser.automaticChoice().values;
    for (size_t i = 0; i < kMainFields.size(); ++i) {
        const int field = kMainFields[i];
        gtk_adjustment_set_value(GTK_ADJUSTMENT(run.sliders[i]),
            automatic ? fieldAt(chosen, field) : run.values.values[field]);
        gimp_scale_entry_set_sensitive(run.sliders[i], !automatic);
    }
    run.settingSliders = false;
}

void presetChosen(GtkComboBox* box, Run* run)
{
    gchar* chosen = gtk_combo_box_text_get_active_text(GTK_COMBO_BOX_TEXT(box));
    if (chosen == nullptr)
        return;
    g_strlcpy(run->values.preset, chosen, sizeof run->values.preset);
    // "Custom" keeps the values as they stand; a preset shows its own.
    const int index = std::strcmp(chosen, kCustom) == 0
        ? -1
        : run->presets.lookUp(QString::fromUtf8(chosen));
    g_free(chosen);
    if (index >= 0)
        showPreset(run->values, run->presets, index);
    showValues(*run);
    gimp_preview_invalidate(GIMP_PREVIEW(run->preview));
}

void sliderMoved(GtkAdjustment* adjustment, Run* run)
{
    if (run->settingSliders)
        return;
    for (size_t i = 0; i < kMainFields.size(); ++i) {
        if (GTK_ADJUSTMENT(run->sliders[i]) == adjustment)
            run->values.values[kMainFields[i]]
                = static_cast<gint32>(gtk_adjustment_get_value(adjustment));
    }
    // Values moved by hand are no preset's any more.
    if (std::strcmp(run->values.preset, kCustom) != 0) {
        g_strlcpy(run->values.preset, kCustom, sizeof run->values.preset);
        // The last entry.
        GtkTreeModel* model = gtk_combo_box_get_model(GTK_COMBO_BOX(run->presetBox));
        gtk_combo_box_set_active(
            GTK_COMBO_BOX(run->presetBox), gtk_tree_model_iter_n_children(model, nullptr) - 1);
    }
    gimp_preview_invalidate(GIMP_PREVIEW(run->preview));
}

// "auto", the presets by name, and "Custom" last: the sixteen values.
GtkWidget* buildPresetRow(Run& run)
{
    run.presetBox = gtk_combo_box_text_new();
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(run.presetBox), kAuto);
    int active = 0;
    int entries = 1;
    for (int i = 0; i < run.presets.count(); ++i) {
        const QByteArray name = run.presets.at(i).name.toUtf8();
        if (name == kCustom)
            continue;
        gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(run.presetBox), name.constData());
        if (name == run.values.preset)
            active = entries;
        ++entries;
    }
    gtk_combo_box_text_append_text(GTK_COMBO_BOX_TEXT(run.presetBox), kCustom);
    if (std::strcmp(run.values.preset, kCustom) == 0)
        active = entries;
    gtk_combo_box_set_active(GTK_COMBO_BOX(run.presetBox), active);
    GtkWidget* presetRow = gtk_hbox_new(FALSE, 6);
    GtkWidget* presetLabel = gtk_label_new_with_mnemonic("_Preset:");
    gtk_label_set_mnemonic_widget(GTK_LABEL(presetLabel), run.presetBox);
    gtk_box_pack_start(GTK_BOX(presetRow), presetLabel, FALSE, FALSE, 0);
    gtk_box_pack_start(GTK_BOX(presetRow), run.presetBox, TRUE, TRUE, 0);
    return presetRow;
}

bool runDialog(Run& run)
{
    gimp_ui_init(kBinary, FALSE);
    GtkWidget* dialog = gimp_dialog_new("Calmora Noise Reduction", kBinary, nullptr,
        GtkDialogFlags(0), gimp_standard_help_func, kProcedure, "_Cancel", GTK_RESPONSE_CANCEL,
        "_OK", GTK_RESPONSE_OK, nullptr);
    gimp_window_set_transient(GTK_WINDOW(dialog));
    GtkWidget* box = gtk_vbox_new(FALSE, 12);
    gtk_container_set_border_width(GTK_CONTAINER(box), 12);
    gtk_box_pack_start(
        GTK_BOX(gtk_dialog_get_content_area(GTK_DIALOG(dialog))), box, TRUE, TRUE, 0);

    run.preview = gimp_drawable_preview_new_from_drawable_id(run.layer.drawable);
    gimp_preview_set_update(GIMP_PREVIEW(run.preview), run.values.preview);
    gtk_box_pack_start(GTK_BOX(box), run.preview, TRUE, TRUE, 0);
    g_signal_connect(run.preview, "invalidated", G_CALLBACK(updatePreview), &run);

    gtk_box_pack_start(GTK_BOX(box), buildPresetRow(run), FALSE, FALSE, 0);

    GtkWidget* table = gtk_table_new(kMainFields.size(), 3, FALSE);
    gtk_table_set_col_spacings(GTK_TABLE(table), 6);
    gtk_box_pack_start(GTK_BOX(box), table, FALSE, FALSE, 0);
    for (size_t i = 0; i < kMainFields.size(); ++i) {
        const FilterField& field = kFilterFields[static_cast<size_t>(kMainFields[i])];
        run.sliders[i] = gimp_scale_entry_new(GTK_TABLE(table), 0, static_cast<gint>(i),
            kMainLabels[i], 200, 0, run.values.values[kMainFields[i]], field.minimum,
            field.maximum, 1, 4, 0, TRUE, 0, 0, nullptr, nullptr);
        g_signal_connect(run.sliders[i], "value-changed", G_CALLBACK(sliderMoved), &run);
    }
    showValues(run);
    g_signal_connect(run.presetBox, "changed", G_CALLBACK(presetChosen), &run);

    gtk_widget_show_all(dialog);
    const bool accepted = gimp_dialog_run(GIMP_DIALOG(dialog)) == GTK_RESPONSE_OK;
    run.values.preview = gimp_preview_get_update(GIMP_PREVIEW(run.preview));
    if (run.previewSource != 0)
        g_source_remove(run.previewSource);
    run.previewSource = 0;
    gtk_widget_destroy(dialog);
    return accepted;
}

// ---- GIMP's entry points -------------------------------------------------

constexpr int kFixedParams = 4; // run mode, image, drawable, preset

void query()
{
    static std::array<GimpParamDef, kFixedParams + kFilterFieldCount> params;
    params[0] = { GIMP_PDB_INT32, const_cast<gchar*>("run-mode"),
        const_cast<gchar*>("The run mode { RUN-INTERACTIVE (0), RUN-NONINTERACTIVE (1) }") };
    params[1] = { GIMP_PDB_IMAGE, const_cast<gchar*>("image"), const_cast<gchar*>("Input image") };
    params[2] = { GIMP_PDB_DRAWABLE, const_cast<gchar*>("drawable"),
        const_cast<gchar*>("Input drawable") };
    params[3] = { GIMP_PDB_STRING, const_cast<gchar*>("preset"),
        const_cast<gchar*>("A preset's name or number, \"auto\" to choose from the layer's own "
                           "noise, or \"Custom\" to filter with the sixteen values") };
    for (int i = 0; i < kFilterFieldCount; ++i)
        params[static_cast<size_t>(kFixedParams + i)] = { GIMP_PDB_INT32,
            const_cast<gchar*>(kFilterFields[static_cast<size_t>(i)].name),
            const_cast<gchar*>("A filter setting, read with \"Custom\"") };
    gimp_install_procedure(kProcedure, "Reduce the noise the layer carries",
        "Measures the noise of the active layer per brightness, frequency band and channel, "
        "and filters the selection with it, as the Calmora desktop program and calmora-cli do.",
        "The Calmora developers", "GPL-3.0-or-later", "2026", "Calmora Noise _Reduction...",
        "RGB*, GRAY*", GIMP_PLUGIN, static_cast<gint>(params.size()), 0, params.data(), nullptr);
    gimp_plugin_menu_register(kProcedure, "<Image>/Filters/Enhance");
}

void run(const gchar*, gint paramCount, const GimpParam* params, gint* returnCount,
    GimpParam** returns)
{
    static GimpParam values[2];
    *returnCount = 1;
    *returns = values;
    values[0].type = GIMP_PDB_STATUS;
    values[0].data.d_status = GIMP_PDB_SUCCESS;
    const auto fail = [&](GimpPDBStatusType status, const QString& why) {
        static QByteArray message;
        message = why.toUtf8();
        values[0].data.d_status = status;
        values[1].type = GIMP_PDB_STRING;
        values[1].data.d_string = message.data();
        *returnCount = 2;
    };

    gegl_init(nullptr, nullptr);
    const auto mode = static_cast<GimpRunMode>(params[0].data.d_int32);
    Run run;
    run.image = params[1].data.d_image;
    run.layer = describeLayer(run.image, params[2].data.d_drawable);
    run.layerWidth = gimp_drawable_width(run.layer.drawable);
    run.layerHeight = gimp_drawable_height(run.layer.drawable);
    {
        QSettingsStore file;
        ReadOnlySettingsStore store(file);
        run.presets.initialise(store);
    }

    switch (mode) {
    case GIMP_RUN_INTERACTIVE:
    case GIMP_RUN_WITH_LAST_VALS:
        if (gimp_get_data(kProcedure, &run.values))
            run.values.preset[sizeof run.values.preset - 1] = '\0';
        else
            showPreset(run.values, run.presets, 0);
        break;
    case GIMP_RUN_NONINTERACTIVE:
        if (paramCount != kFixedParams + kFilterFieldCount || params[3].data.d_string == nullptr) {
            fail(GIMP_PDB_CALLING_ERROR,
                QStringLiteral("Expected a preset name and sixteen filter settings."));
            return;
        }
        g_strlcpy(run.values.preset, params[3].data.d_string, sizeof run.values.preset);
        for (int i = 0; i < kFilterFieldCount; ++i)
            run.values.values[i] = params[kFixedParams + i].data.d_int32;
        break;
    }

    QString error;
    LayerSettings named;
    if (!resolveSettings(run.values, run.presets, named, &error)) {
        fail(GIMP_PDB_CALLING_ERROR, error);
        return;
    }
    const bool interactive = mode == GIMP_RUN_INTERACTIVE;
    const bool automatic = isAutomatic(run.values);
    // The dialog's preview and its auto entry need the layer's noise first.
    if (!measureLayer(run, interactive || automatic, &error)) {
        fail(GIMP_PDB_EXECUTION_ERROR, error);
        return;
    }
    if (interactive && !runDialog(run)) {
        values[0].data.d_status = GIMP_PDB_CANCEL;
        return;
    }
    gimp_image_undo_group_start(run.image);
    const bool filtered = filterSelection(run, &error);
    gimp_image_undo_group_end(run.image);
    if (!filtered) {
        fail(GIMP_PDB_EXECUTION_ERROR, error);
        return;
    }
    if (mode != GIMP_RUN_NONINTERACTIVE)
        gimp_displays_flush();
    if (interactive)
        gimp_set_data(kProcedure, &run.values, sizeof run.values);
}

} // namespace

const GimpPlugInInfo PLUG_IN_INFO = { nullptr, nullptr, query, run };

MAIN()
