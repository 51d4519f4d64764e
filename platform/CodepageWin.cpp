#include <windows.h>

#include "platform/Codepage.h"

namespace ts {
namespace {

// The station's own ANSI code page, whatever it is set to.
constexpr UINT kAnsi = CP_ACP;

bool IsLead(char c) { return IsDBCSLeadByteEx(kAnsi, static_cast<BYTE>(c)) != 0; }

// Converts one run that holds only whole characters; false when a byte
// sequence is not a character of the code page.
bool ConvertExact(const char* p, size_t n, std::u16string& out) {
    if (n == 0) return true;
    const int len = static_cast<int>(n);
    const int units = MultiByteToWideChar(kAnsi, MB_ERR_INVALID_CHARS, p, len, nullptr, 0);
    if (units <= 0) return false;
    const size_t at = out.size();
    out.resize(at + static_cast<size_t>(units));
    MultiByteToWideChar(kAnsi, MB_ERR_INVALID_CHARS, p, len,
                        reinterpret_cast<wchar_t*>(out.data() + at), units);
    return true;
}

// The end of the longest run from `at` of at most `limit` bytes that does
// not cut a double-byte character in two.
size_t RunEnd(const char* p, size_t n, size_t at, size_t limit) {
    size_t end = at;
    while (end < n && end - at < limit) {
        const size_t step = IsLead(p[end]) && end + 1 < n ? 2 : 1;
        if (end - at + step > limit) break;
        end += step;
    }
    return end;
}

// As the Linux converter does: a byte that starts no character becomes
// U+FFFD, and the conversion goes on with the next byte.
std::u16string ToWide(const char* p, size_t n) {
    std::u16string out;
    size_t at = 0;
    while (at < n) {
        const size_t end = RunEnd(p, n, at, size_t{1} << 26);
        if (!ConvertExact(p + at, end - at, out)) {
            // Character by character through the run.
            for (size_t i = at; i < end;) {
                const size_t step = IsLead(p[i]) && i + 1 < end ? 2 : 1;
                if (ConvertExact(p + i, step, out)) {
                    i += step;
                } else {
                    out.push_back(u'\xFFFD');
                    ++i;
                }
            }
        }
        at = end;
    }
    return out;
}

}  // namespace

bool AnsiCodepageAvailable() { return true; }

std::u16string AnsiToWide(std::string_view ansi) { return ToWide(ansi.data(), ansi.size()); }

bool AnsiToWidePieces(std::string_view ansi, const std::function<bool(std::u16string_view)>& sink) {
    size_t at = 0;
    while (at < ansi.size()) {
        // At most one unit per byte: a piece of kAnsiPieceUnits bytes fits.
        const size_t end = RunEnd(ansi.data(), ansi.size(), at, kAnsiPieceUnits);
        const std::u16string piece = ToWide(ansi.data() + at, end - at);
        if (!piece.empty() && !sink(piece)) return false;
        at = end;
    }
    return true;
}

std::optional<std::u16string> AnsiToWideExact(std::string_view ansi) {
    std::u16string out;
    if (ansi.empty()) return out;
    if (ansi.size() > (1u << 28)) return std::nullopt;
    const int len = static_cast<int>(ansi.size());
    const int units =
        MultiByteToWideChar(kAnsi, MB_ERR_INVALID_CHARS, ansi.data(), len, nullptr, 0);
    if (units <= 0) return std::nullopt;
    out.resize(static_cast<size_t>(units));
    MultiByteToWideChar(kAnsi, MB_ERR_INVALID_CHARS, ansi.data(), len,
                        reinterpret_cast<wchar_t*>(out.data()), units);
    return out;
}

std::string WideToAnsi(std::u16string_view wide) {
    if (wide.empty()) return {};
    const auto* w = reinterpret_cast<const wchar_t*>(wide.data());
    const int len = static_cast<int>(wide.size());
    const int bytes = WideCharToMultiByte(kAnsi, 0, w, len, nullptr, 0, nullptr, nullptr);
    if (bytes <= 0) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(kAnsi, 0, w, len, out.data(), bytes, nullptr, nullptr);
    return out;
}

}  // namespace ts
