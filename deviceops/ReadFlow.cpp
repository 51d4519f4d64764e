// The read-ID flow: fetch the storage image block by block into tmp.data,
// take the ID file out of it with the plug-in, return its text.
#include "deviceops/ReadFlow.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "device/VendorProtocol.h"
#include "deviceops/FlowSupport.h"
#include "platform/Files.h"

namespace ts {
using namespace flow;

int ReadFlow::ReadDeviceSN(std::u16string& id) {
    const std::string tmpPath = WorkDir() + "tmp.data";
    files::Remove(tmpPath);
    auto cannotWrite = [this]() {
        MessageBox(u"读取失败，无法创建文件，请将设备拔出再重新连接电脑", MsgButtons::Ok,
                   MsgIcon::None);
        if (progress_) progress_->ReadEnded(kReadTmpNotCreated, std::u16string());
        return kReadTmpNotCreated;
    };
    File tmp(files::OpenStream(tmpPath, "wb+"));
    if (!tmp) return cannotWrite();
    // An image cut short by a full disk could read as "no ID" and let a
    // write go on unasked: it counts as a tmp.data that cannot be made.
    auto append = [&tmp](const std::vector<uint8_t>& b) {
        return std::fwrite(b.data(), 1, b.size(), tmp.get()) == b.size();
    };

    auto fail = [this](int code) {
        AppendLog(u"读取SN文件失败 Ln:" + Utf8ToWide(std::to_string(code)));
        if (progress_) progress_->ReadEnded(code, std::u16string());
        return code;
    };

    std::vector<uint8_t> block(kBlock);
    // A device refuses reads past the end it reported, and a refused read
    // fails the flow: nothing is asked past that end, and a block that
    // crosses it reads as zeros beyond it.
    const uint32_t deviceSectors = vendor::HandShakeSectors(m_HandShakeBuf, sizeof m_HandShakeBuf);
    auto readBlock = [&](uint32_t at) {
        const uint32_t n = BlockBytesOnDevice(at, deviceSectors);
        std::fill(block.begin() + n, block.end(), 0);
        return m_DevCtrl.DeviceRead(m_pCurDevice, at, block.data(), n);
    };
    uint32_t sector = 0;
    int rc = readBlock(sector);
    if (rc != 0) {
        DebugW("Read Error %d\n", rc);
        return fail(kReadBlock0Failed);
    }
    sector = kSectorsPerBlock;
    uint32_t length = vendor::ImageLength(block.data(), block.size());
    if (length == 0 || length > kMaxImage) length = kMaxImage;
    // A device smaller than the image is read to its end.
    const uint64_t deviceBlocks =
        (uint64_t{deviceSectors} + kSectorsPerBlock - 1) / kSectorsPerBlock;
    const uint32_t fetched = std::max(length / kBlock, 1u) + (length % kBlock != 0 ? 1 : 0);
    if (deviceSectors > 0 && fetched > deviceBlocks)
        length = static_cast<uint32_t>(deviceBlocks * kBlock);
    const uint32_t full = length / kBlock;
    const uint32_t tail = (length % kBlock + 511) / 512 * 512;
    if (!append(block)) return cannotWrite();
    const uint64_t blocks = std::max(full, 1u) + (tail != 0 ? 1u : 0u);
    ReportBlock(progress_, FlowKind::Read, kBlock, blocks * kBlock);

    for (uint32_t i = 1; i < full; ++i) {
        rc = readBlock(sector);
        Sleep(100);
        if (rc != 0) {
            DebugW("Read Error . Index = %d , Sec Pos = %d , Error Line %d\n", static_cast<int>(i),
                   static_cast<int>(sector), rc);
            return fail(kReadFullBlockFailed);
        }
        sector += kSectorsPerBlock;
        if (!append(block)) return cannotWrite();
        ReportBlock(progress_, FlowKind::Read, uint64_t{i + 1} * kBlock, blocks * kBlock);
    }
    if (tail != 0) {
        // A whole block is read even for a short tail.
        if (readBlock(sector) != 0) return fail(kReadTailFailed);
        sector += tail / 512;
        if (!append(block)) return cannotWrite();
        ReportBlock(progress_, FlowKind::Read, blocks * kBlock, blocks * kBlock);
    }
    if (std::fclose(tmp.release()) != 0) return cannotWrite();

    if (!m_pVolkit) {
        DebugW("ReadDeviceSN: no file-system plug-in\n");
        return fail(kReadDownloadFailed);
    }
    // Local paths go to the plug-in as the file system's own bytes.
    std::unique_lock<std::mutex> plugin = LockPlugin();
    VolHandle image = m_pVolkit->VolOpen(tmpPath.c_str());
    const std::string snPath = WorkDir() + "sn.txt";
    // A stale sn.txt of an earlier failed run must never be read as this
    // device's ID when the download cannot create a new one.
    files::Remove(snPath);
    if (DownLoadFSFile(image, snPath) != 0) {
        m_pVolkit->VolClose(image);
        return fail(kReadDownloadFailed);
    }
    m_pVolkit->VolClose(image);
    plugin = {};

    File sn(files::OpenStream(snPath, "rb"));
    files::Status st;
    // A folder of that name opens too, and would read as an empty ID.
    if (!sn || !files::StatFd(fileno(sn.get()), &st) || st.kind != files::Kind::Regular)
        return fail(kReadSnNotOpened);
    char text[260];
    size_t n = std::fread(text, 1, sizeof text, sn.get());
    size_t len = 0;
    while (len < n && text[len] != '\0') ++len;
    id = AnsiToWide(std::string_view(text, len));
    sn.reset();
    files::Remove(tmpPath);
    files::Remove(snPath);
    if (progress_) progress_->ReadEnded(kReadOk, id);
    return kReadOk;
}

void ReadFlow::SettleFoundId(const std::u16string& id) {
    IdLedger* ledger = ledger_.Ledger();
    if (!ledger || id.empty()) return;
    bool settled = false;
    const LedgerResult r = ledger->SettleRead(id, currentInfo_, &settled);
    if (!r.ok()) {
        AppendLog(u"ID记录无法记下读取结果：" + Utf8ToWide(r.message));
    } else if (settled) {
        AppendLog(FormatWithText(u"ID %s 原为烧写结果不确定，设备中已有该ID，已记为已烧写", id));
    }
}

std::u16string ReadFlow::DeviceText(const DeviceInfo& info) {
    std::u16string text = Utf8ToWide(info.Summary());
    if (!info.port.empty() && !info.node.empty()) text += u"，端口 " + Utf8ToWide(info.port);
    return text.empty() ? u"-" : text;
}

int ReadFlow::DownLoadFSFile(VolHandle image, const std::string& localPath) {
    if (!m_pVolkit) return kDownloadNoFile;
    const std::u16string snPath = ReadConfigString(cfg::kSnPath);
    const std::string ansi = WideToAnsi(snPath);
    uint8_t security[12] = {};
    errno = 0;
    VolHandle file = m_pVolkit->VolCreateFile(image, ansi.c_str(), VOLKIT_GENERIC_READ,
                                              VOLKIT_SHARE_READ | VOLKIT_SHARE_WRITE, security,
                                              VOLKIT_OPEN_EXISTING, VOLKIT_ATTRIBUTE_NORMAL, 0);
    if (file == VOLKIT_INVALID_HANDLE) {
        DebugW("DownLoadFSFile %s Error = %d\n", WideToUtf8(snPath).c_str(), errno);
        return kDownloadNoFile;
    }
    const uint32_t size = m_pVolkit->VolSetFilePointer(image, file, 0, nullptr, VOLKIT_FILE_END);
    m_pVolkit->VolSetFilePointer(image, file, 0, nullptr, VOLKIT_FILE_BEGIN);
    // A failed seek returns a failure value, not a size; and no file in an
    // image fetched from a device (1 MiB and a tail block) can be larger.
    if (size == VOLKIT_INVALID_POSITION || size > kMaxImage + kBlock) {
        DebugW("DownLoadFSFile %s bad size %u\n", WideToUtf8(snPath).c_str(), size);
        m_pVolkit->VolCloseFile(image, file);
        return kDownloadNoFile;
    }
    std::vector<uint8_t> buffer(size);
    if (size > 0) m_pVolkit->VolReadFile(image, file, buffer.data(), size);
    m_pVolkit->VolCloseFile(image, file);

    File out(files::OpenStream(localPath, "wb+"));
    if (out) {
        const bool written =
            std::fwrite(buffer.data(), 1, buffer.size(), out.get()) == buffer.size() &&
            std::fflush(out.get()) == 0;
        // A copy cut short by a full disk would read as a shorter or empty
        // ID: no copy at all makes the flow fail as one that cannot be opened.
        if (std::fclose(out.release()) != 0 || !written) files::Remove(localPath);
    }
    return 0;
}

}  // namespace ts
