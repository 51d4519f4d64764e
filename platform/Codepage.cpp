#include "platform/Codepage.h"

namespace ts {

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
