#include "app/gui/PickerView.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <climits>

#include "app/gui/GuiText.h"
#include "ui_DlgListID.h"

namespace ts::gui {

int IdRowsModel::rowCount(const QModelIndex& parent) const {
    if (parent.isValid()) return 0;
    // A list past INT_MAX rows cannot be shown by a Qt view; show its head.
    size_t n = picker_.Rows().size();
    return n > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(n);
}

int IdRowsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : 1; }

QVariant IdRowsModel::data(const QModelIndex& index, int role) const {
    if (role != Qt::DisplayRole || !index.isValid() || index.column() != 0) return QVariant();
    const auto& rows = picker_.Rows();
    const IdList* list = picker_.GetIdList();
    size_t r = static_cast<size_t>(index.row());
    if (!list || r >= rows.size()) return QVariant();
    return Q(list->Text(rows[r]));
}

QVariant IdRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation == Qt::Horizontal && section == 0) {
        if (role == Qt::DisplayRole) return QStringLiteral("ID");
        if (role == Qt::TextAlignmentRole)
            return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    }
    return QVariant();
}

CDlgListIDView::CDlgListIDView(CDlgListID& picker, QWidget* parent)
    : QDialog(parent),
      picker_(picker),
      ui_(std::make_unique<Ui::DlgListID>()),
      model_(new IdRowsModel(picker, this)) {
    ui_->setupUi(this);
    setFixedSize(size());
    QTableView* table = ui_->idTable;
    table->setModel(model_);
    table->setSelectionBehavior(QAbstractItemView::SelectRows);
    table->setSelectionMode(QAbstractItemView::SingleSelection);
    table->setEditTriggers(QAbstractItemView::NoEditTriggers);
    table->setShowGrid(true);
    table->setWordWrap(false);
    table->setTabKeyNavigation(false);
    // Uniform rows: the view never measures a row, whatever the list's length.
    table->verticalHeader()->hide();
    table->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->verticalHeader()->setDefaultSectionSize(table->fontMetrics().height() + 6);
    table->horizontalHeader()->setStretchLastSection(false);
    table->horizontalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table->horizontalHeader()->resizeSection(0, 260);
    table->horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
    table->horizontalHeader()->setHighlightSections(false);

    connect(ui_->filterEdit, &QLineEdit::textEdited, this, &CDlgListIDView::OnFilterEdited);
    connect(table, &QTableView::clicked, this,
            [this](const QModelIndex& i) { picker_.OnRowClicked(static_cast<size_t>(i.row())); });
    connect(table, &QTableView::doubleClicked, this, [this](const QModelIndex& i) {
        if (picker_.OnRowDoubleClicked(static_cast<size_t>(i.row()))) accept();
    });
    connect(ui_->chooseButton, &QPushButton::clicked, this, &CDlgListIDView::OnChoose);
    connect(ui_->cancelButton, &QPushButton::clicked, this, &QDialog::reject);
}

CDlgListIDView::~CDlgListIDView() = default;

void CDlgListIDView::OnFilterEdited(const QString& text) {
    model_->BeginReset();
    picker_.OnFilterChanged(U16(text));
    model_->EndReset();
}

void CDlgListIDView::OnChoose() {
    switch (picker_.OnChooseClicked()) {
        case CDlgListID::ChooseResult::CloseOk:
            accept();
            break;
        case CDlgListID::ChooseResult::CloseCancel:
            reject();
            break;
        case CDlgListID::ChooseResult::StayOpen:
            break;
    }
}

}  // namespace ts::gui
