// The "Options" window: the General, Noise Filter and Noise Profile pages.
// Each page takes the stored options when the window opens; OK checks the
// pages, copies them back and saves all options at once; Cancel changes
// nothing. No Help and no Apply.
#pragma once

#include "settings/options.h"

#include <QDialog>
#include <QWidget>

#include <functional>

class QCheckBox;
class QComboBox;
class QGroupBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QSlider;
class QSpinBox;
class QTabWidget;

namespace calmora {

class CTessolinDoc;
class OptionsKeeper;
class PresetTable;
class UserPrompter;

// The zoom a text of the zoom list stands for: the number before its final
// "%", or 0 (best fit) for "Auto" and any text that does not start with a
// number.
int zoomFromText(const QString& text);
// What the zoom list shows for a stored zoom.
QString zoomText(int zoom);

class COptionsGeneralPage final : public QWidget {
    Q_OBJECT

public:
    explicit COptionsGeneralPage(QWidget* parent = nullptr);
    void load(const Options& options);
    void store(Options& options) const;

    QCheckBox* showOpenDialog;
    QComboBox* zoom;
    QCheckBox* appendSuffix;
    QLabel* suffixLabel;
    QLineEdit* suffix;
    QLabel* qualityLabel;
    QSlider* quality;
    QLabel* qualityText;
    QComboBox* tiffDepth;
    QLabel* tiffNote;

private:
    QGroupBox* buildOpenGroup();
    QGroupBox* buildSaveGroup();
    void updateEnabled();
};

class COptionsFilterPage final : public QWidget {
    Q_OBJECT

public:
    COptionsFilterPage(const PresetTable& presets, QWidget* parent = nullptr);
    void load(const Options& options);
    // Empty when the page may be stored, else what to tell the user.
    QString check() const;
    void store(Options& options) const;

    QCheckBox* autoPreview;
    QLabel* delayLabel;
    QSpinBox* delay;
    QCheckBox* previewInfo;
    QComboBox* defaultPreset;
    QCheckBox* resetOnOpen;
    QCheckBox* showSummary;

private:
    void updateEnabled();

    const PresetTable& m_presets;
};

class COptionsProfilePage final : public QWidget {
    Q_OBJECT

public:
    // `deleteAction` empties the learned-profile store once the user has
    // said Yes; false when it failed.
    COptionsProfilePage(UserPrompter& prompter, std::function<bool()> deleteAction,
        QWidget* parent = nullptr);
    void load(const Options& options);
    void store(Options& options) const;

    // The folder chooser, given the folder shown; an empty answer keeps it.
    // A real dialog unless replaced.
    std::function<QString(const QString&)> chooseFolder;

    QLineEdit* folder;
    QPushButton* browse;
    QCheckBox* selfLearning;
    QCheckBox* alwaysBuild;
    QPushButton* deleteLearned;

private:
    void browseForFolder();
    void deleteLearnedProfiles();

    UserPrompter& m_prompter;
    std::function<bool()> m_deleteLearned;
};

class COptionsDialog final : public QDialog {
    Q_OBJECT

public:
    // `keeper` receives the options and saves them on OK; the store is the
    // document's, deleted with the document's run in mind.
    COptionsDialog(OptionsKeeper& keeper, const PresetTable& presets, CTessolinDoc& document,
        UserPrompter& prompter, QWidget* parent = nullptr);

    COptionsGeneralPage* generalPage() const { return m_general; }
    COptionsFilterPage* filterPage() const { return m_filter; }
    COptionsProfilePage* profilePage() const { return m_profile; }
    QTabWidget* tabs() const { return m_tabs; }

public slots:
    void accept() override;

private:
    OptionsKeeper& m_keeper;
    UserPrompter& m_prompter;
    QTabWidget* m_tabs;
    COptionsGeneralPage* m_general;
    COptionsFilterPage* m_filter;
    COptionsProfilePage* m_profile;
};

} // namespace calmora
