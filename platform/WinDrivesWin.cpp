#include <algorithm>
#include <cerrno>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>

#include "platform/DebugOut.h"
#include "platform/Waiting.h"
#include "platform/WinDrives.h"
#include "platform/WinText.h"

namespace ts {

#ifndef _WIN64
// On the 32-bit system the native request is the device protocol's own
// 44-byte block, byte for byte.
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44);
static_assert(offsetof(SCSI_PASS_THROUGH_DIRECT, Cdb) == 28);
#endif

namespace {

constexpr uint32_t kGenericReadAccess = 0x80000000u;
constexpr uint32_t kGenericWriteAccess = 0x40000000u;

BOOL CallDriver(HANDLE volume, SptdWithSense* request, DWORD* error) {
    DWORD returned = 0;
    const BOOL ok = DeviceIoControl(volume, IOCTL_SCSI_PASS_THROUGH_DIRECT, request,
                                    sizeof *request, request, sizeof *request, &returned, nullptr);
    if (!ok) *error = GetLastError();
    return ok;
}

}  // namespace

SptdTransport::SptdTransport(HANDLE volume, SptdIoctl ioctl)
    : volume_(volume), ioctl_(ioctl ? std::move(ioctl) : SptdIoctl(CallDriver)) {}

SptdTransport::~SptdTransport() {
    if (volume_ != INVALID_HANDLE_VALUE && volume_ != nullptr) CloseHandle(volume_);
}

bool SptdTransport::Send(ScsiCommand& command, int& lastError) {
    SptdWithSense request{};
    SCSI_PASS_THROUGH_DIRECT& s = request.sptd;
    const uint8_t senseWanted =
        std::min<uint8_t>(command.senseCapacity, static_cast<uint8_t>(sizeof request.sense));
    s.Length = sizeof s;
    s.CdbLength = std::min<uint8_t>(command.cdbLength, sizeof s.Cdb);
    s.SenseInfoLength = senseWanted;
    s.SenseInfoOffset = offsetof(SptdWithSense, sense);
    s.TimeOutValue = command.timeoutSeconds;
    std::memcpy(s.Cdb, command.cdb, s.CdbLength);
    const bool moves = command.length > 0 && command.data != nullptr;
    switch (command.direction) {
        case ScsiDirection::FromDevice:
            s.DataIn = SCSI_IOCTL_DATA_IN;
            break;
        case ScsiDirection::ToDevice:
            s.DataIn = SCSI_IOCTL_DATA_OUT;
            break;
        case ScsiDirection::None:
            s.DataIn = SCSI_IOCTL_DATA_UNSPECIFIED;
            break;
    }
    if (moves) {
        bounce_.assign(command.length, 0);
        if (command.direction == ScsiDirection::ToDevice)
            std::memcpy(bounce_.data(), command.data, command.length);
        s.DataTransferLength = command.length;
        s.DataBuffer = bounce_.data();
    }
    DWORD error = 0;
    if (!ioctl_(volume_, &request, &error)) {
        lastError = win::ErrnoOf(error);
        return false;
    }
    // The driver leaves the bytes it moved in DataTransferLength.
    const uint32_t moved = moves ? std::min<uint32_t>(s.DataTransferLength, command.length) : 0;
    command.status = s.ScsiStatus;
    command.resid = command.length - moved;
    const uint8_t senseGot = std::min<uint8_t>(s.SenseInfoLength, senseWanted);
    std::memcpy(command.sense, request.sense, senseGot);
    command.senseLength = senseGot;
    if (moves && command.direction == ScsiDirection::FromDevice && command.status == 0)
        std::memcpy(command.data, bounce_.data(), moved);
    return true;
}

std::unique_ptr<ScsiTransport> OpenWinVolume(const char* path, uint32_t access, uint32_t shareMode,
                                             int& lastError) {
    DWORD desired = 0;
    if (access & kGenericReadAccess) desired |= GENERIC_READ;
    if (access & kGenericWriteAccess) desired |= GENERIC_WRITE;
    HANDLE h = CreateFileW(win::Wide(path).c_str(), desired,
                           shareMode & (FILE_SHARE_READ | FILE_SHARE_WRITE), nullptr, OPEN_EXISTING,
                           0, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        lastError = win::ErrnoOf(GetLastError());
        return nullptr;
    }
    return std::make_unique<SptdTransport>(h);
}

std::vector<std::u16string> SplitDriveStrings(const wchar_t* text, size_t length) {
    std::vector<std::u16string> roots;
    size_t at = 0;
    while (at < length && text[at] != L'\0') {
        size_t end = at;
        while (end < length && text[end] != L'\0') ++end;
        roots.emplace_back(text + at, text + end);
        at = end + 1;
    }
    return roots;
}

std::optional<DeviceEvent> DeviceChangeEvent(WPARAM event, const DEV_BROADCAST_HDR* header) {
    if (!header) return std::nullopt;
    if (header->dbch_devicetype != DBT_DEVTYP_VOLUME &&
        header->dbch_devicetype != DBT_DEVTYP_DEVICEINTERFACE)
        return std::nullopt;
    if (event == DBT_DEVICEARRIVAL) return DeviceEvent::Arrival;
    if (event == DBT_DEVICEREMOVECOMPLETE) return DeviceEvent::Removal;
    return std::nullopt;
}

namespace {

// The volumes' device interface class.
constexpr GUID kVolumeInterface = {
    0x53F5630D, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};

// A message-only window on a thread of its own; device-change messages
// become events in a queue, and the wake-up signal tells the owner.
class DeviceWindow final : public DeviceEventSource {
public:
    DeviceWindow() = default;
    ~DeviceWindow() override {
        if (thread_.joinable()) {
            PostThreadMessageW(threadId_, WM_QUIT, 0, 0);
            thread_.join();
        }
    }
    DeviceWindow(const DeviceWindow&) = delete;
    DeviceWindow& operator=(const DeviceWindow&) = delete;

    bool Start() {
        if (!wake_.Ok()) return false;
        WakeSignal started;
        thread_ = std::thread([this, &started] { Run(started); });
        WaitForAny(std::vector<Waitable>{started.Get()}.data(), 1, -1);
        if (!window_) {
            thread_.join();
            return false;
        }
        return true;
    }

    int Fd() const override { return wake_.Get(); }

    std::vector<DeviceEvent> ReadEvents() override {
        wake_.Drain();
        std::lock_guard lock(mutex_);
        std::vector<DeviceEvent> out(events_.begin(), events_.end());
        events_.clear();
        return out;
    }

private:
    static LRESULT CALLBACK Proc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
        if (msg == WM_DEVICECHANGE) {
            auto* self = reinterpret_cast<DeviceWindow*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
            const auto ev = DeviceChangeEvent(wp, reinterpret_cast<const DEV_BROADCAST_HDR*>(lp));
            if (self && ev) self->Post(*ev);
            return TRUE;
        }
        return DefWindowProcW(hwnd, msg, wp, lp);
    }

    void Post(DeviceEvent ev) {
        {
            std::lock_guard lock(mutex_);
            events_.push_back(ev);
        }
        wake_.Signal();
    }

    void Run(WakeSignal& started) {
        threadId_ = GetCurrentThreadId();
        HINSTANCE instance = GetModuleHandleW(nullptr);
        WNDCLASSW wc{};
        wc.lpfnWndProc = Proc;
        wc.hInstance = instance;
        wc.lpszClassName = L"TagsmithDeviceWindow";
        RegisterClassW(&wc);  // already registered by an earlier watcher: fine
        window_ = CreateWindowExW(0, wc.lpszClassName, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  instance, nullptr);
        HDEVNOTIFY note = nullptr;
        if (window_) {
            SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
            // Message-only windows get no broadcasts: ask for the volumes' interface.
            DEV_BROADCAST_DEVICEINTERFACE_W filter{};
            filter.dbcc_size = sizeof filter;
            filter.dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
            filter.dbcc_classguid = kVolumeInterface;
            note = RegisterDeviceNotificationW(window_, &filter, DEVICE_NOTIFY_WINDOW_HANDLE);
            if (!note) OutputDebugStringA("WinDrives: device notifications cannot be registered\n");
        }
        // The message queue exists once a window does: the owner may go on.
        started.Signal();
        if (!window_) return;
        MSG msg;
        while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (note) UnregisterDeviceNotification(note);
        DestroyWindow(window_);
    }

    WakeSignal wake_;
    std::mutex mutex_;
    std::deque<DeviceEvent> events_;
    std::thread thread_;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};

class WinDrives final : public DriveSystem {
public:
    std::vector<std::u16string> ListDrives() override {
        std::vector<wchar_t> buf(512);
        for (;;) {
            const DWORD n = GetLogicalDriveStringsW(static_cast<DWORD>(buf.size()), buf.data());
            if (n == 0) return {};
            if (n < buf.size()) return SplitDriveStrings(buf.data(), n);
            buf.resize(n + 1);
        }
    }

    unsigned GetDriveType(const std::u16string& root) override {
        const std::wstring w(root.begin(), root.end());
        return ::GetDriveTypeW(w.c_str());
    }

    std::unique_ptr<ScsiTransport> OpenVolume(const char* path, uint32_t access, uint32_t shareMode,
                                              int& lastError) override {
        return OpenWinVolume(path, access, shareMode, lastError);
    }

    std::unique_ptr<DeviceEventSource> WatchEvents() override {
        auto window = std::make_unique<DeviceWindow>();
        if (!window->Start()) {
            OutputDebugStringA("WinDrives: the device-change window cannot be made\n");
            return nullptr;
        }
        return window;
    }
};

}  // namespace

std::unique_ptr<DriveSystem> MakeSystemDrives() { return std::make_unique<WinDrives>(); }

}  // namespace ts
