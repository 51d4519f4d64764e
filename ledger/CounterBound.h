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
