#include "idsource/HexId.h"

namespace ts {
namespace {

bool IsUpperHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

bool IsAnyHexDigit(char16_t c) { return IsUpperHexDigit(c) || (c >= u'a' && c <= u'f'); }

bool HasPrefix(const std::u16string& s) {
    return s.size() >= 2 && s[0] == u'0' && (s[1] == u'x' || s[1] == u'X');
}

// The platform's wide white space includes the no-break and ideographic
// spaces, which a Chinese input method easily puts around a counter.
bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f' ||
           c == u'\u00A0' || c == u'\u3000';
}

// The domain of the counter operations: an optional prefix, then only
// hexadecimal digits of either case.
bool IsCounterText(const std::u16string& s) {
    for (size_t i = HasPrefix(s) ? 2 : 0; i < s.size(); ++i) {
        if (!IsAnyHexDigit(s[i])) return false;
    }
    return true;
}

void ToUpperAscii(std::u16string& s) {
    for (char16_t& c : s) {
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
    }
}

// One digit down; only called on 1-9 and A-F.
char16_t DigitDown(char16_t c) { return c == u'A' ? u'9' : static_cast<char16_t>(c - 1); }

}  // namespace

bool IsHexId(const std::u16string* text) {
    if (text == nullptr) return false;
    const std::u16string& s = *text;
    size_t start = (s.size() > 2 && HasPrefix(s)) ? 2 : 0;
    for (size_t i = start; i < s.size(); ++i) {
        if (!IsUpperHexDigit(s[i])) return false;
    }
    return true;
}

void NormalizeHex(std::u16string& text) {
    size_t i = HasPrefix(text) ? 2 : 0;
    while (i < text.size() && text[i] == u'0') ++i;
    if (i == text.size()) {
        text = u"0";
    } else {
        text.erase(0, i);
    }
}

std::u16string ParseHexCounter(std::u16string_view raw) {
    size_t b = 0, e = raw.size();
    while (b < e && IsBlank(raw[b])) ++b;
    while (e > b && IsBlank(raw[e - 1])) --e;
    std::u16string s(raw.substr(b, e - b));
    NormalizeHex(s);
    return s;
}

std::u16string& IncrementHex(std::u16string& text) {
    if (text == u"0x" || text == u"0X") {
        text += u'1';
        return text;
    }
    if (text.empty() || !IsCounterText(text)) return text;
    ToUpperAscii(text);
    const bool prefixed = HasPrefix(text);
    for (size_t i = text.size(); i-- > 0;) {
        char16_t c = text[i];
        if (c != u'F') {
            text[i] = c == u'9' ? u'A' : static_cast<char16_t>(c + 1);
            return text;
        }
        text[i] = u'0';
        if (i == 2 && prefixed) {
            // The carry ran into the prefix: the new leading digit goes after it.
            text.insert(2, 1, u'1');
            return text;
        }
    }
    text.insert(0, 1, u'1');
    return text;
}

std::u16string& DecrementHex(std::u16string& text) {
    if (!IsCounterText(text)) return text;
    std::u16string s = text;
    ToUpperAscii(s);
    // A bare prefix is zero, and zero stays zero.
    if (!s.empty() && !(s.size() == 2 && HasPrefix(s))) {
        const bool prefixed = HasPrefix(s);
        size_t pos = s.size() - 1;
        if (s[pos] != u'0') {
            s[pos] = DigitDown(s[pos]);
        } else {
            // Borrow: trailing zeros become F up to the first non-zero digit,
            // never into the prefix.
            while (pos != 0 && !(pos == 2 && prefixed) && s[pos] == u'0') {
                s[pos] = u'F';
                --pos;
            }
            if (s[pos] == u'0') {
                // The borrow reached the most significant digit and found zero:
                // the value was zero.
                s = u"0";
            } else {
                s[pos] = DigitDown(s[pos]);
            }
        }
    }
    NormalizeHex(s);
    text = std::move(s);
    return text;
}

}  // namespace ts
