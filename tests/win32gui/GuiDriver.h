#pragma once
// Drives tagsmith.exe from outside, as a person at the station would: a
// copy of the application folder on a simulated line of its own, devices
// plugged with tagsmith-cli.exe, controls found by their IDs, clicked and
// read with window messages, message boxes answered by their buttons.
#include <windows.h>

#include <filesystem>
#include <functional>
#include <string>

namespace ts::wingui {

// Polls `done` every 50 ms for up to `ms`.
bool WaitFor(const std::function<bool()>& done, int ms = 20000);

class Station {
public:
    explicit Station(const std::string& name);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    std::filesystem::path AppDir() const { return app_; }
    std::filesystem::path Line() const { return sim_; }
    // Adds keys to the example tagsmith.cfg's section "Option" (its last),
    // "\r\n" after each.
    void AddSettings(const std::string& lines) const;
    std::string ReadConfig() const;
    // Writes a file into the station's folder; its full path.
    std::filesystem::path WriteFile(const std::string& name, const std::string& content) const;

    // Starts tagsmith.exe on the line; false unless its window appears.
    bool Start();
    // Starts another copy with the same arguments and waits for it to end;
    // its exit code (or -1 when it did not end within `ms`).
    int StartAnother(int ms, DWORD* elapsedMs);
    bool Running() const;
    // Waits for the program to end; false when it is still running.
    bool WaitExit(int ms);

    // tagsmith-cli.exe --simulate LINE ARGS; its exit code.
    int Cli(const std::wstring& args) const;
    void Plug() const;
    // Takes the device out, keeping its image at `keep` when given.
    void Unplug(const std::filesystem::path& keep = {});

    HWND Main() const { return main_; }
    // A control of the main window or of one of its pages; `page` -1 for
    // the main window's own controls, else 0..2.
    HWND Control(int id, int page = -1) const;
    std::wstring Text(HWND hwnd) const;
    std::wstring Text(int id, int page = -1) const { return Text(Control(id, page)); }
    void SetText(int id, int page, const std::wstring& text) const;
    bool Enabled(int id, int page = -1) const;
    // Clicks an enabled button (posted: a click may open a modal box).
    bool Click(int id, int page = -1) const;
    std::wstring Log() const { return Text(1010); }
    size_t LogCount(const std::wstring& line) const;
    bool WaitLog(const std::wstring& line, size_t count = 1) const;

    // A top-level dialog window of the program other than the main window
    // (a message box, the picker, the About box); null when none shows.
    HWND Popup() const;
    HWND WaitPopup() const;
    // The message box's text.
    std::wstring BoxText(HWND box) const;
    void Answer(HWND box, int command) const;

    // Saves a picture of a top-level window under TAGSMITH_SCREENSHOTS.
    void Screenshot(HWND window, const std::string& name) const;

private:
    std::filesystem::path root_, app_, sim_;
    PROCESS_INFORMATION pi_ = {};
    HWND main_ = nullptr;
    int processes_ = 0;
};

}  // namespace ts::wingui
