#include "app/gui/TagsmithDlg.h"

#include <QApplication>
#include <QCheckBox>
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
#include <chrono>
#include <cmath>
#include <utility>

#include "app/gui/AboutDlg.h"
#include "app/gui/Controls.h"
#include "app/gui/GuiPorts.h"
#include "app/gui/GuiText.h"
#include "app/gui/PageViews.h"
#include "app/gui/PickerView.h"
#include "app/gui/PortStrip.h"
#include "app/gui/ResultPanel.h"
#include "app/gui/TrainingBench.h"
#include "platform/DebugOut.h"
#include "ui_MainDlg.h"

namespace ts::gui {

namespace {

bool IsEnterOrEsc(const QKeyEvent* k) {
    return k->key() == Qt::Key_Return || k->key() == Qt::Key_Enter || k->key() == Qt::Key_Escape;
}

// Dialog units to pixels with the factors the .ui rectangles were made with.
int PxX(int units) { return static_cast<int>(std::lround(units * 1.5)); }
int PxY(int units) { return static_cast<int>(std::lround(units * 1.625)); }
QRect Px(const DialogRect& r) { return QRect(PxX(r.x), PxY(r.y), PxX(r.width), PxY(r.height)); }

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
    : QDialog(parent), ui_(std::make_unique<Ui::MainDlg>()), controller_(*this, std::move(drives)) {
    ui_->setupUi(this);
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    result_ = new QLabel(this);
    result_->setObjectName(QStringLiteral("resultBox"));
    result_->setFrameShape(QFrame::StyledPanel);
    counts_ = new QLabel(this);
    counts_->setObjectName(QStringLiteral("countsBox"));
    progress_ = new QProgressBar(this);
    progress_->setObjectName(QStringLiteral("progressBar"));
    gangBox_ = new QCheckBox(QStringLiteral("多设备同时烧写"), this);
    gangBox_->setObjectName(QStringLiteral("gangModeCheck"));
    strip_ = new PortStrip(this);
    PlaceSideColumn();
    setWindowIcon(QIcon(QStringLiteral(":/icons/tagsmith.png")));

    log_ = std::make_unique<EditLogView>(ui_->logEdit);
    boxer_ = std::make_unique<QtMessageBoxer>(this);
    panel_ = std::make_unique<ResultPanel>(result_, progress_, counts_);
    ShowResult();

    connect(ui_->writeModeRadio, &QRadioButton::clicked, this,
            [this] { controller_.OnWriteMode(); });
    connect(ui_->readModeRadio, &QRadioButton::clicked, this, [this] { controller_.OnReadMode(); });
    connect(ui_->pageTabs, &QTabWidget::currentChanged, this,
            [this](int index) { controller_.OnTabSelChange(index); });
    connect(ui_->clearLogButton, &QPushButton::clicked, this, [this] { controller_.OnClearLog(); });
    connect(ui_->closeButton, &QPushButton::clicked, this, [this] { controller_.OnCloseButton(); });
    connect(gangBox_, &QCheckBox::clicked, this,
            [this](bool checked) { controller_.OnGangMode(checked); });

    // Enter and Esc do nothing anywhere in this window (pages included),
    // before any widget sees them.
    qApp->installEventFilter(this);
}

CTagsmithDlg::~CTagsmithDlg() {
    qApp->removeEventFilter(this);
    DestroyWindow();
    delete notifier_;
    notifier_ = nullptr;
    controller_.StopDeviceEvents();
    // The page views point into the model: they go before it does.
    delete page1_;
    delete page2_;
    delete page3_;
    page1_ = nullptr;
    page2_ = nullptr;
    page3_ = nullptr;
}

QPlainTextEdit* CTagsmithDlg::LogBox() const { return ui_->logEdit; }

void CTagsmithDlg::PlaceSideColumn() {
    const SideColumn side = controller_.Layout();
    if (bench_) bench_->setGeometry(Px(side.bench));
    result_->setGeometry(Px(side.result));
    counts_->setGeometry(Px(side.counts));
    progress_->setGeometry(Px(side.progress));
    gangBox_->setGeometry(Px(side.gangBox));
    strip_->setGeometry(Px(side.strip));
    // The strip adds a band under the template's controls in gang mode.
    const bool gang = Model().gangMode;
    strip_->setVisible(gang);
    setFixedSize(PxX(side.windowWidth), PxY(side.windowHeight + (gang ? side.stripHeight : 0)));
}

void CTagsmithDlg::OnInitDialog(const std::string& exeDir) {
    setWindowTitle(Q(std::u16string_view(kWindowTitle)));
    CTabCtrl* tabs = ui_->pageTabs;
    {
        QSignalBlocker block(tabs);
        MainDialog& model = Model();
        page1_ = new CDlgCh1View(model.m_page1);
        page2_ = new CDlgCh2View(model.m_page2);
        page3_ = new CDlgCh3View(model.m_page3);
        tabs->addTab(page1_, Q(std::u16string_view(kTabTitles[0])));
        tabs->addTab(page2_, Q(std::u16string_view(kTabTitles[1])));
        tabs->addTab(page3_, Q(std::u16string_view(kTabTitles[2])));
        tabs->setCurrentIndex(0);
    }
    controller_.Open(exeDir, *log_, *boxer_);
    if (DeviceEventSource* events = controller_.StartDeviceEvents()) {
        notifier_ = new QSocketNotifier(events->Fd(), QSocketNotifier::Read, this);
        connect(notifier_, &QSocketNotifier::activated, this,
                [this] { controller_.OnDeviceEvents(); });
    }
}

// ------------------------------------------------------------ the drawing ---

void CTagsmithDlg::ShowControls() {
    const MainDialog& model = Model();
    SyncRadioPair(ui_->writeModeRadio, model.writeRadioChecked, ui_->readModeRadio,
                  model.readRadioChecked);
    ui_->writeModeRadio->setEnabled(model.writeRadioEnabled);
    ui_->readModeRadio->setEnabled(model.readRadioEnabled);
    ui_->closeButton->setEnabled(model.closeEnabled);
    {
        QSignalBlocker block(gangBox_);
        gangBox_->setChecked(model.gangMode);
    }
    gangBox_->setEnabled(model.closeEnabled && !controller_.GangRunning());
    if (strip_->isHidden() == model.gangMode) PlaceSideColumn();
    CTabCtrl* tabs = ui_->pageTabs;
    tabs->SetTabsEnabled(model.tabEnabled);
    if (model.tabIndex >= 0 && model.tabIndex < tabs->count() &&
        tabs->currentIndex() != model.tabIndex) {
        QSignalBlocker block(tabs);
        tabs->setCurrentIndex(model.tabIndex);
    }
}

void CTagsmithDlg::ShowResult() {
    if (panel_) panel_->Show(controller_.Result());
    if (strip_) strip_->Show(controller_.Result());
}

void CTagsmithDlg::ShowBench() {
    if (bench_) bench_->Refresh();
}

void CTagsmithDlg::FocusScanBox() {
    if (page2_) page2_->FocusScanBox();
}

void CTagsmithDlg::ShowBusy(bool busy) {
    if (busy == busyCursor_) return;
    busyCursor_ = busy;
    if (busy) {
        QApplication::setOverrideCursor(Qt::WaitCursor);
    } else {
        QApplication::restoreOverrideCursor();
    }
}

bool CTagsmithDlg::RunPicker(CDlgListID& picker) {
    CDlgListIDView view(picker, this);
    // A question waits for the operator: the arrow, not the busy cursor.
    if (busyCursor_) QApplication::setOverrideCursor(Qt::ArrowCursor);
    const bool chosen = view.exec() == QDialog::Accepted;
    if (busyCursor_) QApplication::restoreOverrideCursor();
    return chosen;
}

void CTagsmithDlg::DismissModals() {
    // A flow may be waiting in a message box or the picker: close those
    // (each answers as its Esc does) and look again shortly, since the flow
    // may show another before it returns.
    QWidget* modal = QApplication::activeModalWidget();
    if (modal && modal != this) {
        modal->close();
        QTimer::singleShot(50, this, [this] { DismissModals(); });
    }
}

void CTagsmithDlg::EndRun(bool accepted) { QDialog::done(accepted ? Accepted : Rejected); }

void CTagsmithDlg::PumpRepaint() { ts::gui::PumpRepaint(); }

void CTagsmithDlg::SleepRepainting(uint32_t ms) {
    if (ms == 0) {
        ts::gui::PumpRepaint();
        return;
    }
    QEventLoop wait;
    QTimer::singleShot(std::chrono::milliseconds(ms), Qt::PreciseTimer, &wait, &QEventLoop::quit);
    wait.exec(QEventLoop::ExcludeUserInputEvents | QEventLoop::ExcludeSocketNotifiers);
}

void CTagsmithDlg::WaitHandling(uint32_t ms, const std::function<bool()>& goOn) {
    QTimer timer;
    timer.setSingleShot(true);
    timer.setTimerType(Qt::PreciseTimer);
    timer.start(std::chrono::milliseconds(ms));
    // The wait ends right after the event that stopped it.
    QEventLoop wait;
    while (timer.isActive() && goOn()) wait.processEvents(QEventLoop::WaitForMoreEvents);
}

void CTagsmithDlg::Drain() { QCoreApplication::processEvents(); }

void CTagsmithDlg::HoldDeviceEvents(bool hold) {
    if (notifier_ && !controller_.Finished()) notifier_->setEnabled(!hold);
}

void CTagsmithDlg::Post(std::function<void()> task) {
    // Queued on this window: dropped with it.
    QMetaObject::invokeMethod(this, std::move(task), Qt::QueuedConnection);
}

// ------------------------------------------------------------- the events ---

void CTagsmithDlg::EnableTrainingBench(const std::string& folder) {
    if (bench_) return;
    bench_ = new TrainingBench(controller_.EnableBench(folder, SimBenchLine()), this);
    PlaceSideColumn();
    bench_->show();
}

int CTagsmithDlg::RunModal() {
    int result = exec();
    DestroyWindow();
    return result;
}

void CTagsmithDlg::DestroyWindow() {
    if (controller_.Finished()) return;
    if (notifier_) notifier_->setEnabled(false);
    controller_.Finish();
}

void CTagsmithDlg::RequestQuit() { controller_.RequestQuit(); }

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

void CTagsmithDlg::done(int result) {
    // Every end goes through the controller's close rules.
    if (controller_.Quitting()) {
        QDialog::done(result);
        return;
    }
    if (result == Accepted) {
        controller_.OnCloseButton();
    } else {
        controller_.OnSystemClose();
    }
}

void CTagsmithDlg::reject() { done(Rejected); }

void CTagsmithDlg::closeEvent(QCloseEvent* e) {
    // The title-bar close and Alt+F4 are refused while the controls are
    // locked; a window still busy ends once its flow has returned.
    e->ignore();
    if (controller_.OnSystemClose() && !isVisible()) e->accept();
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
    menu.addAction(Q(std::u16string_view(kAboutEntry)), this, [this] { ShowAbout(); });
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
