#include "idsource/TextFileDecoder.h"

#include <cstring>

#include "idsource/Utf16Detect.h"
#include "platform/Codepage.h"

namespace ts {
namespace {

// True when all eight bytes are 01-7F.
inline bool PlainAscii8(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const bool hasZero = ((w - kOnes) & ~w & kHigh) != 0;
    return !hasZero && (w & kHigh) == 0;
}

// Encodes one 16-bit unit on its own (surrogate halves included) as 1-3 bytes.
inline char* PutUnit(char* o, unsigned u) {
    if (u < 0x80) {
        *o++ = static_cast<char>(u);
    } else if (u < 0x800) {
        *o++ = static_cast<char>(0xC0 | (u >> 6));
        *o++ = static_cast<char>(0x80 | (u & 0x3F));
    } else {
        *o++ = static_cast<char>(0xE0 | (u >> 12));
        *o++ = static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        *o++ = static_cast<char>(0x80 | (u & 0x3F));
    }
    return o;
}

}  // namespace

const char* EncodingKindName(TextEncodingKind kind) {
    switch (kind) {
        case TextEncodingKind::Ansi:
            return "Ansi";
        case TextEncodingKind::Utf8WithBom:
            return "Utf8WithBom";
        case TextEncodingKind::Utf16BeWithBom:
            return "Utf16BeWithBom";
        case TextEncodingKind::Utf16LeWithBom:
            return "Utf16LeWithBom";
        case TextEncodingKind::Utf8:
            return "Utf8";
        case TextEncodingKind::Ascii:
            return "Ascii";
        case TextEncodingKind::Utf16Le:
            return "Utf16Le";
    }
    return "?";
}

Utf8ScanResult ScanUtf8(const uint8_t* data, size_t size) {
    bool asciiOnly = true;
    bool valid = true;
    size_t i = 0;
    while (i < size) {
        if (i + 8 <= size && PlainAscii8(data + i)) {
            i += 8;
            continue;
        }
        const uint8_t b = data[i];
        if (b >= 0x01 && b <= 0x7F) {
            ++i;
        } else if (b == 0x00 || (b >= 0x80 && b <= 0xBF) || b >= 0xF0) {
            asciiOnly = false;
            valid = false;
            break;
        } else if (b <= 0xDF) {  // C0-DF
            asciiOnly = false;
            if (i + 1 >= size) break;
            if ((b & 0x1F) == 0 || (data[i + 1] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            i += 2;
        } else {  // E0-EF
            asciiOnly = false;
            if (size - i < 3) break;
            if ((b & 0x0F) == 0 || (data[i + 1] & 0xC0) != 0x80 || (data[i + 2] & 0xC0) != 0x80) {
                valid = false;
                break;
            }
            i += 3;
        }
    }
    if (asciiOnly) return Utf8ScanResult::AsciiOnly;
    return valid ? Utf8ScanResult::Valid : Utf8ScanResult::Invalid;
}

TextEncodingKind DetectTextEncoding(const uint8_t* data, size_t size) {
    if (size >= 2 && data[0] == 0xFE && data[1] == 0xFF) return TextEncodingKind::Utf16BeWithBom;
    if (size >= 2 && data[0] == 0xFF && data[1] == 0xFE) return TextEncodingKind::Utf16LeWithBom;
    if (size >= 3 && data[0] == 0xEF && data[1] == 0xBB && data[2] == 0xBF)
        return TextEncodingKind::Utf8WithBom;
    if (size >= 2 && data[0] != 0 && data[1] == 0 && LooksLikeUtf16Le(data, size))
        return TextEncodingKind::Utf16Le;
    switch (ScanUtf8(data, size)) {
        case Utf8ScanResult::AsciiOnly:
            return TextEncodingKind::Ascii;
        case Utf8ScanResult::Valid:
            return TextEncodingKind::Utf8;
        case Utf8ScanResult::Invalid:
            break;
    }
    return TextEncodingKind::Ansi;
}

TextFileDecoder::TextFileDecoder(const uint8_t* data, size_t size)
    : data_(data), size_(data ? size : 0), kind_(DetectTextEncoding(data, size_)) {
    switch (kind_) {
        case TextEncodingKind::Utf8WithBom:
            bomLength_ = 3;
            break;
        case TextEncodingKind::Utf16BeWithBom:
        case TextEncodingKind::Utf16LeWithBom:
            bomLength_ = 2;
            break;
        default:
            break;
    }
    const bool utf16 = kind_ == TextEncodingKind::Utf16BeWithBom ||
                       kind_ == TextEncodingKind::Utf16LeWithBom ||
                       kind_ == TextEncodingKind::Utf16Le;
    if (!utf16) {
        text_ =
            std::string_view(reinterpret_cast<const char*>(data_) + bomLength_, size_ - bomLength_);
        return;
    }
    // Each two-byte unit becomes at most three bytes, so n + n/2 + 1 always
    // suffices for the units after the mark.
    out_ = AllocateLarge<char>(size_ + size_ / 2 + 1);
    if (!out_) {
        outOfMemory_ = true;
        return;
    }
    capacity_ = size_ + size_ / 2 + 1;
    const uint8_t* p = data_ + bomLength_;
    const size_t units = (size_ - bomLength_) / 2;  // a trailing odd byte is dropped
    char* o = out_.get();
    // lo/hi: offset of the low and the high byte within a unit.
    const size_t lo = kind_ == TextEncodingKind::Utf16BeWithBom ? 1 : 0;
    const size_t hi = 1 - lo;
    size_t k = 0;
    // Runs of ASCII, four units at a time: the bulk of any ID file.
    for (; k + 4 <= units; k += 4) {
        const uint8_t* q = p + 2 * k;
        if ((q[hi] | q[hi + 2] | q[hi + 4] | q[hi + 6]) != 0 ||
            ((q[lo] | q[lo + 2] | q[lo + 4] | q[lo + 6]) & 0x80) != 0) {
            for (size_t j = 0; j < 4; ++j) o = PutUnit(o, q[2 * j + lo] | (q[2 * j + hi] << 8));
            continue;
        }
        o[0] = static_cast<char>(q[lo]);
        o[1] = static_cast<char>(q[lo + 2]);
        o[2] = static_cast<char>(q[lo + 4]);
        o[3] = static_cast<char>(q[lo + 6]);
        o += 4;
    }
    for (; k < units; ++k) o = PutUnit(o, p[2 * k + lo] | (p[2 * k + hi] << 8));
    text_ = std::string_view(out_.get(), static_cast<size_t>(o - out_.get()));
}

std::u16string TextFileDecoder::Widen() const {
    if (kind_ == TextEncodingKind::Ascii) {
        // The station's code page is ASCII below 0x80: no converter needed.
        std::u16string w(text_.size(), u'\0');
        for (size_t i = 0; i < text_.size(); ++i) w[i] = static_cast<unsigned char>(text_[i]);
        return w;
    }
    if (kind_ == TextEncodingKind::Ansi) return AnsiToWide(text_);
    return WidenUtf8(text_);
}

std::u16string WidenUtf8(std::string_view utf8) {
    std::u16string w;
    w.reserve(utf8.size());
    ForEachUtf8Unit(utf8, [&](char16_t u) {
        w.push_back(u);
        return true;
    });
    return w;
}

}  // namespace ts
