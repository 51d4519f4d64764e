#pragma once
// The main window (template 102) on the Win32 API: a view over MainDialog,
// with the three pages as child dialogs over the tab control, the picker as
// a virtual list view and the About box from the system menu. Device events
// wake a watcher thread that posts them to the window, so they are handled
// on the window's thread, also while a message box is open.
#include <windows.h>

#include <memory>
#include <string>
#include <thread>

#include "WinPorts.h"
#include "app/MainDialog.h"
#include "platform/DriveSystem.h"

namespace ts::win32 {

class MainWindow {
public:
    // `drives` may be null: no device is ever found.
    MainWindow(HINSTANCE instance, std::unique_ptr<DriveSystem> drives);
    ~MainWindow();
    MainWindow(const MainWindow&) = delete;
    MainWindow& operator=(const MainWindow&) = delete;

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
    void OnCommand(int id, int code);
    void OnPageCommand(int page, HWND hwnd, int id, int code);
    void ChooseIdFile();
    bool RunPicker(CDlgListID& picker);
    void OnDeviceEvents();
    void StartEventWatch();
    void StopEventWatch();

    void Refresh();
    void RefreshPage(int page);
    // Messages of this window and its pages before they are dispatched: the
    // keys the window and its read-only edits swallow, then the dialog keys.
    bool PreTranslate(MSG& msg);
    // Handles every pending message (the scan does before each handshake).
    void Drain();

    // Around every handler: the window ends only once none is running.
    void BeginBusy() { ++busy_; }
    void EndBusy();
    void RequestQuit();
    void FinishWindow();

    HINSTANCE instance_;
    std::unique_ptr<DriveSystem> drives_;
    EditLogView log_;
    WinMessageBoxer boxer_;
    PaintingClock clock_;
    MainDialog model_;
    HWND hwnd_ = nullptr;
    HWND pages_[3] = {};
    HWND picker_ = nullptr;
    CDlgListID* pickerLogic_ = nullptr;
    HICON icon_ = nullptr;
    HICON smallIcon_ = nullptr;
    HBRUSH windowBrush_ = nullptr;
    std::unique_ptr<DeviceEventSource> events_;
    std::thread watcher_;
    HANDLE stopWatch_ = nullptr;
    HANDLE eventsTaken_ = nullptr;
    int busy_ = 0;
    int syncing_ = 0;
    int creatingPage_ = -1;
    bool quitting_ = false;
    bool finished_ = false;
    std::wstring dispText_;
};

}  // namespace ts::win32
