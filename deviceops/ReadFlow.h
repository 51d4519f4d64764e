#pragma once
// The read-ID flow: fetches the current device's image, opens it with the
// file-system plug-in and takes the ID file out of it.
#include <string>

#include "deviceops/StationState.h"

namespace ts {

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

class ReadFlow : public StationState {
public:
    // Reads the current device's ID; the device stays open.
    int ReadDeviceSN(std::u16string& id);
    int DownLoadFSFile(VolHandle image, const std::string& localPath);

protected:
    // A read found `id` on the current device: an ID in doubt becomes
    // written, and the log says so.
    void SettleFoundId(const std::u16string& id);
    // The device for the operator: its drive or node, and its port.
    static std::u16string DeviceText(const DeviceInfo& info);
};

}  // namespace ts
