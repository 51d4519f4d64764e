#include "app/gui/PortStrip.h"

#include <QHeaderView>

#include "app/gui/GuiText.h"

namespace ts::gui {

namespace {

QColor Rgb(uint32_t rgb) { return QColor((rgb >> 16) & 0xff, (rgb >> 8) & 0xff, rgb & 0xff); }

enum Column { kDrive, kState, kId, kTime, kColumns };

}  // namespace

PortStrip::PortStrip(QWidget* parent) : QTableWidget(0, kColumns, parent) {
    setObjectName(QStringLiteral("portStrip"));
    setHorizontalHeaderLabels({QStringLiteral("驱动器"), QStringLiteral("状态"),
                               QStringLiteral("ID"), QStringLiteral("用时")});
    verticalHeader()->hide();
    verticalHeader()->setDefaultSectionSize(18);
    horizontalHeader()->setSectionResizeMode(kId, QHeaderView::Stretch);
    setColumnWidth(kDrive, 60);
    setColumnWidth(kState, 120);
    setColumnWidth(kTime, 80);
    setEditTriggers(QAbstractItemView::NoEditTriggers);
    setSelectionMode(QAbstractItemView::NoSelection);
    setFocusPolicy(Qt::NoFocus);
}

void PortStrip::Show(const LastResult& model) {
    const std::vector<PortResult>& ports = model.Ports();
    setRowCount(static_cast<int>(ports.size()));
    for (int row = 0; row < rowCount(); ++row) {
        const PortResult& port = ports[static_cast<size_t>(row)];
        const QString texts[kColumns] = {Q(port.drive), Q(port.headline), Q(ShortId(port.id)),
                                         Q(port.TimeText())};
        for (int col = 0; col < kColumns; ++col) {
            QTableWidgetItem* cell = item(row, col);
            if (!cell) {
                cell = new QTableWidgetItem;
                setItem(row, col, cell);
            }
            cell->setText(texts[col]);
        }
        item(row, kId)->setToolTip(Q(port.id));
        const ResultColours colours = ColoursOf(port.state);
        item(row, kState)->setBackground(Rgb(colours.back));
        item(row, kState)->setForeground(Rgb(colours.fore));
    }
}

}  // namespace ts::gui
