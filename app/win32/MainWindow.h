#pragma once
// The main window (template 102) on the Win32 API: it draws the window
// controller (app/WindowController.h) and forwards its events to it. The
// three pages are child dialogs over the tab control, the picker a virtual
// list view, the About box comes from the system menu, and the column right
// of the template holds the last result, the counts, the progress bar and,
// on a simulated line, the trainer's panel. Device events wake a watcher
// thread that posts them to the window, so they are handled on the
// window's thread, also while a message box is open.
#include <windows.h>
// after windows.h
#include <commctrl.h>

#include <memory>
#include <string>
#include <thread>

#include "WinPorts.h"
#include "app/WindowController.h"
#include "platform/DriveSystem.h"

namespace ts::win32 {

class MainWindow : private WindowView {
public:
    // `drives` may be null: no device is ever found.
    MainWindow(HINSTANCE instance, std::unique_ptr<DriveSystem> drives);
    ~MainWindow() override;
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

    // The trainer's panel, for a window on the simulated line `folder`
    // (before Create).
    void EnableTrainingBench(const std::string& folder);
    // Creates and shows the window; false when the template cannot be made.
    bool Create();
    // Runs the window until it ends (settings saved, device closed).
    int Run();

private:
    static INT_PTR CALLBACK MainProc(HWND, UINT, WPARAM, LPARAM);
    static INT_PTR CALLBACK PageProc(HWND, UINT, WPARAM, LPARAM);
    static INT_PTR CALLBACK PickerProc(HWND, UINT, WPARAM, LPARAM);
    static INT_PTR CALLBACK AboutProc(HWND, UINT, WPARAM, LPARAM);

    INT_PTR OnMainMessage(UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR OnPageMessage(int page, HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);
    INT_PTR OnPickerMessage(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp);

    void OnInitDialog();
    void CreateSideColumn();
    void OnCommand(int id, int code);
    void OnPageCommand(int page, HWND hwnd, int id, int code);
    void ChooseIdFile();
    void StartEventWatch();
    void StopEventWatch();
    bool DrawSideItem(const DRAWITEMSTRUCT& di);

    void RefreshPage(int page);
    // Messages of this window and its pages before they are dispatched: the
    // keys the window and its read-only edits swallow, then the dialog keys.
    bool PreTranslate(MSG& msg);

    // WindowView
    void ShowControls() override;
    void ShowResult() override;
    void ShowBench() override;
    void FocusScanBox() override;
    void ShowBusy(bool) override {}
    bool RunPicker(CDlgListID& picker) override;
    void DismissModals() override;
    void EndRun(bool accepted) override;
    void PumpRepaint() override;
    void SleepRepainting(uint32_t ms) override;
    void WaitHandling(uint32_t ms, const std::function<bool()>& goOn) override;
    void Drain() override;
    void HoldDeviceEvents(bool) override {}
    void Post(std::function<void()> task) override;
    // The ports' strip: shown in gang mode, the window grown to hold it.
    void PlaceStrip();
    void ShowPorts();
    LRESULT DrawPortRow(NMLVCUSTOMDRAW& draw);

    HINSTANCE instance_;
    std::string benchFolder_;
    EditLogView log_;
    WinMessageBoxer boxer_;
    WindowController controller_;
    HWND hwnd_ = nullptr;
    HWND pages_[3] = {};
    HWND picker_ = nullptr;
    CDlgListID* pickerLogic_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HBRUSH windowBrush_ = nullptr;
    HFONT headlineFont_ = nullptr;
    HFONT idFont_ = nullptr;
    HFONT countsFont_ = nullptr;
    std::thread watcher_;
    HANDLE stopWatch_ = nullptr;
    HANDLE eventsTaken_ = nullptr;
    int clientHeight_ = 0;  // without the strip
    int stripShown_ = -1;   // not placed yet
    int syncing_ = 0;
    int creatingPage_ = -1;
    bool runEnded_ = false;
};

}  // namespace ts::win32
