#include "app/gui/PageViews.h"

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>

#include "app/gui/Controls.h"
#include "app/gui/GuiText.h"
#include "ui_DlgCh1.h"
#include "ui_DlgCh2.h"
#include "ui_DlgCh3.h"

namespace ts::gui {

namespace {

// Only a changed text is written back, so the caret of a box being typed in
// stays where it is.
void SyncText(QLineEdit* edit, const std::u16string& text) {
    QString t = Q(text);
    if (edit->text() != t) edit->setText(t);
}

}  // namespace

PageView::PageView(QWidget* parent) : QWidget(parent) { UseWindowColourBackground(this); }

// -------------------------------------------------------------- page 1 ---

std::deque<QString>& CDlgCh1View::FileDialogScript() {
    static std::deque<QString> script;
    return script;
}

CDlgCh1View::CDlgCh1View(CDlgCh1& logic, QWidget* parent)
    : PageView(parent), logic_(logic), ui_(std::make_unique<Ui::DlgCh1>()) {
    ui_->setupUi(this);
    connect(ui_->idFileButton, &QPushButton::clicked, this, [this] { OnIdFileButton(); });
    // The keyboard cannot change the path box, but its context menu can
    // (paste, delete, undo): the page works with what the box shows.
    connect(ui_->idFilePathEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { logic_.SetPathText(U16(t)); });
    connect(ui_->manualWriteButton, &QPushButton::clicked, this,
            [this] { logic_.OnBnClickedManualWrite(); });
    connect(ui_->autoWriteButton, &QPushButton::clicked, this,
            [this] { logic_.OnBnClickedAutoWrite(); });
    logic_.onChange = [this] { Refresh(); };
    Refresh();
}

CDlgCh1View::~CDlgCh1View() { logic_.onChange = nullptr; }

void CDlgCh1View::Refresh() {
    SyncText(ui_->idFilePathEdit, logic_.pathText);
    SyncText(ui_->currentIdEdit, logic_.currentIdText);
    ui_->idFileButton->setEnabled(logic_.idFileButtonEnabled);
    ui_->manualWriteButton->setEnabled(logic_.manualWriteEnabled);
    ui_->autoWriteButton->setEnabled(logic_.autoWriteButtonEnabled);
    ui_->autoWriteButton->setText(Q(logic_.autoWriteButtonText));
}

void CDlgCh1View::OnIdFileButton() {
    QString path;
    if (!FileDialogScript().empty()) {
        path = FileDialogScript().front();
        FileDialogScript().pop_front();
    } else {
        path = QFileDialog::getOpenFileName(this, QString(), QString(),
                                            QStringLiteral("ID Files (*.ids);;ID Files (*.IDS)"));
    }
    if (path.isEmpty()) return;
    logic_.OnIdFileChosen(U16(path));
}

// -------------------------------------------------------------- page 2 ---

CDlgCh2View::CDlgCh2View(CDlgCh2& logic, QWidget* parent)
    : PageView(parent), logic_(logic), ui_(std::make_unique<Ui::DlgCh2>()) {
    ui_->setupUi(this);
    connect(ui_->scanIdEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { logic_.SetScanId(U16(t)); });
    connect(ui_->writeButton, &QPushButton::clicked, this, [this] { logic_.OnBnClickedWrite(); });
    logic_.onChange = [this] { Refresh(); };
    Refresh();
}

CDlgCh2View::~CDlgCh2View() { logic_.onChange = nullptr; }

void CDlgCh2View::FocusScanBox() {
    ui_->scanIdEdit->setFocus(Qt::OtherFocusReason);
    ui_->scanIdEdit->selectAll();
}

void CDlgCh2View::Refresh() {
    SyncText(ui_->scanIdEdit, logic_.scanText);
    ui_->writeButton->setEnabled(logic_.writeButtonEnabled);
}

// -------------------------------------------------------------- page 3 ---

CDlgCh3View::CDlgCh3View(CDlgCh3& logic, QWidget* parent)
    : PageView(parent), logic_(logic), ui_(std::make_unique<Ui::DlgCh3>()) {
    ui_->setupUi(this);
    connect(ui_->prefixEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { logic_.SetPrefix(U16(t)); });
    connect(ui_->counterEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { logic_.SetCounter(U16(t)); });
    connect(ui_->suffixEdit, &QLineEdit::textEdited, this,
            [this](const QString& t) { logic_.SetSuffix(U16(t)); });
    connect(ui_->increaseRadio, &QRadioButton::clicked, this,
            [this] { logic_.OnBnClickedIncrease(); });
    connect(ui_->decreaseRadio, &QRadioButton::clicked, this,
            [this] { logic_.OnBnClickedDecrease(); });
    connect(ui_->writeButton, &QPushButton::clicked, this, [this] { logic_.OnBnClickedWrite(); });
    logic_.onChange = [this] { Refresh(); };
    Refresh();
}

CDlgCh3View::~CDlgCh3View() { logic_.onChange = nullptr; }

void CDlgCh3View::Refresh() {
    SyncText(ui_->prefixEdit, logic_.prefixText);
    SyncText(ui_->counterEdit, logic_.counterText);
    SyncText(ui_->suffixEdit, logic_.suffixText);
    SyncRadioPair(ui_->increaseRadio, logic_.increaseChecked, ui_->decreaseRadio,
                  logic_.decreaseChecked);
    for (QWidget* w :
         {static_cast<QWidget*>(ui_->prefixEdit), static_cast<QWidget*>(ui_->counterEdit),
          static_cast<QWidget*>(ui_->suffixEdit), static_cast<QWidget*>(ui_->increaseRadio),
          static_cast<QWidget*>(ui_->decreaseRadio)}) {
        w->setEnabled(logic_.inputsEnabled);
    }
    ui_->writeButton->setText(Q(logic_.writeButtonText));
}

}  // namespace ts::gui
