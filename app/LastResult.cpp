#include "app/LastResult.h"

#include <algorithm>
#include <string>
#include <utility>

namespace ts {

namespace {

std::u16string Decimal(uint64_t v) {
    const std::string s = std::to_string(v);
    return std::u16string(s.begin(), s.end());
}

// The panel's headline for a state, in a write or a read.
const char16_t* Headline(ResultState s, bool write) {
    switch (s) {
        case ResultState::Idle:
            return u"等待设备";
        case ResultState::Reading:
            return u"读取中...";
        case ResultState::Writing:
            return u"烧写中...";
        case ResultState::Passed:
            return write ? u"烧写成功" : u"读取成功";
        case ResultState::Failed:
            return write ? u"烧写失败" : u"读取失败";
        case ResultState::NotWritten:
            return u"未烧写";
        case ResultState::Waiting:
            return u"已暂停，等待ID记录服务器";
    }
    return u"";
}

}  // namespace

void PortResult::Show(ResultState s, std::u16string text, std::u16string shownId) {
    state = s;
    headline = std::move(text);
    id = std::move(shownId);
}

void PortResult::Reset() {
    inWrite_ = false;
    sentAll_ = false;
    progressShown = false;
    progressPermille = 0;
    result = 0;
    Show(ResultState::Idle, Headline(ResultState::Idle, true), {});
}

void PortResult::WriteStarts() {
    inWrite_ = true;
    sentAll_ = false;
    progressShown = false;
    progressPermille = 0;
    Show(ResultState::Writing, Headline(ResultState::Writing, true), {});
}

WriteOutcome PortResult::WriteEnded(int code, const std::u16string& writtenId, bool passedOver) {
    inWrite_ = false;
    if (passedOver) return WriteOutcome::PassedOver;
    result = code;
    if (code != 0) {
        Show(ResultState::Failed, Headline(ResultState::Failed, true), writtenId);
        return WriteOutcome::Failed;
    }
    if (sentAll_) {
        Show(ResultState::Passed, Headline(ResultState::Passed, true), writtenId);
        return WriteOutcome::Written;
    }
    // Success without a transfer: the operator kept the ID already there.
    Show(ResultState::NotWritten, Headline(ResultState::NotWritten, true), {});
    return WriteOutcome::NotWritten;
}

bool PortResult::BlockDone(FlowKind kind, uint64_t done, uint64_t total) {
    if (total == 0) return false;
    done = std::min(done, total);
    if (kind == FlowKind::Write && done == total) sentAll_ = true;
    if (!inWrite_ && kind == FlowKind::Read && state != ResultState::Reading)
        Show(ResultState::Reading, Headline(ResultState::Reading, false), {});
    progressShown = true;
    progressKind = kind;
    progressPermille = static_cast<int>(done * 1000 / total);
    return true;
}

bool PortResult::ReadEnded(int code, const std::u16string& readId) {
    // A write's own check of the device shows nothing of its own.
    if (inWrite_) return false;
    result = code;
    if (code == 0) {
        Show(ResultState::Passed, Headline(ResultState::Passed, false), readId);
    } else {
        Show(ResultState::Failed, Headline(ResultState::Failed, false), {});
    }
    return true;
}

bool PortResult::ServerWait(bool waiting) {
    if (waiting == (state == ResultState::Waiting)) return false;
    if (waiting) {
        beforeWait_ = state;
        headlineBeforeWait_ = headline;
        idBeforeWait_ = id;
        Show(ResultState::Waiting, Headline(ResultState::Waiting, true), {});
    } else {
        Show(beforeWait_, headlineBeforeWait_, idBeforeWait_);
    }
    return true;
}

std::u16string PortResult::ProgressText() const {
    if (!progressShown) return {};
    return (progressKind == FlowKind::Read ? u"读取 " : u"烧写 ") +
           Decimal(static_cast<uint64_t>(progressPermille / 10)) + u"%";
}

std::u16string PortResult::TimeText() const {
    if (elapsedMs < 0) return {};
    const uint64_t tenths = static_cast<uint64_t>(elapsedMs + 50) / 100;
    return Decimal(tenths / 10) + u"." + Decimal(tenths % 10) + u" 秒";
}

void ResultCounts::Add(WriteOutcome outcome) {
    if (outcome == WriteOutcome::Written) ++written;
    if (outcome == WriteOutcome::Failed) ++failed;
}

std::u16string ResultCounts::Text() const {
    return u"已烧写 " + Decimal(written) + u"  失败 " + Decimal(failed);
}

void LastResult::Reset() {
    port_.Reset();
    Changed();
}

void LastResult::WriteStarts() {
    port_.WriteStarts();
    Changed();
}

void LastResult::WriteEnded(int result, const std::u16string& id, bool passedOver) {
    const WriteOutcome outcome = port_.WriteEnded(result, id, passedOver);
    if (outcome == WriteOutcome::PassedOver) return;
    counts_.Add(outcome);
    Changed();
}

void LastResult::ServerWait(bool waiting) {
    const bool was = paused_;
    paused_ = waiting;
    if (port_.ServerWait(waiting) || was != waiting) Changed();
}

void LastResult::BlockDone(FlowKind kind, uint64_t done, uint64_t total) {
    if (port_.BlockDone(kind, done, total)) Changed();
}

void LastResult::ReadEnded(int result, const std::u16string& id) {
    if (port_.ReadEnded(result, id)) Changed();
}

void LastResult::ShowPorts(const std::vector<PortView>& ports, bool write) {
    ports_.clear();
    for (const PortView& v : ports) ports_.push_back(PortResultOf(v, write));
    Changed();
}

void LastResult::GangStarts() { beforeGang_ = counts_; }

void LastResult::PortEnded(const PortResult& port, uint64_t written, uint64_t failed) {
    port_ = port;
    port_.elapsedMs = -1;
    counts_.written = beforeGang_.written + written;
    counts_.failed = beforeGang_.failed + failed;
    Changed();
}

PortResult PortResultOf(const PortView& v, bool write) {
    PortResult r;
    r.Reset();
    r.drive = v.root;
    while (!r.drive.empty() && (r.drive.back() == u'\\' || r.drive.back() == u'/'))
        r.drive.pop_back();
    r.id = v.id;
    r.result = v.result;
    r.elapsedMs = v.elapsedMs;
    switch (v.state) {
        case PortState::Empty:
            r.elapsedMs = -1;
            break;
        case PortState::Checking:
        case PortState::Reading:
            r.state = ResultState::Reading;
            break;
        case PortState::Writing:
            r.state = ResultState::Writing;
            break;
        case PortState::Passed:
            r.state = ResultState::Passed;
            break;
        case PortState::Failed:
        case PortState::Pulled:
            r.state = ResultState::Failed;
            break;
        case PortState::Skipped:
            r.state = ResultState::NotWritten;
            break;
    }
    r.headline = v.state == PortState::Pulled ? u"设备已拔出" : Headline(r.state, write);
    return r;
}

ResultColours ColoursOf(ResultState state) {
    switch (state) {
        case ResultState::Passed:
            return {0x2e7d32, 0xffffff};
        case ResultState::Failed:
            return {0xc62828, 0xffffff};
        case ResultState::Reading:
        case ResultState::Writing:
            return {0x1565c0, 0xffffff};
        case ResultState::Waiting:
            return {0xef6c00, 0xffffff};
        case ResultState::Idle:
        case ResultState::NotWritten:
            break;
    }
    return {0xe0e0e0, 0x424242};
}

std::u16string ShortId(const std::u16string& id) {
    constexpr size_t kMax = 16;
    if (id.size() <= kMax) return id;
    constexpr size_t kEnd = kMax / 2 - 1;
    return id.substr(0, kEnd) + u"\u2026" + id.substr(id.size() - kEnd);
}

}  // namespace ts
