#pragma once
// The main window (template 102) with Qt widgets: it draws the window
// controller (app/WindowController.h) and forwards its events to it. It owns
// the three page views inside the tab control, the log box and message-box
// ports, the last-result widgets and the watch on the device events.
#include <QDialog>
#include <memory>
#include <string>

#include "app/WindowController.h"
#include "platform/DriveSystem.h"

class QCheckBox;
class QLabel;
class QProgressBar;
class QSocketNotifier;
class QPlainTextEdit;

namespace Ui {
class MainDlg;
}

namespace ts::gui {

class CDlgCh1View;
class CDlgCh2View;
class CDlgCh3View;
class EditLogView;
class PortStrip;
class QtMessageBoxer;
class ResultPanel;
class TrainingBench;

class CTagsmithDlg : public QDialog, private WindowView {
    Q_OBJECT
public:
    // `drives` may be null: no device is ever found.
    explicit CTagsmithDlg(std::unique_ptr<DriveSystem> drives, QWidget* parent = nullptr);
    ~CTagsmithDlg() override;

    // Title, tabs and pages, then the station (application folder,
    // settings, plug-in), then the device-event watch. `exeDir` empty: the
    // executable's folder.
    void OnInitDialog(const std::string& exeDir = std::string());
    // Runs the window modally, then ends it (settings saved, device closed).
    int RunModal();
    // Settings saved, current device closed; once.
    void DestroyWindow();
    // SIGTERM, SIGINT: end as the close button does, also while the controls
    // are locked; open dialogs and message boxes are closed first.
    void RequestQuit();
    // A second start asked for the window: restore, raise, activate.
    void Activate();
    void ShowAbout();
    // The trainer's panel, for a window on the simulated line `folder`.
    void EnableTrainingBench(const std::string& folder);

    WindowController& Controller() { return controller_; }
    MainDialog& Model() { return controller_.Model(); }
    LastResult& Status() { return controller_.Result(); }
    QPlainTextEdit* LogBox() const;
    CDlgCh1View* Page1() const { return page1_; }
    CDlgCh2View* Page2() const { return page2_; }
    CDlgCh3View* Page3() const { return page3_; }
    QLabel* ResultBox() const { return result_; }
    QLabel* CountsBox() const { return counts_; }
    QProgressBar* ProgressBar() const { return progress_; }
    TrainingBench* Bench() const { return bench_; }
    QCheckBox* GangModeBox() const { return gangBox_; }
    PortStrip* Strip() const { return strip_; }

    void done(int result) override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    // WindowView
    void ShowControls() override;
    void ShowResult() override;
    void ShowBench() override;
    void FocusScanBox() override;
    void ShowBusy(bool busy) override;
    bool RunPicker(CDlgListID& picker) override;
    void DismissModals() override;
    void EndRun(bool accepted) override;
    void PumpRepaint() override;
    void SleepRepainting(uint32_t ms) override;
    void WaitHandling(uint32_t ms, const std::function<bool()>& goOn) override;
    void Drain() override;
    void HoldDeviceEvents(bool hold) override;
    void Post(std::function<void()> task) override;

    void PlaceSideColumn();

    // Declared before the controller: the core points at them until it is gone.
    std::unique_ptr<EditLogView> log_;
    std::unique_ptr<QtMessageBoxer> boxer_;
    std::unique_ptr<Ui::MainDlg> ui_;
    WindowController controller_;
    std::unique_ptr<ResultPanel> panel_;
    CDlgCh1View* page1_ = nullptr;
    CDlgCh2View* page2_ = nullptr;
    CDlgCh3View* page3_ = nullptr;
    QSocketNotifier* notifier_ = nullptr;
    QLabel* result_ = nullptr;
    QLabel* counts_ = nullptr;
    QProgressBar* progress_ = nullptr;
    TrainingBench* bench_ = nullptr;
    QCheckBox* gangBox_ = nullptr;
    PortStrip* strip_ = nullptr;
    bool busyCursor_ = false;
};

// The dialog font and style of every window: WenQuanYi Zen Hei (a CJK font)
// at 12 pixels, the Fusion style. The .ui rectangles assume it.
void ApplyDialogLook();

}  // namespace ts::gui
