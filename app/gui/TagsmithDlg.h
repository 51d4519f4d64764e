#pragma once
// The main window (template 102): a view over MainDialog. It owns the model,
// the three page views inside the tab control, the log box and message-box
// ports, and the watch on the drive system's arrival and removal events.
#include <QDialog>
#include <functional>
#include <memory>
#include <string>

#include "app/MainDialog.h"
#include "platform/DriveSystem.h"

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
class GuiClock;
class QtMessageBoxer;
class StationStatus;
class TrainingBench;

// The model with its write flows observed: the last result comes from what
// the core's write returns.
class GuiModel : public MainDialog {
public:
    std::function<void()> writeStarts;
    // The result, the ID, and whether it was passed over (taken meanwhile).
    std::function<void(int, const std::u16string&, bool)> writeEnded;
    int WriteDeviceSN(const std::u16string& id) override;
};

class CTagsmithDlg : public QDialog {
    Q_OBJECT
public:
    // `drives` may be null: no device is ever found.
    explicit CTagsmithDlg(std::unique_ptr<DriveSystem> drives, QWidget* parent = nullptr);
    ~CTagsmithDlg() override;

    // Title, tabs and pages, then the model's part (application folder,
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

    MainDialog& Model() { return model_; }
    QPlainTextEdit* LogBox() const;
    CDlgCh1View* Page1() const { return page1_; }
    CDlgCh2View* Page2() const { return page2_; }
    CDlgCh3View* Page3() const { return page3_; }
    StationStatus& Status() { return *status_; }
    QLabel* ResultBox() const { return result_; }
    QLabel* CountsBox() const { return counts_; }
    QProgressBar* ProgressBar() const { return progress_; }
    TrainingBench* Bench() const { return bench_; }
    void Refresh();

    void done(int result) override;
    void reject() override;

protected:
    void closeEvent(QCloseEvent* e) override;
    void keyPressEvent(QKeyEvent* e) override;
    void contextMenuEvent(QContextMenuEvent* e) override;
    bool eventFilter(QObject* watched, QEvent* e) override;

private:
    void OnDeviceEvents();
    // Also while automatic writing waits for its ledger's server: nothing is
    // being sent then, and closing ends the wait.
    bool CloseAllowed() const;
    // Around a flow: the busy cursor (nested flows count).
    void BeginBusy();
    void EndBusy();
    void FocusScanBoxIfWriting();

    // Declared before the model: the core points at them until it is gone.
    std::unique_ptr<DriveSystem> drives_;
    std::unique_ptr<EditLogView> log_;
    std::unique_ptr<QtMessageBoxer> boxer_;
    std::unique_ptr<GuiClock> clock_;
    std::unique_ptr<StationStatus> status_;
    GuiModel model_;
    std::unique_ptr<Ui::MainDlg> ui_;
    CDlgCh1View* page1_ = nullptr;
    CDlgCh2View* page2_ = nullptr;
    CDlgCh3View* page3_ = nullptr;
    std::unique_ptr<DeviceEventSource> events_;
    QSocketNotifier* notifier_ = nullptr;
    QLabel* result_ = nullptr;
    QLabel* counts_ = nullptr;
    QProgressBar* progress_ = nullptr;
    TrainingBench* bench_ = nullptr;
    int busy_ = 0;
    bool destroyed_ = false;
    bool quitting_ = false;
};

// The dialog font and style of every window: WenQuanYi Zen Hei (a CJK font)
// at 12 pixels, the Fusion style. The .ui rectangles assume it.
void ApplyDialogLook();

}  // namespace ts::gui
