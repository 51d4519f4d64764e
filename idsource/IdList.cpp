#include "idsource/IdList.h"

#include <algorithm>
#include <bit>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <new>

#include "platform/Codepage.h"
#include "platform/Files.h"
#include "platform/RegularFile.h"

namespace ts {
namespace {

constexpr size_t kReserveEntries = 1024;
constexpr uint64_t kMaxFileSize = 1ull << 32;  // 4 GiB and more are refused

}  // namespace

// --------------------------------------------------------------- storage ---

IdList::IdList() {
    offsets_.reserve(kReserveEntries + 1);
    offsets_.push_back(0);
}

void IdList::Clear() {
    IdList fresh;
    swap(fresh);
}

void IdList::swap(IdList& other) noexcept {
    arena_.swap(other.arena_);
    std::swap(arenaSize_, other.arenaSize_);
    std::swap(arenaCap_, other.arenaCap_);
    offsets_.swap(other.offsets_);
    used_.swap(other.used_);
}

bool IdList::MarkUsed(size_t i) {
    if (i >= size()) return false;
    used_[i / 64] |= uint64_t{1} << (i % 64);
    return true;
}

bool IdList::ReserveText(size_t units) {
    if (units <= arenaCap_) return true;
    size_t granted = 0;
    auto grown = AllocateLarge<char16_t>(units, &granted);
    if (!grown) return false;
    if (arenaSize_ != 0) std::memcpy(grown.get(), arena_.get(), arenaSize_ * sizeof(char16_t));
    arena_ = std::move(grown);
    arenaCap_ = granted;
    return true;
}

bool IdList::Append(std::u16string_view text) {
    constexpr size_t kMax = std::numeric_limits<uint32_t>::max();
    if (text.size() > kMax - arenaSize_ || size() + 1 >= kMax) return false;
    if (arenaSize_ + text.size() > arenaCap_) {
        size_t want = std::max<size_t>(arenaSize_ + text.size(), arenaCap_ * 2);
        if (!ReserveText(std::max<size_t>(std::min(want, kMax), 64))) return false;
    }
    if (!text.empty())
        std::memcpy(arena_.get() + arenaSize_, text.data(), text.size() * sizeof(char16_t));
    arenaSize_ += text.size();
    offsets_.push_back(static_cast<uint32_t>(arenaSize_));
    if (used_.size() * 64 < size()) used_.push_back(0);
    return true;
}

void IdList::ShrinkToFit() {
    if (arenaCap_ > arenaSize_) {
        // Shrunk in place, so the text never exists twice; if that fails
        // the spare room just stays.
        const size_t units = std::max<size_t>(arenaSize_, 1);
        if (void* p = std::realloc(arena_.get(), units * sizeof(char16_t))) {
            (void)arena_.release();
            arena_.reset(static_cast<char16_t*>(p));
            arenaCap_ = units;
        }
    }
    offsets_.shrink_to_fit();
    used_.shrink_to_fit();
}

size_t IdList::MemoryBytes() const {
    return arenaCap_ * sizeof(char16_t) + offsets_.capacity() * sizeof(uint32_t) +
           used_.capacity() * sizeof(uint64_t);
}

// ------------------------------------------------------------ operations ---

size_t IdList::NextUnused(size_t from) const {
    const size_t n = size();
    if (from >= n) return from;  // a cursor past the end stays where it is
    size_t i = from;
    while (i < n) {
        const uint64_t word = used_[i / 64] >> (i % 64);
        if (word != ~uint64_t{0} >> (i % 64)) {
            // An unused entry lies in the rest of this word (bits past the
            // end of the list are 0, hence the clamp).
            const size_t k = static_cast<size_t>(std::countr_one(word));
            return std::min(i + k, n);
        }
        i = (i / 64 + 1) * 64;  // the whole rest of the word is used
    }
    return n;
}

bool IdList::AdvanceToUnused(uint32_t& cursor) const {
    const size_t next = NextUnused(cursor);
    cursor = static_cast<uint32_t>(next);
    return next < size();
}

bool IdList::MarkUsedAndAdvance(uint32_t& cursor) {
    if (!MarkUsed(cursor)) return false;
    ++cursor;
    return AdvanceToUnused(cursor);
}

size_t IdList::FindLast(std::u16string_view text) const {
    return FindLastMatch(text, [](size_t) { return true; }).last;
}

std::vector<uint32_t> IdList::FilterByPrefix(std::u16string_view prefix) const {
    std::u16string upper(prefix);
    for (char16_t& c : upper)
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - (u'a' - u'A'));
    const size_t n = size();
    const size_t plen = upper.size();
    std::vector<uint32_t> rows;
    if (plen == 0) {
        rows.resize(n);
        for (size_t i = 0; i < n; ++i) rows[i] = static_cast<uint32_t>(i);
        return rows;
    }
    const char16_t* base = arena_.get();
    const char16_t first = upper[0];
    for (size_t i = 0; i < n; ++i) {
        const uint32_t b = offsets_[i];
        if (offsets_[i + 1] - b < plen || base[b] != first) continue;
        if (std::memcmp(base + b, upper.data(), plen * sizeof(char16_t)) == 0)
            rows.push_back(static_cast<uint32_t>(i));
    }
    return rows;
}

// ---------------------------------------------------------------- loading ---

namespace {

// Cleans and splits widened text as it streams by, writing straight into the
// new list's text: the text ends at U+0000, CR, space and tab vanish, LF ends
// a line, empty lines vanish, a-z become A-Z.
class LineSink {
public:
    LineSink(char16_t* out, std::vector<uint32_t>& offsets, std::vector<uint32_t>* lines)
        : base_(out), out_(out), offsets_(offsets), lines_(lines) {}

    bool operator()(char16_t u) {
        if (u > u' ') {
            if (u >= u'a' && u <= u'z') u = static_cast<char16_t>(u - (u'a' - u'A'));
            *out_++ = u;
            return true;
        }
        switch (u) {
            case u'\0':
                return false;
            case u'\n':
                EndLine();
                ++lineNo_;
                return true;
            case u'\r':
            case u' ':
            case u'\t':
                return true;
            default:
                *out_++ = u;
                return true;
        }
    }

    // N bytes 21-7F at once: no blank, break or NUL among them, so they
    // only need upper-casing and widening (a fixed-length loop the compiler
    // turns into vector code).
    template <int N>
    void PutPlain(const uint8_t* p) {
        for (int k = 0; k < N; ++k) {
            const uint8_t c = p[k];
            out_[k] = static_cast<char16_t>(c - (static_cast<uint8_t>(c - 'a') < 26 ? 0x20 : 0));
        }
        out_ += N;
    }

    // Closes the last line (a final line feed is optional); returns the
    // number of text units written.
    size_t Finish() {
        EndLine();
        return static_cast<size_t>(out_ - base_);
    }

private:
    void EndLine() {
        const auto end = static_cast<uint32_t>(out_ - base_);
        if (end == offsets_.back()) return;
        offsets_.push_back(end);
        if (lines_) lines_->push_back(lineNo_);
    }

    char16_t* base_;
    char16_t* out_;
    std::vector<uint32_t>& offsets_;
    std::vector<uint32_t>* lines_;
    uint32_t lineNo_ = 1;
};

// True when all eight bytes are 21-7F: printable ASCII (and DEL).
inline bool Plain8(uint64_t w) {
    constexpr uint64_t kOnes = 0x0101010101010101ull;
    constexpr uint64_t kHigh = 0x8080808080808080ull;
    const uint64_t below21 = (w - kOnes * 0x21) & ~w & kHigh;  // any byte < 0x21
    return (below21 | (w & kHigh)) == 0;
}

inline uint64_t Load8(const uint8_t* p) {
    uint64_t w;
    std::memcpy(&w, p, 8);
    return w;
}

// Feeds 8-bit text (ASCII, or UTF-8 when kUtf8) to the sink, taking runs of
// plain ASCII sixteen or eight bytes at a time.
template <bool kUtf8>
void FeedBytes(std::string_view text, LineSink& sink) {
    const auto* p = reinterpret_cast<const uint8_t*>(text.data());
    const size_t n = text.size();
    size_t i = 0;
    while (i < n) {
        if (n - i >= 16 && Plain8(Load8(p + i)) && Plain8(Load8(p + i + 8))) {
            sink.PutPlain<16>(p + i);
            i += 16;
            continue;
        }
        if (n - i >= 8 && Plain8(Load8(p + i))) {
            sink.PutPlain<8>(p + i);
            i += 8;
            continue;
        }
        if (!kUtf8 || p[i] < 0x80) {
            if (!sink(static_cast<char16_t>(p[i]))) return;
            ++i;
            continue;
        }
        if (!detail::FeedUtf8Seq(p, n, i, sink)) return;
    }
}

}  // namespace

// The list is filled through its private members, so the loader is a friend.
struct IdListLoader {
    static IdFileError Parse(const uint8_t* data, size_t size, IdList* out, TextEncodingKind* kind,
                             std::vector<uint32_t>* lines) {
        try {
            return ParseOrThrow(data, size, out, kind, lines);
        } catch (const std::bad_alloc&) {
            return IdFileError::NoMemory;  // `out` is only swapped at the very end
        }
    }

    static IdFileError ParseOrThrow(const uint8_t* data, size_t size, IdList* out,
                                    TextEncodingKind* kind, std::vector<uint32_t>* lines) {
        if (data == nullptr) size = 0;
        if (static_cast<uint64_t>(size) >= kMaxFileSize) return IdFileError::TooLarge;
        const TextFileDecoder decoder(data, size);
        if (kind) *kind = decoder.Kind();
        const std::string_view text = decoder.Text();
        if (decoder.OutOfMemory()) return IdFileError::NoMemory;
        if (text.empty()) return IdFileError::NoText;

        // Code-page text is cut at its first 0 byte before it is converted:
        // no CP936 character holds a 0 byte and the text ends at the U+0000
        // it would become, so a file padded with zeros costs no conversion.
        std::string_view used = text;
        if (decoder.Kind() == TextEncodingKind::Ansi) {
            if (const void* nul = std::memchr(text.data(), 0, text.size()))
                used = text.substr(
                    0, static_cast<size_t>(static_cast<const char*>(nul) - text.data()));
        }
        // Widened text never has more units than the 8-bit text has bytes,
        // so that bound sizes the list's text once.
        const size_t bound = used.size();

        IdList list;
        std::vector<uint32_t> lineNumbers;
        if (lines) lineNumbers.reserve(kReserveEntries);
        if (!list.ReserveText(std::max<size_t>(bound, 1))) return IdFileError::NoMemory;
        LineSink sink(list.arena_.get(), list.offsets_, lines ? &lineNumbers : nullptr);
        switch (decoder.Kind()) {
            case TextEncodingKind::Ansi: {
                // Converted in pieces straight into the list, never as a
                // whole second copy; the bound is checked all the same.
                size_t room = bound;
                AnsiToWidePieces(used, [&](std::u16string_view piece) {
                    if (piece.size() > room) piece = piece.substr(0, room);
                    room -= piece.size();
                    for (char16_t u : piece)
                        if (!sink(u)) return false;
                    return room > 0;
                });
                break;
            }
            case TextEncodingKind::Ascii:
                // Below 0x80 the station's code page is ASCII: no converter.
                FeedBytes<false>(used, sink);
                break;
            default:
                FeedBytes<true>(used, sink);
                break;
        }
        list.arenaSize_ = sink.Finish();
        if (list.size() == 0) {
            // No ID at all: one empty entry, so the page has a current ID.
            list.offsets_.push_back(0);
            if (lines) lineNumbers.push_back(0);
        }
        list.used_.assign((list.size() + 63) / 64, 0);
        // Give back the room that blanks and line feeds did not need, when
        // it is worth a copy.
        if (list.arenaCap_ - list.arenaSize_ > list.arenaCap_ / 8) list.ShrinkToFit();
        if (list.offsets_.capacity() - list.offsets_.size() > list.offsets_.size() / 16)
            list.offsets_.shrink_to_fit();

        out->swap(list);
        if (lines) lines->swap(lineNumbers);
        return IdFileError::None;
    }
};

const char* IdFileErrorText(IdFileError error) {
    switch (error) {
        case IdFileError::None:
            return "loaded";
        case IdFileError::CannotOpen:
            return "the file cannot be opened";
        case IdFileError::IsFolder:
            return "the path is a folder, not a file";
        case IdFileError::NotAFile:
            return "the path is a FIFO, socket or device node, not a file";
        case IdFileError::TooLarge:
            return "the file is 4 GiB or larger";
        case IdFileError::ShortRead:
            return "the file could not be read whole";
        case IdFileError::NoText:
            return "the file holds no text (it is empty or holds only a byte-order mark)";
        case IdFileError::NoMemory:
            return "not enough memory to load the file";
    }
    return "unknown error";
}

IdFileError ParseIdFileBytes(const uint8_t* data, size_t size, IdList* out, TextEncodingKind* kind,
                             std::vector<uint32_t>* lines) {
    if (out == nullptr) return IdFileError::CannotOpen;
    return IdListLoader::Parse(data, size, out, kind, lines);
}

IdFileError ReadIdFile(const std::string& path, IdList* out, TextEncodingKind* kind,
                       std::vector<uint32_t>* lines) {
    if (out == nullptr) return IdFileError::CannotOpen;
    FileKind what = FileKind::Regular;
    const int fd = OpenRegularFile(path, &what);
    if (fd < 0) {
        if (what == FileKind::Folder) return IdFileError::IsFolder;
        if (what == FileKind::Special) return IdFileError::NotAFile;
        return IdFileError::CannotOpen;
    }
    struct Closer {
        int fd;
        ~Closer() { files::Close(fd); }
    } closer{fd};

    files::Status st;
    if (!files::StatFd(fd, &st)) return IdFileError::CannotOpen;
    const uint64_t size = st.size;
    if (size >= kMaxFileSize) return IdFileError::TooLarge;

    // One byte more for a terminating 0 after the data.
    auto buf = AllocateLarge<uint8_t>(static_cast<size_t>(size) + 1);
    if (!buf) return IdFileError::NoMemory;
    size_t got = 0;
    while (got < size) {
        const long long r = files::Read(fd, buf.get() + got, static_cast<size_t>(size) - got);
        if (r <= 0) break;
        got += static_cast<size_t>(r);
    }
    if (got < size) return IdFileError::ShortRead;
    buf[got] = 0;
    return IdListLoader::Parse(buf.get(), got, out, kind, lines);
}

bool LoadIdFile(const std::string& path, IdList& list, uint32_t& cursor) {
    if (ReadIdFile(path, &list) != IdFileError::None) return false;
    cursor = 0;
    return true;
}

}  // namespace ts
