#include <iconv.h>

#include <cerrno>
#include <memory>
#include <mutex>

#include "platform/Codepage.h"

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

std::optional<std::u16string> AnsiToWideExact(std::string_view in) {
    std::u16string out;
    if (in.empty()) return out;
    iconv_t cd = iconv_open("UTF-16LE", kAnsiCodepage);
    if (cd == reinterpret_cast<iconv_t>(-1)) return std::nullopt;
    std::string buf(in.size() * 2 + 8, '\0');
    char* inp = const_cast<char*>(in.data());
    size_t inleft = in.size();
    bool ok = true;
    while (inleft > 0) {
        char* outp = buf.data();
        size_t outleft = buf.size();
        size_t r = iconv(cd, &inp, &inleft, &outp, &outleft);
        int err = errno;
        size_t got = (buf.size() - outleft) / 2;
        for (size_t i = 0; i < got; ++i)
            out.push_back(static_cast<char16_t>(static_cast<uint8_t>(buf[2 * i]) |
                                                (static_cast<uint8_t>(buf[2 * i + 1]) << 8)));
        if (r != static_cast<size_t>(-1)) break;
        if (err == E2BIG) continue;
        ok = false;
        break;
    }
    iconv_close(cd);
    if (!ok) return std::nullopt;
    return out;
}

std::string WideToAnsi(std::u16string_view wide) {
    std::string bytes(wide.size() * 2, '\0');
    for (size_t i = 0; i < wide.size(); ++i) {
        bytes[2 * i] = static_cast<char>(wide[i] & 0xFF);
        bytes[2 * i + 1] = static_cast<char>(wide[i] >> 8);
    }
    return Convert(kAnsiCodepage, "UTF-16LE", bytes, "?", 2);
}

}  // namespace ts
