#include "app/WindowController.h"

#include <utility>

namespace ts {

SideColumn SideColumnLayout(bool withBench) {
    SideColumn c;
    c.bench = {509, 5, 160, 134};
    c.result = withBench ? DialogRect{509, 144, 160, 102} : DialogRect{509, 48, 160, 198};
    c.counts = {509, 250, 160, 20};
    c.progress = {509, 275, 160, 19};
    c.windowWidth = 681;
    return c;
}

WindowController::WindowController(WindowView& view, std::unique_ptr<DriveSystem> drives)
    : view_(view), drives_(std::move(drives)), model_(*this) {
    model_.onChange = [this] { view_.ShowControls(); };
    model_.runPicker = [this](CDlgListID& picker) {
        // A window that is ending asks the operator nothing more.
        return !quitting_ && view_.RunPicker(picker);
    };
    result_.onChange = [this] { view_.ShowResult(); };
}

WindowController::~WindowController() {
    events_.reset();
    model_.onChange = nullptr;
    model_.runPicker = nullptr;
    result_.onChange = nullptr;
    if (bench_) bench_->onChange = nullptr;
    // The ports go back in the reverse order of Open.
    TagsmithCore& core = model_.core;
    core.SetProgress(nullptr);
    core.SetClock(nullptr);
    core.SetDrainHook(nullptr);
    core.SetMessageBoxer(nullptr);
    core.SetLogView(nullptr);
    core.SetDrives(nullptr);
}

BenchModel& WindowController::EnableBench(const std::string& folder, BenchModel::Line line) {
    if (!bench_) {
        bench_ = std::make_unique<BenchModel>(folder, kBenchPort, std::move(line));
        bench_->onChange = [this] { view_.ShowBench(); };
    }
    return *bench_;
}

StationOpen WindowController::Open(const std::string& appDir, LogView& log, MessageBoxer& boxes) {
    StationParts parts;
    parts.appDir = appDir;
    parts.drives = drives_.get();
    parts.log = &log;
    parts.boxes = &boxes;
    parts.clock = this;
    parts.progress = this;
    parts.drain = [this] { view_.Drain(); };
    // The ledger tagsmith.cfg names, as every station opens it.
    parts.ledger = true;
    const StationOpen opened = model_.OnInitDialog(std::move(parts));
    view_.ShowControls();
    view_.ShowResult();
    return opened;
}

DeviceEventSource* WindowController::StartDeviceEvents() {
    if (!events_ && drives_) events_ = drives_->WatchEvents();
    if (!events_ || events_->Fd() == -1) return nullptr;
    return events_.get();
}

void WindowController::StopDeviceEvents() { events_.reset(); }

void WindowController::OnDeviceEvents() {
    if (!events_ || finished_) return;
    for (DeviceEvent ev : events_->ReadEvents()) {
        if (!HandleDeviceEvent(ev)) return;
    }
    FocusScanBoxIfWriting();
}

void WindowController::OnDeviceEvent(DeviceEvent ev) {
    if (HandleDeviceEvent(ev)) FocusScanBoxIfWriting();
}

bool WindowController::HandleDeviceEvent(DeviceEvent ev) {
    if (finished_ || quitting_) return false;
    if (ev == DeviceEvent::Arrival) result_.Reset();
    BeginFlow();
    model_.core.WindowProc(ev);
    EndFlow();
    return true;
}

void WindowController::FocusScanBoxIfWriting() {
    // A scan after a device arrived replaces the last ID without a click.
    if (quitting_ || finished_) return;
    if (model_.core.IsWriteMode() && model_.tabIndex == 1 && model_.core.CurrentDevice())
        view_.FocusScanBox();
}

void WindowController::OnWriteMode() {
    Handling h(*this);
    model_.OnWriteMode();
}

void WindowController::OnReadMode() {
    Handling h(*this);
    model_.OnReadMode();
}

void WindowController::OnTabSelChange(int index) {
    Handling h(*this);
    model_.OnTabSelChange(index);
    if (index == 1) view_.FocusScanBox();
}

void WindowController::OnClearLog() {
    Handling h(*this);
    model_.OnClearLog();
}

void WindowController::OnCloseButton() {
    if (model_.closeEnabled) RequestQuit(true);
}

bool WindowController::SystemCloseAllowed() const {
    return model_.closeEnabled || pausing_ || quitting_;
}

bool WindowController::OnSystemClose() {
    if (!SystemCloseAllowed()) return false;
    RequestQuit(false);
    return true;
}

void WindowController::RequestQuit(bool accepted) {
    if (!quitting_) accepted_ = accepted;
    quitting_ = true;
    ending_ = true;
    view_.DismissModals();
    if (handlers_ == 0) EndRunOnce();
}

void WindowController::EndHandler() {
    if (handlers_ > 0) --handlers_;
    if (handlers_ == 0 && quitting_) EndRunOnce();
}

void WindowController::EndRunOnce() {
    if (runEnded_) return;
    runEnded_ = true;
    view_.EndRun(accepted_);
}

void WindowController::Finish() {
    if (finished_) return;
    finished_ = true;
    ending_ = true;
    model_.DestroyWindow();
}

void WindowController::BeginFlow() {
    BeginHandler();
    if (flows_++ == 0 && !pausing_) view_.ShowBusy(true);
}

void WindowController::EndFlow() {
    if (flows_ > 0 && --flows_ == 0 && !pausing_) view_.ShowBusy(false);
    EndHandler();
}

int WindowController::ObservedModel::WriteDeviceSN(const std::u16string& id) {
    WindowController& c = owner_;
    c.BeginFlow();
    c.result_.WriteStarts();
    c.view_.PumpRepaint();
    const int result = MainDialog::WriteDeviceSN(id);
    // An ID another run took meanwhile is passed over: the next one follows.
    const bool passedOver = result != 0 && core.Ledger().lastTaken;
    c.result_.WriteEnded(result, id, passedOver);
    if (!passedOver) c.view_.PumpRepaint();
    c.EndFlow();
    return result;
}

void WindowController::Sleep(uint32_t ms) { view_.SleepRepainting(ms); }

bool WindowController::Pause(uint32_t ms, const std::function<bool()>& goOn) {
    if (ending_ || !goOn()) return false;
    pausing_ = true;
    // The busy cursor would tell the operator that nothing can be clicked.
    if (flows_ > 0) view_.ShowBusy(false);
    view_.HoldDeviceEvents(true);
    result_.ServerWait(true);
    view_.WaitHandling(ms, [this, &goOn] { return !ending_ && goOn(); });
    result_.ServerWait(false);
    view_.HoldDeviceEvents(false);
    if (flows_ > 0) view_.ShowBusy(true);
    pausing_ = false;
    return !ending_ && goOn();
}

void WindowController::BlockDone(FlowKind kind, uint64_t done, uint64_t total) {
    result_.BlockDone(kind, done, total);
    view_.PumpRepaint();
}

void WindowController::ReadEnded(int result, const std::u16string& id) {
    result_.ReadEnded(result, id);
    view_.PumpRepaint();
}

}  // namespace ts
