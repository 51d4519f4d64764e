#pragma once
// Faults a simulated device can be told to show: a volume that will not
// open, pass-through calls that fail, odd status bytes and garbled answers.
// Read from an `E.fault` file (key=value lines) or set directly by tests.
#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ts {

// The four vendor commands, indexed by their sub-command byte.
enum class SimKind : uint8_t { Handshake = 0, Write = 1, Finish = 2, Read = 3 };
constexpr size_t kSimKinds = 4;

// Commands picked by their ordinal since the volume was opened (1-based), or
// all of a kind.
struct SimPick {
    std::array<std::vector<uint32_t>, kSimKinds> at{};
    std::array<bool, kSimKinds> all{};
    bool Picks(SimKind kind, uint32_t ordinal) const;
};

struct SimFaults {
    // Opening the volume fails with `openErrno`.
    bool openFails = false;
    int openErrno = 13;  // EACCES
    // The n-th command of a kind since the volume was opened (1-based) makes
    // the pass-through call fail with `failErrno`; `failAll` fails every one.
    std::array<std::vector<uint32_t>, kSimKinds> failAt{};
    std::array<bool, kSimKinds> failAll{};
    int failErrno = 5;  // EIO
    // Every command of a kind ends with this status byte (with sense data).
    std::array<std::optional<uint8_t>, kSimKinds> status{};
    // Replaces "usbhandshake" in the handshake answer.
    std::optional<std::string> handshakeText;
    // Replaces "usb_dataok" in the finish answer; with `finishNoNul` the
    // answer is the text padded with 'X' to the requested length, no NUL.
    std::optional<std::string> finishText;
    bool finishNoNul = false;
    // Size in sectors that the handshake reports, whatever the storage holds.
    std::optional<uint32_t> reportedSectors;
    // Picked commands end with a check condition (medium error for reads and
    // writes, hardware error otherwise); nothing is moved or stored.
    SimPick checkAt;
    // Picked commands go through with good status but move only the first
    // half of the data (whole sectors for reads and writes).
    SimPick shortAt;
    // Writes answer good status and move their data, but nothing is stored:
    // the device confirms and keeps what it held before.
    bool discardWrites = false;
    // Each command of a kind takes this long (milliseconds) before it is
    // answered, as a device behind USB does; 0: at once.
    std::array<uint32_t, kSimKinds> latencyMs{};

    bool FailsCall(SimKind kind, uint32_t ordinal) const;
};

// Parses key=value lines ('#' starts a comment). Unknown keys and bad values
// are skipped with a debug line naming `origin` and the line number.
SimFaults ParseSimFaults(std::string_view text, std::string_view origin);

// Reads and parses a fault file; a missing file means no faults.
SimFaults LoadSimFaults(const std::string& path);

}  // namespace ts
