#pragma once
// The list of IDs loaded from an ID file, with the marks of the IDs that have
// been written, and the operations the list page and the picker build on.
//
// A production list can hold millions of IDs, so entries are not separate
// strings: all texts sit in one char16_t arena, entry i spanning
// [offsets_[i], offsets_[i + 1]), and the used marks are a bit vector. A
// 16-digit ID thus takes about 36 bytes.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "idsource/LargeBuffer.h"
#include "idsource/TextFileDecoder.h"

namespace ts {

// One ID with its used mark, as a value (the list itself stores neither).
struct IdEntry {
    std::u16string text;
    bool used = false;
};

class IdList {
public:
    static constexpr size_t npos = static_cast<size_t>(-1);

    IdList();

    size_t size() const { return offsets_.size() - 1; }
    bool empty() const { return size() == 0; }

    // The text of entry i; empty for an index past the end.
    std::u16string_view Text(size_t i) const {
        if (i >= size()) return {};
        return std::u16string_view(arena_.get() + offsets_[i], offsets_[i + 1] - offsets_[i]);
    }
    // False for an index past the end.
    bool IsUsed(size_t i) const { return i < size() && ((used_[i / 64] >> (i % 64)) & 1u) != 0; }
    // Marks entry i used; false (and nothing changed) for an index past the end.
    bool MarkUsed(size_t i);
    IdEntry Entry(size_t i) const { return IdEntry{std::u16string(Text(i)), IsUsed(i)}; }

    // Appends an unused entry. False, with nothing appended, if the list's
    // text would outgrow its 32-bit offsets.
    bool Append(std::u16string_view text);
    void Clear();
    void swap(IdList& other) noexcept;
    // Releases spare room after filling.
    void ShrinkToFit();

    // The first unused entry at or after `from`, or size() when every entry
    // from there on is used; `from` itself when it is at or past the end.
    size_t NextUnused(size_t from) const;

    // The automatic write's cursor: 0 after each load, it moves only forward
    // and only over used entries, so every entry before it is used.
    //
    // Moves `cursor` over used entries. True when it stops on an unused entry
    // (the current ID), false when it reached the end of the list.
    bool AdvanceToUnused(uint32_t& cursor) const;
    // After a successful write of the entry under `cursor`: marks it used,
    // steps past it and on over used entries. True when an unused entry
    // follows. Does nothing and returns false when the cursor is at the end.
    bool MarkUsedAndAdvance(uint32_t& cursor);

    // Walks the whole list in order for entries equal to `text` (exact,
    // case-sensitive). For each such entry that is already used it calls
    // onUsedCopy(index); if that returns false the walk stops there.
    struct Match {
        size_t last = npos;    // last equal entry seen (npos: none)
        bool stopped = false;  // onUsedCopy returned false
    };
    template <typename OnUsedCopy>
    Match FindLastMatch(std::u16string_view text, OnUsedCopy&& onUsedCopy) const;
    // The last equal entry, or npos.
    size_t FindLast(std::u16string_view text) const;

    // Rows of the entries that begin with `prefix` upper-cased (a-z only), in
    // list order. An empty prefix gives every row.
    std::vector<uint32_t> FilterByPrefix(std::u16string_view prefix) const;

    // Bytes the list holds on to (capacity of its storage).
    size_t MemoryBytes() const;

private:
    friend struct IdListLoader;
    bool ReserveText(size_t units);

    LargeBuffer<char16_t> arena_;  // no zero-filling: it is written once
    size_t arenaSize_ = 0;
    size_t arenaCap_ = 0;
    std::vector<uint32_t> offsets_;  // size() + 1 entries, first one 0
    std::vector<uint64_t> used_;     // one bit per entry, bits past size() are 0
};

inline void swap(IdList& a, IdList& b) noexcept { a.swap(b); }

// Why a file could not be used as an ID list.
enum class IdFileError {
    None = 0,
    CannotOpen,  // missing, unreadable, or not a file whose size can be found
    IsFolder,    // the path names a folder
    NotAFile,    // a FIFO, socket or device node: refused before it is opened
    TooLarge,    // 4 GiB or more
    ShortRead,   // fewer bytes read than the size
    NoText,      // empty, or nothing but a byte-order mark
    NoMemory,    // too large for the memory at hand
};

const char* IdFileErrorText(IdFileError error);

// Builds the list from a whole file's bytes. On success `out` is replaced;
// on failure it is untouched. `kind` receives the detected encoding and
// `lines`, if given, the 1-based line of the cleaned text of every entry
// (0 for the single empty entry of a file without IDs).
IdFileError ParseIdFileBytes(const uint8_t* data, size_t size, IdList* out,
                             TextEncodingKind* kind = nullptr,
                             std::vector<uint32_t>* lines = nullptr);

// Reads a whole file and parses it; `out` is replaced only on success.
IdFileError ReadIdFile(const std::string& path, IdList* out, TextEncodingKind* kind = nullptr,
                       std::vector<uint32_t>* lines = nullptr);

// Loads a file as the list page does: on success the list is replaced (every
// entry unused) and the cursor goes to 0; on failure neither changes.
bool LoadIdFile(const std::string& path, IdList& list, uint32_t& cursor);

// ---------------------------------------------------------------------------

template <typename OnUsedCopy>
IdList::Match IdList::FindLastMatch(std::u16string_view text, OnUsedCopy&& onUsedCopy) const {
    Match m;
    const size_t n = size();
    for (size_t i = 0; i < n; ++i) {
        if (Text(i) != text) continue;
        m.last = i;
        if (IsUsed(i) && !onUsedCopy(i)) {
            m.stopped = true;
            break;
        }
    }
    return m;
}

}  // namespace ts
