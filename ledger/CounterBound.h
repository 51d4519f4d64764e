#pragma once
// The increment page's side of the ledger: which held IDs a counter could
// produce, and where the counter has to move so that it produces none of
// them again.
#include <optional>
#include <string>
#include <string_view>

namespace ts {

// The part as the increment page puts it into an ID: blanks, tabs and
// carriage returns removed.
std::u16string CleanIdPart(std::u16string_view part);

// The counter digits of `id` if it is `prefix` + one or more of 0-9, A-F +
// `suffix` (both parts already cleaned); nothing otherwise.
std::optional<std::u16string_view> CounterDigits(std::u16string_view id, std::u16string_view prefix,
                                                 std::u16string_view suffix);

// Compares two texts of hexadecimal digits by value (leading zeros do not
// count): negative, zero or positive.
int CompareHexValue(std::u16string_view a, std::u16string_view b);

// The counter to use instead of `current` so that, counting in its
// direction, it never meets `furthest` (the held counter furthest that way)
// or anything before it: `current` itself when it is beyond already, else
// the value just past `furthest`. Nothing when counting down has no value
// left (the ledger holds zero). A `current` that is not hexadecimal is
// returned as it is: the write flow refuses such IDs anyway.
std::optional<std::u16string> CounterPast(std::u16string_view current,
                                          const std::optional<std::u16string>& furthest, bool down);

}  // namespace ts

namespace ts {

// One step of a counter that several stations share.
struct CounterStep {
    std::optional<std::u16string> value;  // the value handed out; none: counting down is done
    std::u16string next;                  // the value to keep; empty: counting down is done
};

// The step from the kept value `kept` (none: the counter is new; an empty
// text: counting down is done) for a station whose own counter is `start`
// (hexadecimal digits, "0x" and lower case accepted). A new counter starts
// past `furthest`, the held value furthest in the counting direction; a kept
// one continues, unless `start` is further on. Values come back normalised
// (upper case, no prefix, no leading zeros).
CounterStep TakeCounter(std::u16string_view start, const std::optional<std::u16string>& kept,
                        const std::optional<std::u16string>& furthest, bool down);

// Whether `text` is a counter value TakeCounter accepts.
bool IsCounterValue(std::u16string_view text);

}  // namespace ts
