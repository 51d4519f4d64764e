#pragma once
// What every flow of a station shares: the command channel, the current
// device and its handshake answer, the mode, the application folder, the
// plug-in table, the ID pages and the ports to whatever shows the station.
// Front ends read it through the accessors and change it only through the
// narrow setters; the flows built on it (ReadFlow.h, WriteFlow.h,
// Discovery.h) are the only code that moves the current device.
#include <cstdint>
#include <mutex>
#include <span>
#include <string>
#include <vector>

#include "device/DeviceControl.h"
#include "deviceops/LedgerLink.h"
#include "idsource/IdPage.h"
#include "platform/Profile.h"
#include "plugin_api/Volkit.h"
#include "ports/ProgressPort.h"
#include "ports/UiPorts.h"

namespace ts {

inline constexpr char16_t kAppTitle[] = u"Tagsmith";

class StationState {
public:
    StationState();
    ~StationState();
    StationState(const StationState&) = delete;
    StationState& operator=(const StationState&) = delete;

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

    // ---- the state, read-only outside the flows ----
    // The device the flows work on; null when there is none.
    DeviceHandle* CurrentDevice() const { return m_pCurDevice; }
    // The current device's answer to the handshake.
    std::span<const uint8_t, 32> HandShakeAnswer() const { return m_HandShakeBuf; }
    int IsWriteMode() const { return m_bWriteMode; }
    void SetWriteMode(bool write) { m_bWriteMode = write ? 1 : 0; }
    // The application folder, ending in '/'.
    const std::string& ExeDir() const { return m_strExeDir; }
    // Where the flows keep their working files (prvdata, tmp.data, sn.txt),
    // ending in '/': the application folder unless a port of its own was
    // given one.
    const std::string& WorkDir() const { return workDir_.empty() ? m_strExeDir : workDir_; }
    void SetWorkDir(const std::string& dir);
    // Stations working side by side share one plug-in, whose volumes are
    // not safe to use from two threads at once: each use holds this lock.
    void SetPluginLock(std::mutex* lock) { pluginLock_ = lock; }
    // The file-system plug-in's table; null when it could not be loaded.
    const VolkitApi* VolkitTable() const { return m_pVolkit; }
    // Replaces the plug-in's table (a stand-in of the caller's own).
    void SetVolkitTable(const VolkitApi* api) { m_pVolkit = api; }
    // The ledger every write reserves its ID in and every attempt is
    // recorded in, and whether writes are read back.
    LedgerLink& Ledger() { return ledger_; }

    // The folder of the running executable.
    void InitExeDir();
    // For tests and tools that run from another folder.
    void InitExeDir(const std::string& dir);
    // Loads the plug-in manager and the file-system plug-in from the
    // application folder.
    void LoadPlugin();
    std::string ConfigPath() const { return ConfigPathIn(m_strExeDir); }
    // Reads an installation key of section "Option" (259 characters at most).
    std::u16string ReadConfigString(const char16_t* key) const;

    void AppendLog(const std::u16string& line);
    MsgAnswer MessageBox(const std::u16string& text, MsgButtons buttons, MsgIcon icon,
                         const std::u16string& caption = kAppTitle);
    void Sleep(uint32_t ms);
    // A pause of automatic writing (Clock::Pause): false once no page writes
    // by itself any more (the operator stopped it) or the window is ending.
    bool PauseAutomatic(uint32_t ms);

    // Opens the drive at `root` (its ANSI name) and makes it the current
    // device with its handshake answer, without a dispatch: for tools and
    // tests that run one flow by hand. False, with nothing changed, when it
    // does not open or answer.
    bool AdoptDevice(const char* root);
    // Closes the current device, if any (end of the main window).
    void CloseCurrentDevice();

protected:
    // Held around every use of the plug-in (a no-op when none was set).
    std::unique_lock<std::mutex> LockPlugin() {
        return pluginLock_ ? std::unique_lock<std::mutex>(*pluginLock_)
                           : std::unique_lock<std::mutex>();
    }
    // The page writing every ready device by itself, if one is.
    IdPage* AutomaticPage() const;

    DeviceControl m_DevCtrl;
    DeviceHandle* m_pCurDevice = nullptr;
    uint8_t m_HandShakeBuf[32] = {};
    int m_bWriteMode = 0;
    std::string m_strExeDir;  // application folder, ending in '/'
    const VolkitApi* m_pVolkit = nullptr;

    ProgressPort* progress_ = nullptr;
    std::vector<IdPage*> pages_;
    // Moves on whenever the current device is replaced or closed, so a flow
    // can tell that events handled inside one of its message boxes swapped
    // the device under it.
    uint64_t deviceEpoch_ = 0;
    // The drive of the current device that discovery made, and that device
    // (valid while m_pCurDevice is that device).
    std::u16string currentRoot_;
    DeviceHandle* currentHandle_ = nullptr;
    // The current device as the journal names it (empty when discovery did
    // not make it current).
    DeviceInfo currentInfo_;
    LedgerLink ledger_;

private:
    std::string workDir_;
    std::mutex* pluginLock_ = nullptr;
    LogView* log_ = nullptr;
    MessageBoxer* boxes_ = nullptr;
    Clock* clock_ = nullptr;
    int selected_ = 0;
    MemoryLogView defaultLog_;
    ScriptedMessageBoxer defaultBoxes_;
    RealClock defaultClock_;
};

}  // namespace ts
