#include <windows.h>

#include "platform/Codepage.h"

namespace ts {
namespace {

// The station's own ANSI code page, whatever it is set to.
constexpr UINT kAnsi = CP_ACP;

std::u16string ToWide(const char* p, size_t n) {
    std::u16string out;
    while (n > 0) {
        // Pieces below the int range of the call, never ending inside a character.
        size_t take = n;
        if (take > (1u << 28)) {
            take = 0;
            while (take < (1u << 28))
                take += IsDBCSLeadByteEx(kAnsi, static_cast<BYTE>(p[take])) ? 2 : 1;
        }
        const int len = static_cast<int>(take);
        const int units = MultiByteToWideChar(kAnsi, 0, p, len, nullptr, 0);
        if (units <= 0) break;
        const size_t at = out.size();
        out.resize(at + static_cast<size_t>(units));
        MultiByteToWideChar(kAnsi, 0, p, len, reinterpret_cast<wchar_t*>(out.data() + at), units);
        p += take;
        n -= take;
    }
    return out;
}

}  // namespace

bool AnsiCodepageAvailable() { return true; }

std::u16string AnsiToWide(std::string_view ansi) { return ToWide(ansi.data(), ansi.size()); }

bool AnsiToWidePieces(std::string_view ansi, const std::function<bool(std::u16string_view)>& sink) {
    size_t at = 0;
    while (at < ansi.size()) {
        // A piece of at most kAnsiPieceUnits bytes gives at most as many
        // units; a double-byte character is never cut in two.
        size_t end = at;
        while (end < ansi.size() && end - at < kAnsiPieceUnits - 1) {
            const bool lead = IsDBCSLeadByteEx(kAnsi, static_cast<BYTE>(ansi[end]));
            end += lead && end + 1 < ansi.size() ? 2 : 1;
        }
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
