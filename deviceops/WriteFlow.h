#pragma once
// The write-ID flow: checks the ID and the configured paths, asks before
// replacing an ID the device already holds (which needs the read flow),
// stages the files, builds the image and sends it.
#include <optional>
#include <set>
#include <string>

#include "deviceops/ReadFlow.h"

namespace ts {

// Write flow result codes.
enum WriteResult : int {
    kWriteOk = 0,
    kWriteFailed = 1,
    kWriteInvalidId = 822,
    kWriteIdTooLong = 829,
};

class WriteFlow : public ReadFlow {
public:
    // Writes `id` into the current device, through the ledger.
    int WriteDeviceSN(const std::u16string& id);
    // `path` uses '/' separators (a local folder). 1 when it exists or was made.
    static int EnsureDirectoryPath(const std::string& path);

protected:
    // The USB serial numbers of devices that may hold an ID: those the
    // ledger's journal names (read by discovery) and those this station's
    // writes reached.
    std::set<std::string> serialsWithId_;

private:
    // Set once the first block of the current write is about to go out.
    bool reached_ = false;
    // The flow itself, stage after stage; `guard` is told its few moments.
    int WriteWithGuard(const std::u16string& id, WriteGuard& guard);
    // One write on its way through the stages (WriteFlow.cpp). Each stage
    // hands on to the next (none) or ends the write with its result.
    struct Job;
    // The ID and the configured paths.
    std::optional<int> CheckRequest(Job& job);
    // A manual write reads the device and asks before replacing its ID.
    std::optional<int> AskBeforeOverwrite(Job& job);
    // The ID on record before anything is built or sent.
    std::optional<int> ReserveId(Job& job);
    // The ID file and the data copies in prvdata.
    std::optional<int> StageFiles(Job& job);
    // The device image, sized by the handshake.
    std::optional<int> BuildImage(Job& job);
    // The image to the device, block after block.
    std::optional<int> Transfer(Job& job);
    // The device's confirmation of a whole image.
    std::optional<int> FinishDevice(Job& job);
    // The doubtful-outcome rule: what the ledger records of the delivery.
    std::optional<int> Settle(Job& job);
    // With verify, the ID read back.
    std::optional<int> Verify(Job& job);
    // The ID a manual write replaced, recorded once the new one is written.
    void RecordDisplaced(const Job& job);
    // After a transfer or finish that failed once a block was sent: the ID
    // is in doubt, and reading the device back settles it where it can.
    void SettleDoubt(const std::u16string& id, WriteGuard& guard);
    // Reads the ID back after a confirmed write; kWriteOk when it matches.
    int VerifyWritten(const std::u16string& id, WriteGuard& guard);
};

}  // namespace ts
