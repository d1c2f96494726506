// The filter pane, docked on the left of the main window: the sixteen
// filter values as sliders and the processing-degree list, the presets with
// saving and deleting of the user's own, Go, the per-frequency controls
// shown on demand, the self-learning switch for the image, and two
// collapsible sections below: "EXIF" and "Noise Profile". Whenever the user
// lets go of a control it derives the document's filter parameters, marks
// the tiles and asks for a preview; it never filters anything itself.
#pragma once

#include "settings/filter_settings.h"
#include "ui/pane_dialog_bar.h"

#include <QString>

#include <array>
#include <functional>

class QAction;
class QCheckBox;
class QComboBox;
class QFrame;
class QGridLayout;
class QGroupBox;
class QLabel;
class QSlider;
class QStandardItemModel;
class QTreeWidget;
class QVBoxLayout;

namespace calmora {

class CPaneButton;
class CPaneSection;
class CProfileMainEmbDialog;
class CTessolinDoc;
class OptionsKeeper;
class PresetTable;
class UserPrompter;

// The value texts beside the sliders: a level as "%s%d%%" of its sign and
// 5 x value ("+50%", "0%", "-100%"), a suppression as "%d%%" of 5 x value,
// sharpening as "%s%d" of its sign and value. The sign is "+" for positive
// values only; negative numbers carry their own minus.
QString levelText(int value);
QString suppressionText(int value);
QString sharpeningText(int value);

// The pane's width after a move of the pointer while its right edge is
// dragged: `pointerFromEdge` is the pointer's distance from the pane's
// right edge (negative inside the pane), taken at most as far as the frame
// is wide less 50 pixels in one move; a result below 225 becomes 225.
int draggedPaneWidth(int width, int pointerFromEdge, int frameWidth);

class CLeftPaneDialogBar final : public CPaneDialogBar {
    Q_OBJECT

public:
    static constexpr int kMinimumWidth = 225;
    static constexpr int kTemplateWidth = 275;
    static constexpr int kEdgeGripPx = 5;
    static constexpr int kSectionHeight = 280;
    // Item ids of the sections and the commands of the pane.
    static constexpr int kNoiseFilterSection = 1137;
    static constexpr int kExifSection = 10010;
    static constexpr int kProfileSection = 10011;
    // The `paneSection` option's values.
    static constexpr int kNoSectionOpen = 0;
    static constexpr int kExifOpen = 1;
    static constexpr int kProfileOpen = 2;

    // Asks for the name of a preset to save, offering `suggested`; a null
    // string cancels.
    using NameAsker = std::function<QString(const QString& suggested)>;

    // The document, options, presets and prompter outlive the pane; `go` is
    // the frame's Go command, which the pane's Go button triggers.
    CLeftPaneDialogBar(CTessolinDoc& document, OptionsKeeper& options, PresetTable& presets,
        UserPrompter& prompter, QAction* go, QWidget* parent = nullptr);
    ~CLeftPaneDialogBar() override;

    // The sixteen values as the controls hold them after the last apply.
    const FilterSettings& values() const { return m_values; }
    int selectedPreset() const;
    QString currentPresetName() const { return m_presetName; }
    QStandardItemModel& presetModel() { return *m_presetModel; }

    // Reads every control into the values, shows their texts and derives
    // the document's parameters, image or not. With an image, a change
    // marks the tiles, values that left the selected preset go to "Custom",
    // and a pending change asks for a preview.
    void applyControls();
    // Puts preset `index` (the first one when outside the table) into every
    // control, selects it and applies it.
    void loadPreset(int index);
    // Fills the controls with the settings chosen from the image's measured
    // noise and applies them as "Custom"; needs the profile.
    void applyAutoStrength();
    // Enables the controls after the document's state: everything with an
    // image, the self-learning box only once its profile is ready.
    void setDocumentState(bool hasImage, bool profileReady);

    void toggleMoreControls();

    // The sections: at most one of EXIF and Noise Profile is open; opening
    // one closes the other. The state is kept in the `paneSection` option.
    bool isSectionOpen(int id) const;
    void setSectionOpen(int id, bool open);
    int sectionState() const;
    // Writes sectionState() (and, with `paneVisible`, filterPaneVisible) to
    // the options and saves them; a failure is told to the user.
    void storeSectionState(bool paneVisible);

    // The image's EXIF tags, or nothing without an image.
    void fillExif();
    CProfileMainEmbDialog* profileView() const { return m_profileView; }

    // The width the user gave the pane by its edge, or -1 before any drag.
    int paneWidth() const { return m_paneWidth; }
    // The width of the last run; below the minimum it is the minimum.
    void setPaneWidth(int width);
    QSize sizeHint() const override;

    void saveUserPreset();
    void deleteUserPreset();
    void setNameAsker(NameAsker asker) { m_askName = std::move(asker); }

    // For tests and the toolbar: the controls by field index (0 is the
    // degree list, which is not a slider; 8 and 9 have no control).
    QSlider* slider(int field) const { return m_sliders[static_cast<size_t>(field)]; }
    QLabel* valueLabel(int field) const { return m_valueLabels[static_cast<size_t>(field)]; }
    QComboBox* degreeList() const { return m_degree; }
    QComboBox* presetList() const { return m_presetList; }
    QCheckBox* selfLearningBox() const { return m_selfLearning; }
    QTreeWidget* exifList() const { return m_exifList; }

signals:
    // The selection of the presets list changed (to keep the toolbar's list
    // in step).
    void presetSelected(int index);
    // The user dragged the right edge: the frame gives the pane this width.
    void widthRequested(int width);
    // A section was opened or closed by the user.
    void sectionsChanged();
    // A short text for the status bar.
    void noteRequested(const QString& note);

protected:
    void mouseMoveEvent(QMouseEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseReleaseEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    struct SliderRow;

    void buildNoiseFilterSection();
    void addPresetButtons();
    void addPresetRow(QVBoxLayout& layout);
    void addLevelGroup(QVBoxLayout& layout);
    void addDegreeRow(QVBoxLayout& layout);
    void addMoreRow(QVBoxLayout& layout);
    void addSelfLearningRow(QVBoxLayout& layout);
    QWidget* buildSliderRows();
    void addSliderRow(QGridLayout& grid, int& row, const SliderRow& entry);
    void buildExifSection();
    void buildProfileSection();
    void setTabOrder();
    void fillPresetList();
    void selectPreset(int index);
    void readControls();
    void writeControls();
    void showTexts();
    void showMoreControls();
    void onSliderValue(int field);
    void onSelfLearningClicked(bool checked);
    void showSelfLearningState();
    void onSectionCaption(int id);
    void updatePresetButtons();
    bool onEdge(const QPoint& position) const;
    int frameWidth() const;

    CTessolinDoc& m_document;
    OptionsKeeper& m_options;
    PresetTable& m_presets;
    UserPrompter& m_prompter;
    NameAsker m_askName;

    FilterSettings m_values;
    QString m_presetName;
    bool m_moreControls = false;
    bool m_writing = false;
    bool m_hasImage = false;
    int m_paneWidth = -1;
    bool m_dragging = false;

    QStandardItemModel* m_presetModel = nullptr;
    CPaneSection* m_filterSection = nullptr;
    CPaneSection* m_exifSection = nullptr;
    CPaneSection* m_profileSection = nullptr;
    QComboBox* m_presetList = nullptr;
    QLabel* m_presetLabel = nullptr;
    CPaneButton* m_goButton = nullptr;
    CPaneButton* m_savePreset = nullptr;
    CPaneButton* m_deletePreset = nullptr;
    CPaneButton* m_moreButton = nullptr;
    CPaneButton* m_autoButton = nullptr;
    QGroupBox* m_levelGroup = nullptr;
    QComboBox* m_degree = nullptr;
    QLabel* m_degreeLabel = nullptr;
    QCheckBox* m_selfLearning = nullptr;
    QTreeWidget* m_exifList = nullptr;
    CProfileMainEmbDialog* m_profileView = nullptr;
    std::array<QSlider*, kFilterFieldCount> m_sliders {};
    std::array<QLabel*, kFilterFieldCount> m_nameLabels {};
    std::array<QLabel*, kFilterFieldCount> m_valueLabels {};
    // The widgets shown only with the frequency controls.
    std::vector<QWidget*> m_moreWidgets;
};

} // namespace calmora
