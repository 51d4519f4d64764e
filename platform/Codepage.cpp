#include "platform/Codepage.h"

#include <iconv.h>

#include <cerrno>
#include <memory>
#include <mutex>

namespace ts {
namespace {

constexpr char kAnsiCodepage[] = "CP936";

// Runs one iconv conversion, replacing each input unit that does not convert
// with `replacement` and skipping `skip` input bytes.
std::string Convert(const char* to, const char* from, std::string_view in,
                    std::string_view replacement, size_t skip) {
    std::string out;
    if (in.empty()) return out;
    iconv_t cd = iconv_open(to, from);
    if (cd == reinterpret_cast<iconv_t>(-1)) return out;
    out.resize(in.size() * 4 + 16);
    char* inp = const_cast<char*>(in.data());
    size_t inleft = in.size();
    size_t used = 0;
    while (inleft > 0) {
        char* outp = out.data() + used;
        size_t outleft = out.size() - used;
        size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
        used = out.size() - outleft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            out.resize(out.size() * 2);
            continue;
        }
        // EILSEQ or EINVAL (cut-off sequence): replace and move on.
        if (out.size() - used < replacement.size()) out.resize(out.size() * 2 + replacement.size());
        out.replace(used, replacement.size(), replacement);
        used += replacement.size();
        size_t n = skip < inleft ? skip : inleft;
        inp += n;
        inleft -= n;
    }
    iconv_close(cd);
    out.resize(used);
    return out;
}

}  // namespace

bool AnsiCodepageAvailable() {
    const auto can = [](const char* to, const char* from) {
        iconv_t cd = iconv_open(to, from);
        if (cd == reinterpret_cast<iconv_t>(-1)) return false;
        iconv_close(cd);
        return true;
    };
    return can("UTF-16LE", kAnsiCodepage) && can(kAnsiCodepage, "UTF-16LE");
}

std::u16string AnsiToWide(std::string_view ansi) {
    static const char kRepl[] = {'\xFD', '\xFF'};  // U+FFFD, little-endian
    std::string bytes = Convert("UTF-16LE", kAnsiCodepage, ansi, std::string_view(kRepl, 2), 1);
    std::u16string out(bytes.size() / 2, u'\0');
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                       (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
    return out;
}

bool AnsiToWidePieces(std::string_view ansi, const std::function<bool(std::u16string_view)>& sink) {
    if (ansi.empty()) return true;
    iconv_t cd = iconv_open("UTF-16LE", "CP936");
    if (cd == reinterpret_cast<iconv_t>(-1)) return true;  // as AnsiToWide: nothing
    struct Closer {
        iconv_t cd;
        ~Closer() { iconv_close(cd); }
    } closer{cd};

    constexpr size_t kBytes = kAnsiPieceUnits * 2;
    const auto byteBuffer = std::make_unique<char[]>(kBytes);
    const auto unitBuffer = std::make_unique<char16_t[]>(kAnsiPieceUnits);
    char* const bytes = byteBuffer.get();
    char16_t* const units = unitBuffer.get();
    size_t used = 0;
    // Hands the converted bytes on and empties the buffer.
    auto emit = [&]() {
        const size_t n = used / 2;
        for (size_t i = 0; i < n; ++i)
            units[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                             (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
        used = 0;
        return n == 0 || sink(std::u16string_view(units, n));
    };

    // The converter always sees the whole rest of the input, so it never
    // stops inside a character; only its output is cut into pieces.
    char* inp = const_cast<char*>(ansi.data());
    size_t inleft = ansi.size();
    while (inleft > 0) {
        char* outp = bytes + used;
        size_t outleft = kBytes - used;
        const size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
        used = kBytes - outleft;
        if (r != static_cast<size_t>(-1)) break;
        if (errno == E2BIG) {
            if (!emit()) return false;
            continue;
        }
        // EILSEQ, or EINVAL for a sequence cut off by the end: U+FFFD for
        // one byte, then on.
        if (kBytes - used < 2 && !emit()) return false;
        bytes[used++] = '\xFD';
        bytes[used++] = '\xFF';
        ++inp;
        --inleft;
    }
    return emit();
}

std::string WideToAnsi(std::u16string_view wide) {
    std::string bytes(wide.size() * 2, '\0');
    for (size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(wide[i] >> 8);
    }
    return Convert(kAnsiCodepage, "UTF-16LE", bytes, "?", 2);
}

std::u16string Utf8ToWide(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    const auto* p = reinterpret_cast<const unsigned char*>(s.data());
    size_t n = s.size(), i = 0;
    auto cont = [&](size_t k) { return k < n && (p[k] & 0xC0) == 0x80; };
    while (i < n) {
        unsigned c = p[i];
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
        } else if (c >= 0xC2 && c <= 0xDF && cont(i + 1)) {
            out.push_back(static_cast<char16_t>(((c & 0x1F) << 6) | (p[i + 1] & 0x3F)));
            i += 2;
        } else if (c >= 0xE0 && c <= 0xEF && cont(i + 1) && cont(i + 2)) {
            unsigned v = ((c & 0x0F) << 12) | ((p[i + 1] & 0x3F) << 6) | (p[i + 2] & 0x3F);
            if (v < 0x800 || (v >= 0xD800 && v <= 0xDFFF)) {
                out.push_back(u'\xFFFD');
            } else {
                out.push_back(static_cast<char16_t>(v));
            }
            i += 3;
        } else if (c >= 0xF0 && c <= 0xF4 && cont(i + 1) && cont(i + 2) && cont(i + 3)) {
            unsigned v = ((c & 0x07) << 18) | ((p[i + 1] & 0x3F) << 12) | ((p[i + 2] & 0x3F) << 6) |
                         (p[i + 3] & 0x3F);
            if (v < 0x10000 || v > 0x10FFFF) {
                out.push_back(u'\xFFFD');
            } else {
                v -= 0x10000;
                out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
                out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
            }
            i += 4;
        } else {
            out.push_back(u'\xFFFD');
            ++i;
        }
    }
    return out;
}

std::string WideToUtf8(std::u16string_view w) {
    std::string out;
    out.reserve(w.size());
    for (size_t i = 0; i < w.size(); ++i) {
        unsigned c = w[i];
        if (c >= 0xD800 && c <= 0xDBFF && i + 1 < w.size() && w[i + 1] >= 0xDC00 &&
            w[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (w[i + 1] - 0xDC00);
            ++i;
        } else if (c >= 0xD800 && c <= 0xDFFF) {
            c = 0xFFFD;
        }
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        }
    }
    return out;
}

}  // namespace ts
