#include "FatNames.h"

#include <cerrno>
#include <cstring>

#include "FatRecords.h"
#include "platform/Codepage.h"

namespace ts::volkit {
namespace {

bool IsShortChar(char16_t c) {
    if (c >= 'A' && c <= 'Z') return true;
    if (c >= '0' && c <= '9') return true;
    return c > 0x20 && c < 0x7F && std::strchr("!#$%&'()-@^_`{}~", static_cast<char>(c));
}

char16_t Upper(char16_t c) { return (c >= 'a' && c <= 'z') ? static_cast<char16_t>(c - 32) : c; }

}  // namespace

std::optional<std::u16string> AnsiToUtf16(std::string_view ansi) { return AnsiToWideExact(ansi); }

std::u16string AnsiToUtf16Lenient(std::string_view ansi) {
    if (!AnsiCodepageAvailable()) return std::u16string(ansi.size(), u'\xFFFD');
    return AnsiToWide(ansi);
}

std::optional<std::u16string> Utf8ToUtf16(std::string_view utf8) {
    std::u16string out;
    const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
    const size_t n = utf8.size();
    for (size_t i = 0; i < n;) {
        const unsigned c = p[i];
        size_t len;
        uint32_t v, min;
        if (c < 0x80) {
            out.push_back(static_cast<char16_t>(c));
            ++i;
            continue;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2, v = c & 0x1F, min = 0x80;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3, v = c & 0x0F, min = 0x800;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4, v = c & 0x07, min = 0x10000;
        } else {
            return std::nullopt;
        }
        if (n - i < len) return std::nullopt;
        for (size_t k = 1; k < len; ++k) {
            if ((p[i + k] & 0xC0) != 0x80) return std::nullopt;
            v = (v << 6) | (p[i + k] & 0x3F);
        }
        if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return std::nullopt;
        if (v >= 0x10000) {
            v -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (v >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (v & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(v));
        }
        i += len;
    }
    return out;
}

std::u16string FoldCase(std::u16string_view name) {
    std::u16string out(name);
    for (auto& c : out) c = Upper(c);
    return out;
}

std::optional<std::u16string> CleanLongName(std::u16string_view name) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
    if (name.empty() || name.size() > 255) return std::nullopt;
    for (char16_t c : name) {
        if (c < 0x20) return std::nullopt;
        if (c < 0x80 && std::strchr("\"*/:<>?\\|", static_cast<char>(c))) return std::nullopt;
    }
    return std::u16string(name);
}

std::optional<ShortName> ExactShortName(std::u16string_view name) {
    size_t dot = name.find(u'.');
    std::u16string_view base = name.substr(0, dot);
    std::u16string_view ext =
        dot == std::u16string_view::npos ? std::u16string_view{} : name.substr(dot + 1);
    if (base.empty() || base.size() > 8 || ext.size() > 3) return std::nullopt;
    if (dot != std::u16string_view::npos && ext.empty()) return std::nullopt;
    ShortName s;
    s.fill(' ');
    for (size_t i = 0; i < base.size(); ++i) {
        if (!IsShortChar(base[i])) return std::nullopt;
        s[i] = static_cast<uint8_t>(base[i]);
    }
    for (size_t i = 0; i < ext.size(); ++i) {
        if (!IsShortChar(ext[i])) return std::nullopt;
        s[8 + i] = static_cast<uint8_t>(ext[i]);
    }
    return s;
}

std::optional<ShortName> MakeShortAlias(std::u16string_view name,
                                        const std::function<bool(const ShortName&)>& taken) {
    // Only case differs: the upper-case name itself, as long as it is free.
    std::u16string upper = FoldCase(name);
    if (auto exact = ExactShortName(upper); exact && !taken(*exact)) return exact;

    size_t lastDot = name.rfind(u'.');
    if (lastDot == 0) lastDot = std::u16string_view::npos;  // ".profile" has no extension
    std::string base, ext;
    auto put = [](std::string& out, char16_t c, size_t max) {
        if (out.size() >= max || c == u' ' || c == u'.') return;
        c = Upper(c);
        out.push_back(IsShortChar(c) ? static_cast<char>(c) : '_');
    };
    for (size_t i = 0; i < name.size(); ++i) {
        if (i == lastDot) continue;
        if (lastDot != std::u16string_view::npos && i > lastDot) {
            put(ext, name[i], 3);
        } else {
            put(base, name[i], 8);
        }
    }
    if (base.empty()) base = "_";
    for (uint32_t n = 1; n <= 999999; ++n) {
        std::string tail = "~" + std::to_string(n);
        std::string b = base.substr(0, 8 - tail.size()) + tail;
        ShortName s;
        s.fill(' ');
        std::memcpy(s.data(), b.data(), b.size());
        std::memcpy(s.data() + 8, ext.data(), ext.size());
        if (!taken(s)) return s;
    }
    return std::nullopt;
}

std::string ShortNameText(const ShortName& s) {
    std::string base(reinterpret_cast<const char*>(s.data()), 8);
    std::string ext(reinterpret_cast<const char*>(s.data()) + 8, 3);
    if (!base.empty() && base[0] == '\x05') base[0] = '\xE5';  // a stored 0xE5 lead byte
    while (!base.empty() && base.back() == ' ') base.pop_back();
    while (!ext.empty() && ext.back() == ' ') ext.pop_back();
    return ext.empty() ? base : base + "." + ext;
}

uint8_t LfnChecksum(const ShortName& s) {
    uint8_t sum = 0;
    for (uint8_t c : s) sum = static_cast<uint8_t>(((sum & 1) << 7) + (sum >> 1) + c);
    return sum;
}

std::vector<std::array<uint8_t, 32>> EncodeLfnEntries(std::u16string_view name,
                                                      const ShortName& alias) {
    size_t count = (name.size() + kLfnUnits - 1) / kLfnUnits;
    uint8_t sum = LfnChecksum(alias);
    std::vector<std::array<uint8_t, 32>> out;
    for (size_t k = count; k >= 1; --k) {
        LfnRecord r{};
        r.order = static_cast<uint8_t>(k | (k == count ? kLfnLastPart : 0));
        r.attr = kAttrLfn;
        r.checksum = sum;
        for (size_t j = 0; j < kLfnUnits; ++j) {
            size_t i = (k - 1) * kLfnUnits + j;
            char16_t c = i < name.size() ? name[i] : (i == name.size() ? u'\0' : u'\xFFFF');
            LfnUnit(r, j).Set(c);
        }
        std::array<uint8_t, 32> e;
        StoreRecord(r, e.data());
        out.push_back(e);
    }
    return out;
}

}  // namespace ts::volkit
