#pragma once
// Recognises the text encoding of an ID file's bytes and turns them into the
// 8-bit text that is then widened to UTF-16.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "idsource/LargeBuffer.h"

namespace ts {

enum class TextEncodingKind {
    Ansi,            // 8-bit bytes that are not UTF-8: the station's code page (CP936)
    Utf8WithBom,     // EF BB BF, then UTF-8
    Utf16BeWithBom,  // FE FF, then UTF-16 big-endian
    Utf16LeWithBom,  // FF FE, then UTF-16 little-endian
    Utf8,            // UTF-8 with at least one multibyte sequence, no mark
    Ascii,           // bytes 01-7F only, no mark
    Utf16Le,         // UTF-16 little-endian without a mark
};

// Short English name of a kind, for diagnostics ("Utf16LeWithBom", ...).
const char* EncodingKindName(TextEncodingKind kind);

enum class Utf8ScanResult { AsciiOnly, Valid, Invalid };

// The lenient UTF-8 scan that tells Ascii, Utf8 and Ansi apart. Its quirks are
// kept on purpose so that files are classified as they always were: a 00 byte
// makes the data invalid, lead bytes C0 and E0 are invalid while C1 is not, a
// sequence cut off by the end of the data is still valid, and any byte F0-FF
// (so every four-byte sequence) is invalid.
Utf8ScanResult ScanUtf8(const uint8_t* data, size_t size);

// Detection rules in order: FE FF, FF FE, EF BB BF, then UTF-16LE without a
// mark when the second byte is 0, the first is not, and LooksLikeUtf16Le()
// accepts the data; otherwise the UTF-8 scan decides.
TextEncodingKind DetectTextEncoding(const uint8_t* data, size_t size);

// One conversion of one file's bytes. The input stays owned by the caller and
// must outlive the decoder. For the UTF-16 kinds the decoder owns the 8-bit
// output (UTF-8 made unit by unit, surrogate halves not combined, a trailing
// odd byte dropped); for the others Text() is a view into the input after any
// byte-order mark.
class TextFileDecoder {
public:
    TextFileDecoder(const uint8_t* data, size_t size);
    TextFileDecoder(const TextFileDecoder&) = delete;
    TextFileDecoder& operator=(const TextFileDecoder&) = delete;

    TextEncodingKind Kind() const { return kind_; }
    size_t BomLength() const { return bomLength_; }
    const uint8_t* Input() const { return data_; }
    size_t InputSize() const { return size_; }
    // Room reserved for the UTF-16 kinds' output: n + n/2 + 1 for n input
    // bytes, enough for three bytes per two-byte unit; 0 for the other kinds
    // and when that memory could not be had (Text() is then empty).
    size_t OutputCapacity() const { return capacity_; }

    // True when the UTF-16 kinds' output could not be allocated.
    bool OutOfMemory() const { return outOfMemory_; }

    // The 8-bit text to be widened; empty means there is no text at all.
    std::string_view Text() const { return text_; }

    // True when Text() is widened with the station's code page (Ansi, Ascii),
    // false when it is widened as UTF-8.
    bool WidensAsAnsi() const {
        return kind_ == TextEncodingKind::Ansi || kind_ == TextEncodingKind::Ascii;
    }

    // Text() widened to UTF-16; what cannot be mapped becomes U+FFFD.
    std::u16string Widen() const;

private:
    const uint8_t* data_;
    size_t size_;
    TextEncodingKind kind_;
    size_t bomLength_ = 0;
    size_t capacity_ = 0;
    bool outOfMemory_ = false;
    LargeBuffer<char> out_;
    std::string_view text_;
};

// Widens UTF-8 to UTF-16. Well-formed text maps as usual; the three-byte form
// of a lone surrogate unit (as the UTF-16 kinds produce for characters beyond
// the Basic Multilingual Plane) widens back to that unit, so such files load
// with their units unchanged. Every other ill-formed sequence becomes one
// U+FFFD per maximal invalid part.
std::u16string WidenUtf8(std::string_view utf8);

// Calls sink(unit) for each UTF-16 unit of `utf8` as WidenUtf8 would produce
// them, without building a string. The sink returns false to stop early.
template <typename Sink>
void ForEachUtf8Unit(std::string_view utf8, Sink&& sink);

// ---------------------------------------------------------------------------

namespace detail {

inline bool IsCont(uint8_t b) { return (b & 0xC0) == 0x80; }

// Decodes the sequence at p[i] (p[i] >= 0x80) into one or two units; returns
// the unit count and sets *len to the bytes taken.
inline size_t DecodeUtf8Seq(const uint8_t* p, size_t n, size_t i, char16_t out[2], size_t* len) {
    const uint8_t c = p[i];
    out[0] = u'\xFFFD';
    *len = 1;
    if (c >= 0xC2 && c <= 0xDF) {
        if (i + 1 < n && IsCont(p[i + 1])) {
            out[0] = static_cast<char16_t>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F));
            *len = 2;
        }
    } else if (c >= 0xE0 && c <= 0xEF) {
        // E0 needs A0-BF next (shorter forms are overlong).
        if (i + 1 < n && IsCont(p[i + 1]) && (c != 0xE0 || p[i + 1] >= 0xA0)) {
            if (i + 2 < n && IsCont(p[i + 2])) {
                out[0] = static_cast<char16_t>(((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) |
                                               (p[i + 2] & 0x3F));
                *len = 3;
            } else {
                *len = 2;  // the valid start of a cut-off sequence: one U+FFFD
            }
        }
    } else if (c >= 0xF0 && c <= 0xF4) {
        if (i + 1 < n && IsCont(p[i + 1]) && (c != 0xF0 || p[i + 1] >= 0x90) &&
            (c != 0xF4 || p[i + 1] < 0x90)) {
            if (i + 2 < n && IsCont(p[i + 2])) {
                if (i + 3 < n && IsCont(p[i + 3])) {
                    uint32_t v = ((c & 0x07u) << 18) | ((p[i + 1] & 0x3Fu) << 12) |
                                 ((p[i + 2] & 0x3Fu) << 6) | (p[i + 3] & 0x3Fu);
                    v -= 0x10000;
                    out[0] = static_cast<char16_t>(0xD800 + (v >> 10));
                    out[1] = static_cast<char16_t>(0xDC00 + (v & 0x3FF));
                    *len = 4;
                    return 2;
                }
                *len = 3;
            } else {
                *len = 2;
            }
        }
    }
    return 1;
}

// Feeds the units of the multibyte sequence at p[i] and moves i past it;
// false when the sink asked to stop.
template <typename Sink>
bool FeedUtf8Seq(const uint8_t* p, size_t n, size_t& i, Sink& sink) {
    char16_t units[2];
    size_t len;
    const size_t count = DecodeUtf8Seq(p, n, i, units, &len);
    for (size_t k = 0; k < count; ++k)
        if (!sink(units[k])) return false;
    i += len;
    return true;
}

}  // namespace detail

template <typename Sink>
void ForEachUtf8Unit(std::string_view utf8, Sink&& sink) {
    const auto* p = reinterpret_cast<const uint8_t*>(utf8.data());
    const size_t n = utf8.size();
    size_t i = 0;
    while (i < n) {
        if (p[i] < 0x80) {
            if (!sink(static_cast<char16_t>(p[i]))) return;
            ++i;
            continue;
        }
        if (!detail::FeedUtf8Seq(p, n, i, sink)) return;
    }
}

}  // namespace ts
