// A collapsible section of a bar: a caption band with the section's name
// (a button that opens and closes it, with room for small buttons of its
// own on the right) over its content. The band is painted in the bar's
// section tint, the content on the pane colour.
#pragma once

#include <QWidget>

class QHBoxLayout;
class QVBoxLayout;

namespace calmora {

class CPaneButton;
class CPaneDialogHelper;

class CPaneSection final : public QWidget {
    Q_OBJECT

public:
    // `id` is the section's item id in the bar's table.
    CPaneSection(CPaneDialogHelper& helper, int id, const QString& caption,
        QWidget* parent = nullptr);

    int id() const { return m_id; }
    QString caption() const;
    bool isOpen() const { return m_open; }
    // Shows or hides the content; emits toggled only when the state changes.
    void setOpen(bool open);
    // The content; the section holds it from now on.
    void setContent(QWidget* content);
    QWidget* content() const { return m_content; }
    // A small button in the caption band, right-aligned after earlier ones.
    void addCaptionButton(CPaneButton* button);
    CPaneButton* captionButton() const { return m_captionButton; }
    // Height of the caption band in pixels.
    int bandHeight() const;

signals:
    void toggled(bool open);
    // The user clicked the caption (the section decides nothing itself: the
    // bar may close another section first).
    void captionClicked();

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void showState();

    CPaneDialogHelper& m_helper;
    int m_id;
    bool m_open = true;
    CPaneButton* m_captionButton = nullptr;
    QHBoxLayout* m_band = nullptr;
    QVBoxLayout* m_layout = nullptr;
    QWidget* m_content = nullptr;
};

} // namespace calmora
