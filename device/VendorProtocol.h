#pragma once
// The vendor protocol the devices speak: one opcode with four sub-commands,
// the handshake and finish answers, and the image length fields in block 0.
// Everything that builds or reads these bytes goes through here.
#include <cstddef>
#include <cstdint>

namespace ts::vendor {

constexpr uint8_t kOpcode = 0xF3;
constexpr uint8_t kCdbLength = 10;
constexpr uint32_t kSector = 512;

enum SubCommand : uint8_t {
    kSubHandShake = 0x00,
    kSubWrite = 0x01,
    kSubFinish = 0x02,
    kSubRead = 0x03,
};
constexpr unsigned kSubCommands = 4;

// The handshake answer: its text with the NUL (bytes 0-12), then the device's
// size in sectors at byte 16.
constexpr char kHandShakeText[] = "usbhandshake";
constexpr size_t kHandShakeSectorsAt = 16;
// The finish answer: this text, NUL-terminated inside the answer.
constexpr char kFinishText[] = "usb_dataok";

// Block 0 of an image: the length the device reports for its image when it
// is read, and where the writer stamps the image's length.
constexpr size_t kImageLengthAt = 1024;
constexpr size_t kImageStampAt = 2048;

// A command block as the device sees it: only the first ten bytes count,
// and of the transfer count only its low 16 bits.
struct Command {
    uint8_t subCommand = 0;
    uint32_t param1 = 0;  // the start sector of a read or write
    uint32_t param2 = 0;  // the sector count, or the answer's length
};

void EncodeCommand(uint8_t (&cdb)[16], uint8_t subCommand, uint32_t param1, uint32_t param2);
// False when the block does not carry the vendor opcode.
bool DecodeCommand(const uint8_t* cdb, Command& out);

// True for a vendor device's answer; `sectors` (may be null) then gets the
// reported size, 0 when the answer is too short to carry it.
bool ParseHandShake(const uint8_t* answer, size_t length, uint32_t* sectors);
// The size field of an answer already known to be a vendor one (0 when the
// answer is too short to carry it).
uint32_t HandShakeSectors(const uint8_t* answer, size_t length);
// Writes the size field into an answer of `length` bytes, as far as it fits.
void PutHandShakeSectors(uint8_t* answer, size_t length, uint32_t sectors);

// True when the finish answer says the data arrived.
bool FinishConfirmed(const uint8_t* answer, size_t length);

// Block 0's fields; `length` is the block's size (0 when the field lies
// outside it, and nothing is stamped then).
uint32_t ImageLength(const uint8_t* block, size_t length);
void StampImageLength(uint8_t* block, size_t length, uint32_t imageLength);

}  // namespace ts::vendor
