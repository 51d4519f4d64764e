#include "app/gui/TagsmithDlg.h"

#include <QApplication>
#include <QCloseEvent>
#include <QContextMenuEvent>
#include <QFont>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QSignalBlocker>
#include <QSocketNotifier>
#include <QStyleFactory>
#include <QTimer>
#include <utility>

#include "app/gui/AboutDlg.h"
#include "app/gui/Controls.h"
#include "app/gui/GuiPorts.h"
#include "app/gui/PageViews.h"
#include "app/gui/PickerView.h"
#include "app/gui/StationStatus.h"
#include "app/gui/TrainingBench.h"
#include "platform/DebugOut.h"
#include "ui_MainDlg.h"

namespace ts::gui {

namespace {
// A column right of the template's controls: the trainer's panel, the last
// result (beside the log) and the progress bar (beside the buttons).
constexpr int kSideX = 764;
constexpr int kSideWidth = 240;
constexpr int kWindowWidth = kSideX + kSideWidth + 18;

bool IsEnterOrEsc(const QKeyEvent* k) {
    return k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter || k->key() == Qt::Key_Escape;
}
}  // namespace

void ApplyDialogLook() {
    if (QStyle* fusion = QStyleFactory::create(QStringLiteral("Fusion"))) {
        QApplication::setStyle(fusion);
    }
    QFont font(QStringLiteral("WenQuanYi Zen Hei"));
    font.setPixelSize(12);
    font.setStyleHint(QFont::SansSerif);
    QApplication::setFont(font);
}

CTagsmithDlg::CTagsmithDlg(std::unique_ptr<DriveSystem> drives, QWidget* parent)
    : QDialog(parent), drives_(std::move(drives)), ui_(std::make_unique<Ui::MainDlg>()) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("resultBox"));
    result_->setGeometry(kSideX, 78, kSideWidth, 321);
    result_->setFrameShape(QFrame::StyledPanel);
    counts_ = new QLabel(this);
    counts_->setObjectName(QStringLiteral("countsBox"));
    counts_->setGeometry(kSideX, 407, kSideWidth, 32);
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progressBar"));
    progress_->setGeometry(kSideX, 447, kSideWidth, 31);
    setFixedSize(kWindowWidth, height());
    setWindowIcon(QIcon(QStringLiteral(":/icons/tagsmith.png")));

    log_ = std::make_unique<EditLogView>(ui_->logEdit);
    boxer_ = std::make_unique<QtMessageBoxer>(this);
    clock_ = std::make_unique<GuiClock>();
    clock_->holdDevices = [this](bool hold) {
        if (notifier_ && !destroyed_) notifier_->setEnabled(!hold);
    };
    status_ = std::make_unique<StationStatus>(result_, progress_, counts_);
    // The only pause of the flows that lets the window work: a wait for the
    // ledger's server, shown at a glance.
    clock_->onPause = [this](bool paused) { status_->ServerWait(paused); };
    model_.writeStarts = [this] {
        BeginBusy();
        status_->WriteStarts();
    };
    model_.writeEnded = [this](int result, const std::u16string& id, bool passedOver) {
        status_->WriteEnded(result, id, passedOver);
        EndBusy();
    };
    model_.runPicker = [this](CDlgListID& picker) {
        CDlgListIDView view(picker, this);
        if (busy_ > 0) QApplication::setOverrideCursor(Qt::ArrowCursor);
        const bool chosen = view.exec() == QDialog::Accepted;
        if (busy_ > 0) QApplication::restoreOverrideCursor();
        return chosen;
    };
    model_.onChange = [this] { Refresh(); };

    connect(ui_->writeModeRadio, &QRadioButton::clicked, this, [this] { model_.OnWriteMode(); });
    connect(ui_->readModeRadio, &QRadioButton::clicked, this, [this] { model_.OnReadMode(); });
    connect(ui_->pageTabs, &QTabWidget::currentChanged, this, [this](int index) {
        model_.OnTabSelChange(index);
        if (index == 1 && page2_) page2_->FocusScanBox();
    });
    connect(ui_->clearLogButton, &QPushButton::clicked, this, [this] { model_.OnClearLog(); });
    connect(ui_->closeButton, &QPushButton::clicked, this, [this] { accept(); });

    // Enter and Esc do nothing anywhere in this window (pages included),
    // before any widget sees them.
    qApp->installEventFilter(this);
}

CTagsmithDlg::~CTagsmithDlg() {
    qApp->removeEventFilter(this);
    DestroyWindow();
    delete notifier_;
    notifier_ = nullptr;
    events_.reset();
    // The page views point into the model: they go before it does.
    delete page1_;
    delete page2_;
    delete page3_;
    model_.onChange = nullptr;
    model_.runPicker = nullptr;
    model_.writeStarts = nullptr;
    model_.writeEnded = nullptr;
    model_.core.SetProgress(nullptr);
    model_.core.SetClock(nullptr);
    model_.core.SetDrainHook(nullptr);
    model_.core.SetLogView(nullptr);
    model_.core.SetMessageBoxer(nullptr);
    model_.core.SetDrives(nullptr);
}

QPlainTextEdit* CTagsmithDlg::LogBox() const { return ui_->logEdit; }

void CTagsmithDlg::OnInitDialog(const std::string& exeDir) {
    setWindowTitle(QStringLiteral("Tagforge V200"));
    CTabCtrl* tabs = ui_->pageTabs;
    {
        QSignalBlocker block(tabs);
        page1_ = new CDlgCh1View(model_.m_page1);
        page2_ = new CDlgCh2View(model_.m_page2);
        page3_ = new CDlgCh3View(model_.m_page3);
        tabs->addTab(page1_, QStringLiteral("ID列表方式"));
        tabs->addTab(page2_, QStringLiteral("扫描方式"));
        tabs->addTab(page3_, QStringLiteral("自动递增/递减"));
        tabs->setCurrentIndex(0);
    }
    StationParts parts;
    parts.appDir = exeDir;
    parts.drives = drives_.get();
    parts.log = log_.get();
    parts.boxes = boxer_.get();
    parts.clock = clock_.get();
    parts.progress = status_.get();
    // The scan drains pending events before each handshake.
    parts.drain = [] { QCoreApplication::processEvents(); };
    parts.ledger = true;
    model_.OnInitDialog(std::move(parts));
    Refresh();

    if (drives_) events_ = drives_->WatchEvents();
    if (events_ && events_->Fd() >= 0) {
        notifier_ = new QSocketNotifier(events_->Fd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this, [this] { OnDeviceEvents(); });
    }
}

void CTagsmithDlg::Refresh() {
    SyncRadioPair(ui_->writeModeRadio, model_.writeRadioChecked, ui_->readModeRadio,
                  model_.readRadioChecked);
    ui_->writeModeRadio->setEnabled(model_.writeRadioEnabled);
    ui_->readModeRadio->setEnabled(model_.readRadioEnabled);
    ui_->closeButton->setEnabled(model_.closeEnabled);
    CTabCtrl* tabs = ui_->pageTabs;
    tabs->SetTabsEnabled(model_.tabEnabled);
    if (model_.tabIndex >= 0 && model_.tabIndex < tabs->count() &&
        tabs->currentIndex() != model_.tabIndex) {
        QSignalBlocker block(tabs);
        tabs->setCurrentIndex(model_.tabIndex);
    }
}

int GuiModel::WriteDeviceSN(const std::u16string& id) {
    if (writeStarts) writeStarts();
    const int result = MainDialog::WriteDeviceSN(id);
    if (writeEnded) writeEnded(result, id, result != 0 && core.Ledger().lastTaken);
    return result;
}

void CTagsmithDlg::OnDeviceEvents() {
    if (!events_ || destroyed_) return;
    for (DeviceEvent ev : events_->ReadEvents()) {
        if (destroyed_) return;
        if (ev == DeviceEvent::Arrival) status_->Reset();
        BeginBusy();
        model_.core.WindowProc(ev);
        EndBusy();
    }
    if (!destroyed_) FocusScanBoxIfWriting();
}

void CTagsmithDlg::FocusScanBoxIfWriting() {
    if (model_.core.IsWriteMode() && model_.tabIndex == 1 && model_.core.CurrentDevice() && page2_)
        page2_->FocusScanBox();
}

void CTagsmithDlg::BeginBusy() {
    if (busy_++ == 0) QApplication::setOverrideCursor(Qt::WaitCursor);
}

void CTagsmithDlg::EndBusy() {
    if (busy_ > 0 && --busy_ == 0) QApplication::restoreOverrideCursor();
}

void CTagsmithDlg::EnableTrainingBench(const std::string& folder) {
    if (bench_) return;
    bench_ = new TrainingBench(folder, 'E', this);
    bench_->setGeometry(kSideX, 8, kSideWidth, 218);
    result_->setGeometry(kSideX, 234, kSideWidth, 165);
    bench_->show();
}

int CTagsmithDlg::RunModal() {
    int result = exec();
    DestroyWindow();
    return result;
}

void CTagsmithDlg::DestroyWindow() {
    if (destroyed_) return;
    destroyed_ = true;
    if (notifier_) notifier_->setEnabled(false);
    model_.DestroyWindow();
}

void CTagsmithDlg::RequestQuit() {
    quitting_ = true;
    clock_->EndPauses();
    // A flow may be waiting in a message box or the picker: close those
    // first (each answers as its Esc does) and look again shortly, since the
    // flow may show another before it returns.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != this) {
        modal->close();
        QTimer::singleShot(50, this, [this] { RequestQuit(); });
    }
    done(QDialog::Rejected);
}

void CTagsmithDlg::Activate() {
    OutputDebugStringA("CTagsmithApp: activated by another start\n");
    Qt::WindowStates s = windowState();
    if (s & Qt::WindowMinimized) setWindowState((s & ~Qt::WindowMinimized) | Qt::WindowActive);
    show();
    raise();
    activateWindow();
}

void CTagsmithDlg::ShowAbout() {
    CAboutDlg about(this);
    about.exec();
}

bool CTagsmithDlg::CloseAllowed() const {
    return model_.closeEnabled || quitting_ || clock_->Pausing();
}

void CTagsmithDlg::done(int result) {
    if (!CloseAllowed()) return;
    clock_->EndPauses();
    QDialog::done(result);
}

void CTagsmithDlg::reject() {
    if (!CloseAllowed()) return;
    QDialog::reject();
}

void CTagsmithDlg::closeEvent(QCloseEvent* e) {
    // The title-bar close and Alt+F4 are refused while the controls are locked.
    if (!CloseAllowed()) {
        e->ignore();
        return;
    }
    QDialog::closeEvent(e);
}

void CTagsmithDlg::keyPressEvent(QKeyEvent* e) {
    if (IsEnterOrEsc(e)) {
        e->accept();
        return;
    }
    QDialog::keyPressEvent(e);
}

void CTagsmithDlg::contextMenuEvent(QContextMenuEvent* e) {
    // Window managers offer no system menu to add to: the About entry lives
    // in the window's own context menu.
    QMenu menu(this);
    menu.addAction(QStringLiteral("&About Tagsmith..."), this, [this] { ShowAbout(); });
    menu.exec(e->globalPos());
}

bool CTagsmithDlg::eventFilter(QObject* watched, QEvent* e) {
    if (e->type() == QEvent::KeyPress && watched->isWidgetType() &&
        static_cast<QWidget*>(watched)->window() == this &&
        IsEnterOrEsc(static_cast<QKeyEvent*>(e))) {
        return true;
    }
    return QDialog::eventFilter(watched, e);
}

}  // namespace ts::gui
