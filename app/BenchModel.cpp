#include "app/BenchModel.h"

#include <utility>

#include "platform/Codepage.h"
#include "platform/Files.h"

namespace ts {

namespace {

constexpr uint64_t kBlankSectors = 2048;  // 1 MiB, as the CLI's default

bool IsFile(const std::string& path) {
    files::Status st;
    return files::StatPath(path, true, &st) && st.kind == files::Kind::Regular;
}

}  // namespace

const std::vector<BenchModel::Fault>& BenchModel::Faults() {
    static const std::vector<Fault> faults = {
        {u"无故障", ""},
        {u"设备无法打开", "open=fail\n"},
        {u"设备被其他程序占用", "open_errno=16\n"},
        {u"握手应答错误", "handshake=garbled\n"},
        {u"读取数据块被拒绝", "check_at=read:2\n"},
        {u"写入数据块被拒绝", "check_at=write:2\n"},
        {u"烧写完成未被确认", "finish=garbled\n"},
    };
    return faults;
}

BenchModel::BenchModel(std::string folder, char letter, Line line)
    : folder_(std::move(folder)), letter_(letter), line_(std::move(line)) {
    SetFault(0);
    message_.clear();
}

std::u16string BenchModel::Title() const {
    return u"培训台 (模拟 " + std::u16string(1, static_cast<char16_t>(letter_)) + u":)";
}

std::string BenchModel::KeptPath() const {
    return folder_ + (folder_.empty() || folder_.back() == '/' ? "" : "/") + ".bench-kept-" +
           letter_ + ".img";
}

void BenchModel::PlugBlank() {
    std::string error;
    const bool ok = line_.plug && line_.plug(folder_, letter_, kBlankSectors, false, error);
    Done(ok, error, u"已插入空白设备");
}

void BenchModel::PlugKept() {
    std::string error;
    const bool ok = line_.replug && line_.replug(folder_, letter_, KeptPath(), error);
    Done(ok, error, u"已插入上次拔出的设备");
}

void BenchModel::PlugDisk() {
    std::string error;
    const bool ok = line_.plug && line_.plug(folder_, letter_, kBlankSectors, true, error);
    Done(ok, error, u"已插入普通U盘");
}

void BenchModel::Unplug() {
    // A device is kept (its ID with it) to be plugged back; a disk is not.
    const std::string kept = KeptPath();
    const std::string image = folder_ + "/" + letter_ + ".img";
    std::string error;
    bool ok = false;
    if (line_.unplug) {
        if (IsFile(image)) {
            files::Remove(kept);
            ok = line_.unplug(folder_, letter_, &kept, error);
        } else {
            ok = line_.unplug(folder_, letter_, nullptr, error);
        }
    }
    Done(ok, error, u"已拔出设备");
}

void BenchModel::PlugSeveral() {
    std::string error;
    bool ok = static_cast<bool>(line_.plug);
    int plugged = 0;
    for (int i = 0; i < kSeveral && ok; ++i) {
        error.clear();
        ok = line_.plug(folder_, static_cast<char>(letter_ + i), kBlankSectors, false, error);
        if (ok) ++plugged;
    }
    // Those plugged stay: the trainer sees which port refused.
    Done(ok, error, u"已插入 " + Utf8ToWide(std::to_string(plugged)) + u" 个空白设备");
}

void BenchModel::UnplugSeveral() {
    int unplugged = 0;
    for (int i = 0; i < kSeveral; ++i) {
        // A port with nothing plugged is no fault here.
        std::string error;
        if (line_.unplug && line_.unplug(folder_, static_cast<char>(letter_ + i), nullptr, error))
            ++unplugged;
    }
    Done(true, {}, u"已拔出 " + Utf8ToWide(std::to_string(unplugged)) + u" 个设备");
}

void BenchModel::SetFault(int index) {
    const auto& faults = Faults();
    if (index < 0 || static_cast<size_t>(index) >= faults.size()) return;
    fault_ = index;
    std::string error;
    const bool ok =
        line_.setFaults &&
        line_.setFaults(folder_, letter_, faults[static_cast<size_t>(index)].lines, error);
    Done(ok, error, u"故障设为：" + std::u16string(faults[static_cast<size_t>(index)].name));
}

void BenchModel::Done(bool ok, const std::string& error, std::u16string what) {
    message_ = ok ? std::move(what) : u"操作失败：" + Utf8ToWide(error);
    keptAvailable_ = IsFile(KeptPath());
    if (onChange) onChange();
}

}  // namespace ts
