#include "ledger/CounterBound.h"

#include "idsource/HexId.h"

namespace ts {
namespace {

bool IsUpperHexDigit(char16_t c) { return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F'); }

std::u16string_view WithoutLeadingZeros(std::u16string_view s) {
    while (!s.empty() && s.front() == u'0') s.remove_prefix(1);
    return s;
}

bool AllHex(std::u16string_view s) {
    if (s.empty()) return false;
    for (char16_t c : s)
        if (!IsUpperHexDigit(c)) return false;
    return true;
}

}  // namespace

std::u16string CleanIdPart(std::u16string_view part) {
    std::u16string out;
    out.reserve(part.size());
    for (char16_t c : part)
        if (c != u' ' && c != u'\r' && c != u'\t') out.push_back(c);
    return out;
}

std::optional<std::u16string_view> CounterDigits(std::u16string_view id, std::u16string_view prefix,
                                                 std::u16string_view suffix) {
    if (id.size() <= prefix.size() + suffix.size()) return std::nullopt;
    if (id.substr(0, prefix.size()) != prefix) return std::nullopt;
    if (id.substr(id.size() - suffix.size()) != suffix) return std::nullopt;
    const std::u16string_view digits =
        id.substr(prefix.size(), id.size() - prefix.size() - suffix.size());
    if (!AllHex(digits)) return std::nullopt;
    return digits;
}

int CompareHexValue(std::u16string_view a, std::u16string_view b) {
    a = WithoutLeadingZeros(a);
    b = WithoutLeadingZeros(b);
    if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
    return a.compare(b);
}

std::optional<std::u16string> CounterPast(std::u16string_view current,
                                          const std::optional<std::u16string>& furthest,
                                          bool down) {
    std::u16string cur(current);
    if (!furthest || !AllHex(*furthest)) return cur;
    std::u16string digits = cur;
    NormalizeHex(digits);
    for (char16_t& c : digits)
        if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
    if (!AllHex(digits)) return cur;
    const int cmp = CompareHexValue(digits, *furthest);
    if (down ? cmp < 0 : cmp > 0) return cur;
    std::u16string next(WithoutLeadingZeros(*furthest));
    if (down) {
        if (next.empty()) return std::nullopt;  // zero is held: nothing below it
        return DecrementHex(next);
    }
    if (next.empty()) next = u"0";
    return IncrementHex(next);
}

}  // namespace ts

namespace ts {
namespace {

std::u16string NormalizedCounter(std::u16string_view text) {
    std::u16string s(text);
    NormalizeHex(s);
    for (char16_t& c : s)
        if (c >= u'a' && c <= u'f') c = static_cast<char16_t>(c - u'a' + u'A');
    return s;
}

}  // namespace

bool IsCounterValue(std::u16string_view text) { return AllHex(NormalizedCounter(text)); }

CounterStep TakeCounter(std::u16string_view start, const std::optional<std::u16string>& kept,
                        const std::optional<std::u16string>& furthest, bool down) {
    CounterStep step;
    const std::u16string own = NormalizedCounter(start);
    std::optional<std::u16string> base;
    if (!kept) {
        base = CounterPast(own, furthest, down);
        if (base) base = NormalizedCounter(*base);
    } else if (!kept->empty()) {
        base = NormalizedCounter(*kept);
        const int cmp = CompareHexValue(own, *base);
        if (down ? cmp < 0 : cmp > 0) base = own;
    }
    if (!base) return step;  // nothing left below zero
    step.value = *base;
    std::u16string next = *base;
    if (!down) {
        IncrementHex(next);
    } else if (next == u"0") {
        next.clear();
    } else {
        DecrementHex(next);
    }
    step.next = next;
    return step;
}

}  // namespace ts
