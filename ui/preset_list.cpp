#include "ui/preset_list.h"

#include "settings/presets.h"

#include <QAbstractItemView>
#include <QComboBox>
#include <QFile>
#include <QIcon>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

#include <algorithm>
#include <array>

namespace calmora {

namespace {

// Item data: 1 for the user's presets, which are drawn indented.
constexpr int kIndentRole = Qt::UserRole + 1;
constexpr int kIndentPx = 16;
// The drop-down is as wide as the widest name and this much room for the
// picture and margins, but never wider than kDropDownMaxPx.
constexpr int kDropDownExtraPx = 26;
constexpr int kDropDownMaxPx = 200;

class IndentedPresetDelegate final : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::QStyledItemDelegate;

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
        const QModelIndex& index) const override
    {
        QStyleOptionViewItem shifted = option;
        shifted.rect.adjust(index.data(kIndentRole).toInt() * kIndentPx, 0, 0, 0);
        QStyledItemDelegate::paint(painter, shifted, index);
    }

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override
    {
        QSize size = QStyledItemDelegate::sizeHint(option, index);
        size.rwidth() += index.data(kIndentRole).toInt() * kIndentPx;
        return size;
    }
};

} // namespace

QString presetIconName(int icon)
{
    static const std::array<const char*, 7> kNames = { "preset-general", "preset-landscape",
        "preset-night", "preset-portrait", "preset-full", "preset-user", "preset-film-grain" };
    if (icon < 0 || icon >= static_cast<int>(kNames.size()))
        icon = kIconGeneral;
    return QString::fromLatin1(kNames[static_cast<size_t>(icon)]);
}

void fillPresetModel(QStandardItemModel& model, const PresetTable& presets)
{
    model.clear();
    for (int index = 0; index < presets.count(); ++index) {
        const Preset& preset = presets.at(index);
        const QString path = QStringLiteral(":/icons/%1.svg").arg(presetIconName(preset.icon));
        auto* item = new QStandardItem(
            QFile::exists(path) ? QIcon(path) : QIcon(), preset.name);
        item->setData(index > PresetTable::kCustomIndex ? 1 : 0, kIndentRole);
        item->setEditable(false);
        model.appendRow(item);
    }
}

void showPresetList(QComboBox& list, QStandardItemModel& model)
{
    list.setModel(&model);
    list.setItemDelegate(new IndentedPresetDelegate(&list));
    list.setIconSize(QSize(16, 16));
    fitPresetDropDown(list);
}

void fitPresetDropDown(QComboBox& list)
{
    const QFontMetrics metrics(list.font());
    int widest = 0;
    for (int i = 0; i < list.count(); ++i)
        widest = std::max(widest, metrics.horizontalAdvance(list.itemText(i)));
    // The list's pictures need room beside the names too.
    list.view()->setMinimumWidth(
        std::min(kDropDownMaxPx, widest + kDropDownExtraPx + list.iconSize().width()));
}

} // namespace calmora
