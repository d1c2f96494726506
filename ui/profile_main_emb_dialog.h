// The noise-profile graph of the filter pane's "Noise Profile" section: the
// noise level of Y, Cr and Cb against brightness for one frequency band,
// with the band chosen under it, or a line of text while there is no
// profile to show.
#pragma once

#include <QWidget>

class QComboBox;
class QLabel;

namespace calmora {

class CLevelBox;
class CTessolinDoc;

class CProfileMainEmbDialog final : public QWidget {
    Q_OBJECT

public:
    static constexpr int kTextInsetPx = 5;

    // Follows `document`, which must outlive the dialog: it shows its
    // profile when the worker reports one and its text when it opens or
    // closes an image.
    explicit CProfileMainEmbDialog(CTessolinDoc& document, QWidget* parent = nullptr);

    // Shows band `band` (0 "High" .. 3 "Very Low") of the open image's
    // profile, or the text standing in for it while there is none.
    void showProfileGraph(int band);
    // The same for the band chosen in the combo; an empty choice becomes
    // the first band.
    void refresh();

    CLevelBox* levelBox() const { return m_box; }
    QLabel* text() const { return m_text; }
    // Which profile the graph shows: learned (from how many photos of which
    // camera) or the photo's own.
    QLabel* source() const { return m_source; }
    QComboBox* frequencyCombo() const { return m_frequency; }

    QSize sizeHint() const override;
    QSize minimumSizeHint() const override;

protected:
    void resizeEvent(QResizeEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    void layOut();

    CTessolinDoc& m_document;
    CLevelBox* m_box;
    QLabel* m_text;
    QLabel* m_source;
    QLabel* m_frequencyLabel;
    QComboBox* m_frequency;
};

} // namespace calmora
