#include "app/gui/AboutDlg.h"

#include <QPushButton>

#include "ui_AboutDlg.h"

namespace ts::gui {

CAboutDlg::CAboutDlg(QWidget* parent) : QDialog(parent), ui_(std::make_unique<Ui::AboutDlg>()) {
    ui_->setupUi(this);
    setFixedSize(size());
    connect(ui_->okButton, &QPushButton::clicked, this, &QDialog::accept);
}

CAboutDlg::~CAboutDlg() = default;

}  // namespace ts::gui
