#pragma once
// The state every flow shares (the main window's device state, application
// folder, plug-in table and log) and the device flows that work on it:
// discovery, dispatch, read-ID and write-ID. No Qt: the desktop program and
// tagsmith-cli wire it to their views through the narrow ports below.
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "idsource/IdPage.h"
#include "platform/DriveSystem.h"
#include "platform/Profile.h"
#include "plugin_api/Volkit.h"
#include "ports/ProgressPort.h"
#include "ports/UiPorts.h"

namespace ts {

// Write flow result codes.
enum WriteResult : int {
    kWriteOk = 0,
    kWriteFailed = 1,
    kWriteInvalidId = 822,
    kWriteIdTooLong = 829,
};

// Read flow result codes.
enum ReadResult : int {
    kReadOk = 0,
    kReadTmpNotCreated = 447,
    kReadBlock0Failed = 456,
    kReadFullBlockFailed = 488,
    kReadTailFailed = 498,
    kReadDownloadFailed = 518,
    kReadSnNotOpened = 527,
    kDownloadNoFile = 575,
};

inline constexpr char16_t kAppTitle[] = u"Tagsmith";

// What a scan did: whether it dispatched a device and, in read mode, what
// the read gave.
struct DispatchOutcome {
    bool dispatched = false;
    int readResult = -1;  // -1: no read ran
    std::u16string readId;
};

class TagsmithCore {
public:
    TagsmithCore();
    ~TagsmithCore();
    TagsmithCore(const TagsmithCore&) = delete;
    TagsmithCore& operator=(const TagsmithCore&) = delete;

    // ---- wiring (all optional; missing ports behave as silent defaults) ----
    void SetLogView(LogView* log) { log_ = log; }
    // The log box in use (the built-in one when none was set).
    LogView* GetLogView() { return log_ ? log_ : &defaultLog_; }
    void SetMessageBoxer(MessageBoxer* boxes) { boxes_ = boxes; }
    void SetClock(Clock* clock) { clock_ = clock; }
    void SetProgress(ProgressPort* progress) { progress_ = progress; }
    // The ID pages in tab order; the first is selected. Empty: no pages.
    void SetPages(std::span<IdPage* const> pages);
    // The page dispatch announces and shows IDs on (-1 or out of range: none).
    void SelectPage(int index) { selected_ = index; }
    IdPage* SelectedPage() const;
    // The drives to scan; also becomes the command channel's volume opener.
    void SetDrives(DriveSystem* drives);
    DriveSystem* Drives() const { return drives_; }
    // Runs before each handshake of a scan: the GUI processes its pending
    // events here, as the message-queue drain does.
    void SetDrainHook(std::function<void()> drain) { drain_ = std::move(drain); }

    // ---- shared state ----
    DeviceControl m_DevCtrl;
    DeviceHandle* m_pCurDevice = nullptr;
    uint8_t m_HandShakeBuf[32] = {};
    int m_bWriteMode = 0;
    std::string m_strExeDir;  // application folder, ending in '/'
    const VolkitApi* m_pVolkit = nullptr;

    // The folder of the running executable.
    void InitExeDir();
    // For tests and tools that run from another folder.
    void InitExeDir(const std::string& dir);
    int IsWriteMode() const { return m_bWriteMode; }
    void AppendLog(const std::u16string& line);
    MsgAnswer MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                         const std::u16string& caption = kAppTitle);
    void Sleep(uint32_t ms);
    // Loads the plug-in manager and the file-system plug-in from m_strExeDir.
    void LoadPlugin();
    std::string ConfigPath() const { return ConfigPathIn(m_strExeDir); }
    // Reads an installation key of section "Option" (259 characters at most).
    std::u16string ReadConfigString(const char16_t* key) const;

    // ---- read-ID flow ----
    int ReadDeviceSN(std::u16string& id);
    int DownLoadFSFile(VolHandle image, const std::string& localPath);

    // ---- write-ID flow ----
    int WriteDeviceSN(const std::u16string& id);
    // `path` uses '/' separators (a local folder). 1 when it exists or was made.
    static int EnsureDirectoryPath(const std::string& path);

    // ---- discovery and dispatch ----
    DispatchOutcome WindowProc(DeviceEvent event);
    DispatchOutcome ScanDevices();
    DispatchOutcome DispatchFoundDevice(DeviceHandle* device);
    void UpdateButtonsAfterRemoval();
    void GetCurrentId(std::u16string& id);
    void ShowCurrentId(const std::u16string& text);
    // Closes the current device, if any (end of the main window).
    void CloseCurrentDevice();

private:
    // The page writing every ready device by itself, if one is.
    IdPage* AutomaticPage() const;

    LogView* log_ = nullptr;
    MessageBoxer* boxes_ = nullptr;
    Clock* clock_ = nullptr;
    ProgressPort* progress_ = nullptr;
    std::vector<IdPage*> pages_;
    int selected_ = 0;
    DriveSystem* drives_ = nullptr;
    std::function<void()> drain_;
    MemoryLogView defaultLog_;
    ScriptedMessageBoxer defaultBoxes_;
    RealClock defaultClock_;
    // Moves on whenever the current device is replaced or closed, so a flow
    // can tell that events handled inside one of its message boxes swapped
    // the device under it.
    uint64_t deviceEpoch_ = 0;

    // Discovery handles a device once per attachment: the attachment last
    // dispatched on each drive, kept while it stays there.
    std::map<std::u16string, std::string> handled_;
    // Drives that scans further out are about to handshake (a nested scan
    // leaves them to those).
    std::vector<std::u16string> probing_;
    // The drive of the device that a scan is dispatching, and of the current
    // device it made (valid while m_pCurDevice is that device).
    std::u16string dispatchRoot_;
    std::u16string currentRoot_;
    DeviceHandle* currentHandle_ = nullptr;
    // Forgets what was handled on drives that are gone or hold another
    // attachment now; the current device goes with its drive.
    void ForgetDetached(const std::vector<std::u16string>& roots);
    void DropHandled(const std::u16string& root);
};

}  // namespace ts
