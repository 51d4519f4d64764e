// The write-ID flow: validate, ask before overwriting, stage the ID file and
// the two data copies in prvdata, build a fresh image with the plug-in and
// send it to the device in 32768-byte blocks, then confirm with finish.
#include "deviceops/WriteFlow.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "device/VendorProtocol.h"
#include "deviceops/FlowSupport.h"
#include "deviceops/Staging.h"
#include "idsource/HexId.h"
#include "platform/Files.h"
#include "platform/KillPoint.h"

namespace ts {
using namespace flow;
namespace {

bool PathExists(const std::string& p) {
    files::Status st;
    return files::StatPath(p, true, &st);
}

// Copies the whole of `from` (read from its start) into `to`.
bool CopyAll(int from, int to) {
    std::vector<char> buf(65536);
    for (uint64_t at = 0;;) {
        const long long r = files::ReadAt(from, buf.data(), buf.size(), at);
        if (r < 0) return false;
        if (r == 0) return true;
        if (!files::WriteAll(to, buf.data(), static_cast<size_t>(r))) return false;
        at += r;
    }
}

// Copies ulpkData.bin of the application folder to each target below
// workDir's prvdata, into folders that exist. A copy that cannot be made is
// left out, and so is every copy when there is nothing to copy; only a link
// on the way stops it (kLink, with where it stood).
StageOutcome StageCopies(const std::string& appDir, const std::string& workDir,
                         const std::vector<StagePath>& targets) {
    StageOutcome out{Staged::kOk, {}};
    const int data = files::Open(appDir + "ulpkData.bin", files::kRead | files::kNonBlock);
    if (data < 0) return out;
    files::Status st;
    if (files::StatFd(data, &st) && st.kind == files::Kind::Regular) {
        for (const StagePath& target : targets) {
            const StageOutcome copy =
                StageFile(workDir, target.parts, false, [&](int fd) { return CopyAll(data, fd); });
            if (copy.result == Staged::kLink) {
                out = copy;
                break;
            }
        }
    }
    files::Close(data);
    return out;
}

// A confirmed write whose ID the ledger gave to another attempt meanwhile:
// two devices may hold it now.
std::u16string CollisionLine(const std::u16string& id, const LedgerResult& problem) {
    return u"ID冲突：设备已确认写入 " + id +
           u"，但ID记录中该ID已属于另一次烧写，可能有两台设备"
           u"持有同一ID，请检查设备：" +
           Utf8ToWide(problem.message);
}

}  // namespace

int WriteFlow::EnsureDirectoryPath(const std::string& input) {
    if (input.size() < 2) return 0;
    std::string path = input;
    if (path.back() == '/') path.pop_back();
    if (path.size() > 3) {
        if (PathExists(path)) return 1;
        auto slash = path.rfind('/');
        if (slash == std::string::npos) return 0;
        std::string parent = path.substr(0, slash);
        // The root itself ("/a" has the parent "") exists.
        if (!parent.empty() && EnsureDirectoryPath(parent) == 0) return 0;
        return files::MakeFolder(path) == 0 ? 1 : 0;
    }
    return PathExists(path) ? 1 : 0;
}

int WriteFlow::WriteDeviceSN(const std::u16string& id) {
    ledger_.lastTaken = false;
    if (!ledger_.Fault().empty()) {
        // Without its record a write could repeat an ID that a device holds.
        AppendLog(u"烧写失败，ID记录无法使用：" + ledger_.Fault());
        return kWriteFailed;
    }
    IdPage* automatic = AutomaticPage();
    IdPage* source = automatic ? automatic : SelectedPage();
    Attempt attempt;
    attempt.mode = AttemptMode::Write;
    attempt.id = id;
    if (source) attempt.source = ledger_.SourceOf(source->Origin());
    attempt.device = currentInfo_;
    const std::string serial = currentInfo_.usbSerial;
    reached_ = false;
    // Automatic writing never takes a held ID; a manual write is the
    // operator's decision, asked before it gets here.
    WriteGuard guard(ledger_, std::move(attempt), automatic == nullptr, automatic != nullptr);
    guard.log = [this](const std::u16string& line) { AppendLog(line); };
    const int result = WriteWithGuard(id, guard);
    guard.Finish(result);
    if (!serial.empty() && (result == kWriteOk || reached_)) serialsWithId_.insert(serial);
    return result;
}

int WriteFlow::VerifyWritten(const std::u16string& id, WriteGuard& guard) {
    std::u16string held;
    const int read = ReadDeviceSN(held);
    if (read == kReadOk && held == id) {
        if (!guard.Verified()) {
            if (guard.Problem().status == LedgerStatus::Collision) {
                AppendLog(CollisionLine(id, guard.Problem()));
                return kWriteFailed;
            }
            AppendLog(u"ID记录无法记下校验结果，该ID保持预留：" +
                      Utf8ToWide(guard.Problem().message));
        }
        return kWriteOk;
    }
    // The device confirmed but does not hold the ID: it stays out of
    // circulation until the operator has checked the device.
    if (read == kReadOk) {
        AppendLog(u"烧写校验失败，设备中的ID为 " + held + u"，应为 " + id +
                  u"，该ID保持预留，请检查设备");
    } else {
        AppendLog(u"烧写校验失败，无法读回设备中的ID（" + Utf8ToWide(std::to_string(read)) +
                  u"），该ID " + id + u" 保持预留，请检查设备");
    }
    guard.Mismatch(kWriteFailed);
    return kWriteFailed;
}

void WriteFlow::SettleDoubt(const std::u16string& id, WriteGuard& guard) {
    if (!ledger_.Ledger()) return;
    const std::u16string device = DeviceText(currentInfo_);
    if (!guard.InDoubt()) {
        AppendLog(u"ID记录无法记下该ID烧写结果不确定，该ID保持预留：" +
                  Utf8ToWide(guard.Problem().message));
    }
    KillPoint("indoubt");
    std::u16string held;
    const int read = ReadDeviceSN(held);
    if (read == kReadOk && held == id) {
        AppendLog(FormatWithText(u"烧写中途出错，读回设备中已有ID %s，该ID已记为已烧写", id));
        if (!guard.ReadBack(kWriteFailed)) {
            AppendLog(u"ID记录无法记下该ID已烧写，该ID保持预留：" +
                      Utf8ToWide(guard.Problem().message));
        }
        return;
    }
    // A readable image without the ID (another one, none, no ID file): the
    // device does not hold it.
    if (read == kReadOk || read == kReadDownloadFailed) {
        guard.NotOnDevice();
        AppendLog(FormatWithText(u"烧写中途出错，读回设备中没有ID %s，该ID已释放", id));
        return;
    }
    AppendLog(u"ID " + id + u" 烧写结果不确定（设备 " + device +
              u"），设备无法读回，该ID不会再被烧写。请读取该设备：设备中已有该ID时用 "
              u"tagsmith-cli ledger confirm " +
              id + u" 确认，否则用 tagsmith-cli ledger release " + id + u" 释放");
}

// One write on its way through the stages: what each hands to the next.
struct WriteFlow::Job {
    const std::u16string& id;
    WriteGuard& guard;
    bool automatic;
    // CheckRequest: where the ID file goes, and the data copies.
    StagePath snPath;
    std::vector<StagePath> copyTargets;
    // AskBeforeOverwrite: the ID the device held before a manual write,
    // once it is replaced.
    std::u16string displaced;
    // BuildImage: the device's size from its handshake, and the image.
    uint32_t sectors = 0;
    std::string tmpPath;
    // Transfer and FinishDevice: whether the device confirmed the image.
    bool confirmed = false;
};

int WriteFlow::WriteWithGuard(const std::u16string& id, WriteGuard& guard) {
    Job job{id, guard, AutomaticPage() != nullptr, {}, {}, {}, 0, {}, false};
    // Each stage either hands on to the next or ends the write with its
    // result; nothing reaches the device before Transfer.
    for (auto stage :
         {&WriteFlow::CheckRequest, &WriteFlow::AskBeforeOverwrite, &WriteFlow::ReserveId,
          &WriteFlow::StageFiles, &WriteFlow::BuildImage, &WriteFlow::Transfer,
          &WriteFlow::FinishDevice, &WriteFlow::Settle, &WriteFlow::Verify}) {
        if (const std::optional<int> end = (this->*stage)(job)) return *end;
    }
    RecordDisplaced(job);
    CloseCurrentDevice();
    AppendLog(FormatWithText(u"烧写成功 ID: %s\n", id));
    return kWriteOk;
}

std::optional<int> WriteFlow::CheckRequest(Job& job) {
    const std::u16string& id = job.id;
    if (!IsHexId(&id)) {
        const std::u16string text = u"非法的ID值！\r\n请确保ID值是16进制的数值！";
        AppendLog(text);
        if (!job.automatic) MessageBox(text, MsgButtons::Ok, MsgIcon::Error);
        return kWriteInvalidId;
    }
    if (id.size() > kMaxIdLength) {
        const std::u16string text =
            u"ID值过长，无法进行烧写!!!\r\n请确保ID值不要超过1024个字符!!!!";
        AppendLog(text);
        if (!job.automatic) MessageBox(text, MsgButtons::Ok, MsgIcon::Error);
        return kWriteIdTooLong;
    }

    // The configured paths, checked before anything is read or sent.
    const std::u16string snConfig = ReadConfigString(cfg::kSnPath);
    job.snPath = ParseConfigPath(snConfig, true);
    if (job.snPath.status == StagePath::kOutside) {
        AppendLog(u"配置错误：SNPath 指向 prvdata 目录之外，已拒绝：" + snConfig);
        return kWriteFailed;
    }
    if (job.snPath.status == StagePath::kBadName) {
        AppendLog(u"配置错误：SNPath 中有设备镜像无法保存的名称，已拒绝：" + snConfig);
        return kWriteFailed;
    }
    for (const char16_t* key : {cfg::kUlpk0, cfg::kUlpk1}) {
        const std::u16string value = ReadConfigString(key);
        StagePath target = ParseConfigPath(value, false);
        if (target.status == StagePath::kOutside) {
            AppendLog(u"配置错误：" + std::u16string(key) + u" 指向 prvdata 目录之外，已拒绝：" +
                      value);
            continue;
        }
        if (target.status == StagePath::kBadName) {
            AppendLog(u"配置错误：" + std::u16string(key) +
                      u" 中有设备镜像无法保存的名称，已拒绝：" + value);
            return kWriteFailed;
        }
        // The copy would take the ID file's place in the image.
        if (!job.snPath.parts.empty() && ImageKey(target.parts) == ImageKey(job.snPath.parts)) {
            AppendLog(u"配置错误：" + std::u16string(key) + u" 与 SNPath 指向同一文件，已拒绝：" +
                      value);
            return kWriteFailed;
        }
        job.copyTargets.push_back(std::move(target));
    }
    return std::nullopt;
}

std::optional<int> WriteFlow::AskBeforeOverwrite(Job& job) {
    // Automatic writing asks nothing (discovery read first a device that
    // may hold a written ID).
    if (job.automatic) return std::nullopt;
    const uint64_t epoch = deviceEpoch_;
    std::u16string existing;
    const int read = ReadDeviceSN(existing);
    if (read == kReadTmpNotCreated || read == kReadSnNotOpened) {
        // The station failed, not the device: an ID it may hold was
        // never seen, so the operator could not be asked about it.
        AppendLog(u"烧写失败，本机无法检查设备中已有的ID，设备未被改写");
        return kWriteFailed;
    }
    if (read != 0) {
        OutputDebugStringW(u"无法读取SN……");
    } else if (!existing.empty()) {
        SettleFoundId(existing);
        MsgAnswer a = MessageBox(FormatWithText(u"设备已经烧录了 ID:%s，是否重新烧写\n", existing),
                                 MsgButtons::YesNo, MsgIcon::Question);
        if (a != MsgAnswer::Yes) {
            CloseCurrentDevice();
            return kWriteOk;
        }
        if (existing != job.id) job.displaced = existing;
    }
    // Events handled while a box was open may have put another device
    // in place of the one checked: it must not get an ID unasked.
    if (deviceEpoch_ != epoch) {
        AppendLog(u"烧写失败, 请重新插设备烧写");
        return kWriteFailed;
    }
    return std::nullopt;
}

std::optional<int> WriteFlow::ReserveId(Job& job) {
    // The ID is on record before anything reaches the device, and before
    // the image is built: on a line sharing one list, most IDs a station
    // tries are taken by others, and each refusal costs no image.
    // Automatic writing waits for a shared ledger's server that went away;
    // the device waits with nothing sent, and no ID is taken elsewhere.
    WriteGuard& guard = job.guard;
    OfflinePause pause(ledger_, AutomaticPage() != nullptr,
                       [this](const std::u16string& line) { AppendLog(line); });
    while (!guard.Reserve()) {
        if (pause.Again(guard.Problem())) continue;
        if (guard.Taken() && !job.automatic) {
            // A manual write may replace a written ID, never take over a
            // reservation: another station or run may be writing it now.
            AppendLog(FormatWithText(
                u"ID %s 正在其他工位或进程中烧写（已预留），未烧写。若为上次运行遗留的预留，"
                u"请先检查设备，再用 tagsmith-cli ledger confirm 或 release 处理",
                job.id));
        } else if (guard.Taken()) {
            AppendLog(
                FormatWithText(u"ID %s 已被占用（已烧写或已预留），未烧写，改用下一个ID", job.id));
        } else {
            AppendLog(u"烧写失败，无法在ID记录中预留该ID，设备未被改写：" +
                      Utf8ToWide(guard.Problem().message));
        }
        return kWriteFailed;
    }
    pause.Again(guard.Problem());  // the resume line, after a pause
    return std::nullopt;
}

std::optional<int> WriteFlow::StageFiles(Job& job) {
    auto linkRefused = [this](const std::string& where) {
        AppendLog(u"烧写失败，prvdata 中存在链接，已拒绝：" + Utf8ToWide(where));
        return kWriteFailed;
    };
    // Stage the ID file, as CP936 text and one NUL.
    std::string idBytes = WideToAnsi(job.id);
    idBytes.push_back('\0');
    const StageOutcome idFile = StageFile(WorkDir(), job.snPath.parts, true, [&](int fd) {
        return files::WriteAll(fd, idBytes.data(), idBytes.size());
    });
    if (idFile.result == Staged::kLink) return linkRefused(idFile.where);
    if (idFile.result != Staged::kOk) {
        // Writing on without the ID file would send an image without it.
        AppendLog(u"烧写失败，无法创建ID文件：" + Utf8ToWide(idFile.where));
        return kWriteFailed;
    }
    const StageOutcome copies = StageCopies(m_strExeDir, WorkDir(), job.copyTargets);
    if (copies.result == Staged::kLink) return linkRefused(copies.where);
    return std::nullopt;
}

std::optional<int> WriteFlow::BuildImage(Job& job) {
    const std::string staging = WorkDir() + "prvdata";
    job.tmpPath = WorkDir() + "tmp.data";
    files::Remove(job.tmpPath);
    if (!m_pVolkit) {
        AppendLog(u"烧写失败，未加载文件系统插件 (Volkit)");
        return kWriteFailed;
    }
    job.sectors = vendor::HandShakeSectors(m_HandShakeBuf, sizeof m_HandShakeBuf);
    // Block 0 carries the image length in 32 bits: no device can hold more
    // sectors than that length can span, so a larger claim is a bad answer,
    // refused before anything is built or sent.
    constexpr uint32_t kMaxSectors = UINT32_MAX / kBlock * kBlock / 512;
    if (job.sectors > kMaxSectors) {
        DebugW("WriteDeviceSN: the device claims %u sectors, more than %u\n", job.sectors,
               kMaxSectors);
        CloseCurrentDevice();
        AppendLog(u"烧写失败, 请重新插设备烧写");
        return kWriteFailed;
    }
    std::unique_lock<std::mutex> plugin = LockPlugin();
    VolHandle image = m_pVolkit->VolOpen(job.tmpPath.c_str());
    int32_t built = image == -1 ? -1 : m_pVolkit->VolFormat(image, 2, job.sectors, "MIDINFO");
    if (built == 0) built = m_pVolkit->VolImportDir(image, staging.c_str(), "\\");
    if (image != -1) m_pVolkit->VolClose(image);
    plugin = {};
    if (built != 0) {
        // A broken image would be confirmed by the device all the same.
        AppendLog(u"烧写失败，无法生成设备镜像");
        return kWriteFailed;
    }
    return std::nullopt;
}

std::optional<int> WriteFlow::Transfer(Job& job) {
    File tmp(files::OpenStream(job.tmpPath, "rb"));
    files::Status st;
    if (!tmp || !files::StatFd(fileno(tmp.get()), &st) || st.kind != files::Kind::Regular ||
        st.size == 0) {
        MessageBox(u"烧写失败，无法读取数据，请重新将设备拔出\n", MsgButtons::Ok, MsgIcon::None);
        return kWriteFailed;
    }
    const uint64_t length = st.size;
    const uint64_t full = length / kBlock;
    const uint64_t rest = length % kBlock;
    // A failed block leaves job.confirmed false, for Settle.
    if ((length + kBlock - 1) / kBlock * kBlock > UINT32_MAX) return std::nullopt;

    // A device refuses writes past the end it reported, and a refused write
    // fails the flow: a block that crosses that end (the last one of a
    // device whose size is no whole number of blocks) is sent up to it.
    std::vector<uint8_t> block(kBlock);
    auto writeBlock = [&](uint32_t at) {
        const uint32_t n = BlockBytesOnDevice(at, job.sectors);
        return n != 0 && m_DevCtrl.DeviceWrite(m_pCurDevice, at, block.data(), n) == 0;
    };
    const uint64_t total = (std::max<uint64_t>(full, 1) + (rest != 0 ? 1 : 0)) * kBlock;
    std::fread(block.data(), 1, kBlock, tmp.get());
    vendor::StampImageLength(block.data(), block.size(),
                             static_cast<uint32_t>((length + kBlock - 1) / kBlock * kBlock));
    job.guard.Sending();
    reached_ = true;
    if (!writeBlock(0)) return std::nullopt;
    KillPoint("transfer");
    ReportBlock(progress_, FlowKind::Write, kBlock, total);
    uint32_t sector = kSectorsPerBlock;
    for (uint64_t i = 1; i < full; ++i) {
        std::fread(block.data(), 1, kBlock, tmp.get());
        if (!writeBlock(sector)) return std::nullopt;
        sector += kSectorsPerBlock;
        ReportBlock(progress_, FlowKind::Write, (i + 1) * kBlock, total);
    }
    if (rest != 0) {
        // The bytes after the rest are what the buffer held before.
        std::fread(block.data(), 1, rest, tmp.get());
        if (!writeBlock(sector)) return std::nullopt;
        ReportBlock(progress_, FlowKind::Write, total, total);
    }
    tmp.reset();
    files::Remove(job.tmpPath);
    KillPoint("sent");
    job.confirmed = true;  // so far: FinishDevice asks the device
    return std::nullopt;
}

std::optional<int> WriteFlow::FinishDevice(Job& job) {
    if (!job.confirmed) return std::nullopt;
    uint8_t answer[32] = {};
    job.confirmed = m_DevCtrl.DeviceFinish(m_pCurDevice, answer, sizeof answer) == 0 &&
                    vendor::FinishConfirmed(answer, sizeof answer);
    return std::nullopt;
}

// The doubtful-outcome rule, in one place. A device that confirmed has the
// ID written. A write that failed before its first block was sent has
// reached nothing: Finish gives the ID back. One that failed once a block
// was sent leaves the ID in doubt, never released by the flow; reading the
// device back settles it where it can.
std::optional<int> WriteFlow::Settle(Job& job) {
    WriteGuard& guard = job.guard;
    if (!job.confirmed) {
        if (guard.Sent()) SettleDoubt(job.id, guard);
        CloseCurrentDevice();
        AppendLog(u"烧写失败, 请重新插设备烧写");
        return kWriteFailed;
    }
    if (!guard.Confirmed()) {
        if (guard.Problem().status == LedgerStatus::Collision) {
            CloseCurrentDevice();
            AppendLog(CollisionLine(job.id, guard.Problem()));
            return kWriteFailed;
        }
        AppendLog(u"ID记录无法记下该ID已烧写，该ID保持预留：" +
                  Utf8ToWide(guard.Problem().message));
    }
    return std::nullopt;
}

std::optional<int> WriteFlow::Verify(Job& job) {
    if (!ledger_.Verify()) return std::nullopt;
    const int verified = VerifyWritten(job.id, job.guard);
    if (verified == kWriteOk) return std::nullopt;
    CloseCurrentDevice();
    return verified;
}

void WriteFlow::RecordDisplaced(const Job& job) {
    if (job.displaced.empty() || !ledger_.Ledger()) return;
    // No device holds the earlier ID any more: the ledger must not say one
    // does.
    const LedgerResult r = ledger_.Ledger()->MarkReplaced(job.displaced, currentInfo_);
    if (r.ok()) {
        AppendLog(FormatWithText(u"设备中原有的ID %s 已被替换，ID记录已记下", job.displaced));
    } else {
        AppendLog(u"ID记录无法记下被替换的ID " + job.displaced + u"：" + Utf8ToWide(r.message));
    }
}

}  // namespace ts
