#pragma once
// The ID picker (template 132) over CDlgListID: the table shows the logic's
// rows, which are indices into the ID list, so nothing is copied however
// long the list is.
#include <QAbstractTableModel>
#include <QDialog>
#include <memory>

#include "idsource/Pages.h"

namespace Ui {
class DlgListID;
}

namespace ts::gui {

class IdRowsModel : public QAbstractTableModel {
    Q_OBJECT
public:
    explicit IdRowsModel(const CDlgListID& picker, QObject* parent = nullptr)
        : QAbstractTableModel(parent), picker_(picker) {}
    int rowCount(const QModelIndex& parent = QModelIndex()) const override;
    int columnCount(const QModelIndex& parent = QModelIndex()) const override;
    QVariant data(const QModelIndex& index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    // Around every change of the logic's rows.
    void BeginReset() { beginResetModel(); }
    void EndReset() { endResetModel(); }

private:
    const CDlgListID& picker_;
};

class CDlgListIDView : public QDialog {
    Q_OBJECT
public:
    // The logic has been opened (rows built, filter and choice empty).
    explicit CDlgListIDView(CDlgListID& picker, QWidget* parent = nullptr);
    ~CDlgListIDView() override;

    IdRowsModel* Model() const { return model_; }

private:
    void OnFilterEdited(const QString& text);
    void OnChoose();

    CDlgListID& picker_;
    std::unique_ptr<Ui::DlgListID> ui_;
    IdRowsModel* model_;
};

}  // namespace ts::gui
