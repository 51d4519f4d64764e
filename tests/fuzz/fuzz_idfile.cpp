// Arbitrary bytes as an ID file: decoding, loading and the list operations
// must never crash or touch memory out of bounds.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "idsource/IdList.h"
#include "idsource/TextFileDecoder.h"
#include "idsource/Utf16Detect.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace ts;
    // A copy of exactly `size` bytes, so any read past the data is caught.
    auto bytes = std::make_unique<uint8_t[]>(size ? size : 1);
    if (size) std::memcpy(bytes.get(), data, size);

    const TextFileDecoder decoder(bytes.get(), size);
    const std::string_view text = decoder.Text();
    if (text.size() > size + size / 2 + 1) std::abort();
    const std::u16string wide = decoder.Widen();
    if (wide.size() > text.size()) std::abort();
    (void)LooksLikeUtf16Le(bytes.get(), size);

    IdList list;
    std::vector<uint32_t> lines;
    TextEncodingKind kind{};
    if (ParseIdFileBytes(bytes.get(), size, &list, &kind, &lines) == IdFileError::None) {
        if (kind != decoder.Kind() || list.empty() || lines.size() != list.size()) std::abort();
        size_t units = 0;
        for (size_t i = 0; i < list.size(); ++i) units += list.Text(i).size();
        if (units > wide.size()) std::abort();
        // The list operations, driven by the data itself.
        uint32_t cursor = 0;
        for (size_t i = 0; i < size && i < 64; ++i) {
            if (data[i] & 1) list.MarkUsed(data[i] % (list.size() + 2));
            list.AdvanceToUnused(cursor);
        }
        list.MarkUsedAndAdvance(cursor);
        const std::u16string_view first = list.Text(0);
        (void)list.FilterByPrefix(first.substr(0, first.size() / 2));
        (void)list.FindLastMatch(first, [](size_t) { return true; });
        (void)list.Text(list.size());
    }
    return 0;
}
