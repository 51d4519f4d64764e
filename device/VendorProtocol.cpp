#include "device/VendorProtocol.h"

#include <algorithm>
#include <cstring>

#include "platform/LittleEndian.h"

namespace ts::vendor {
namespace {

uint32_t FieldAt(const uint8_t* bytes, size_t length, size_t at) {
    return length >= at + 4 ? GetLe32(bytes + at) : 0;
}

}  // namespace

void EncodeCommand(uint8_t (&cdb)[16], uint8_t subCommand, uint32_t param1, uint32_t param2) {
    std::memset(cdb, 0, sizeof cdb);
    cdb[0] = kOpcode;
    cdb[1] = subCommand;
    PutLe32(cdb + 4, param1);
    PutLe32(cdb + 8, param2);
}

bool DecodeCommand(const uint8_t* cdb, Command& out) {
    if (cdb[0] != kOpcode) return false;
    out.subCommand = cdb[1];
    out.param1 = GetLe32(cdb + 4);
    out.param2 = GetLe16(cdb + 8);
    return true;
}

bool ParseHandShake(const uint8_t* answer, size_t length, uint32_t* sectors) {
    if (length < sizeof kHandShakeText ||
        std::memcmp(answer, kHandShakeText, sizeof kHandShakeText) != 0)
        return false;
    if (sectors) *sectors = HandShakeSectors(answer, length);
    return true;
}

uint32_t HandShakeSectors(const uint8_t* answer, size_t length) {
    return FieldAt(answer, length, kHandShakeSectorsAt);
}

void PutHandShakeSectors(uint8_t* answer, size_t length, uint32_t sectors) {
    uint8_t field[4];
    PutLe32(field, sectors);
    for (size_t i = 0; i < sizeof field && kHandShakeSectorsAt + i < length; ++i)
        answer[kHandShakeSectorsAt + i] = field[i];
}

bool FinishConfirmed(const uint8_t* answer, size_t length) {
    if (length == 0) return false;
    const void* nul = std::memchr(answer, 0, length);
    return nul && std::strcmp(reinterpret_cast<const char*>(answer), kFinishText) == 0;
}

uint32_t ImageLength(const uint8_t* block, size_t length) {
    return FieldAt(block, length, kImageLengthAt);
}

void StampImageLength(uint8_t* block, size_t length, uint32_t imageLength) {
    if (length >= kImageStampAt + 4) PutLe32(block + kImageStampAt, imageLength);
}

}  // namespace ts::vendor
