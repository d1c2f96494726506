// What gives the toolbar and the filter pane their look: the colours taken
// from the desktop's palette, the table of owner-drawn items of one bar, the
// drawing of those buttons in each of their states, and the reset of hover
// looks that a quick exit of the pointer would leave behind. The bar
// (CPaneDialogBar) holds one helper; its widgets stay plain Qt widgets.
#pragma once

#include <QColor>
#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QString>

#include <vector>

class QPainter;
class QPalette;
class QWidget;

namespace calmora {

class CPaneButton;

// Kind bits of an item, as they combine: a section caption button is
// SectionCaption | Framed, the Go button Framed | Emphasised.
enum PaneItemKind : unsigned {
    kPushButton = 0x001, // bitmap and caption, toolbar style
    kFramed = 0x002,
    kSection = 0x004, // painted with the bar's background, never owner-drawn
    kEmphasised = 0x008, // the Go button: filled, bold caption
    kSectionCaption = 0x010, // a button in a section's caption band
    kSectionControl = 0x020,
    kOnPaneColour = 0x040,
    kOnInfoColour = 0x080,
    kDropDown = 0x100, // a click opens its menu instead of sending its command
    kIconOnly = 0x200, // the bitmap centred, no caption
};

// The looks a button is drawn in. Checked is drawn as pressed.
enum class PaneButtonState { Normal, Disabled, Hover, Pressed };

// The colours of a bar, all derived from one "caption" colour of the
// palette. The caption colour is QPalette::Highlight of the active group:
// it is the desktop theme's accent, the colour its title bars and
// selections carry, while QPalette::Window is a neutral grey that would
// give every tint the same dull shade.
//
// The tints lead from the caption colour toward a base: white on a light
// desktop (the tints then are exactly 255 - (255 - c) / k per channel), and
// the palette's window colour on a dark one, so a dark theme gives a dark
// pane with light captions instead of a white glare.
struct PaneColours {
    QColor caption; // c
    QColor pane; // content of sections, kind 0x040: base - (base - c) / 20
    QColor background; // the bar outside its sections: base - 3 (base - c) / 4
    QColor sectionBand; // caption bands: base - (base - c) / 3
    QColor sectionText; // caption texts: c / 3 (toward the text side when dark)
    QColor buttonText; // captions of buttons
    QColor toolTint; // toolbar buttons: 192 + c / 4 on white
    QColor toolShade; // lower gradient: 255 - (255 - q) / 2.5, q = c down to 20s
    QColor info; // kind 0x080: the tooltip base colour
    QColor border; // frames of caption buttons
    QColor hot; // a hovered caption button
    QColor grayText; // captions of disabled buttons
    bool dark = false;
};

PaneColours paneColoursFrom(const QPalette& palette);

// A command text of the form "tooltip\ncaption": the part after the line
// break is the caption, the part before it the tooltip; without a break
// both are the whole text.
struct CommandTexts {
    QString tooltip;
    QString caption;
};
CommandTexts splitCommandText(const QString& text);

// One entry of a bar's item table.
struct PaneItem {
    unsigned flags = 0;
    int id = 0; // the command id it stands for, 0 for none
    int section = 0; // id of the section it belongs to
    QPointer<QWidget> widget;
};

class CPaneDialogHelper final : public QObject {
    Q_OBJECT

public:
    static constexpr int kMaxItems = 100;

    explicit CPaneDialogHelper(QWidget* owner);

    QWidget* owner() const { return m_owner; }
    const PaneColours& colours() const { return m_colours; }
    // Computes the colours again from the owner's palette; the bar calls it
    // when the palette changes (a switch of the desktop theme).
    void refreshColours();

    // Appends an item; false when the table is full (the widget then works
    // but takes part in no hover reset).
    bool addItem(QWidget* widget, int id, unsigned flags, int section = 0);
    const PaneItem* findItem(int id) const;
    int itemCount() const { return static_cast<int>(m_items.size()); }

    // The bar's buttons return to their normal look when the pointer is no
    // longer over the bar. Run whenever the event loop falls idle.
    void resetHoverIfOutside();
    // Every button to its normal look (a press has ended somewhere).
    void resetStates();

    // Draws `button` in its current state, after the rules of its kind.
    void drawButton(QPainter& painter, const CPaneButton& button) const;
    // A section's caption band and content (the band is `bandHeight` high).
    void drawSection(QPainter& painter, const QRect& rect, int bandHeight, bool open) const;

private:
    void drawEmphasised(QPainter& painter, const QRect& r, PaneButtonState state) const;
    void drawFramed(QPainter& painter, const QRect& r, PaneButtonState state) const;
    void drawToolStyle(
        QPainter& painter, const QRect& r, PaneButtonState state, unsigned flags) const;
    void drawContent(QPainter& painter, const CPaneButton& button, PaneButtonState state) const;

    QWidget* m_owner;
    PaneColours m_colours;
    std::vector<PaneItem> m_items;
};

} // namespace calmora
