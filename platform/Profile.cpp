#include "platform/Profile.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <utility>
#include <vector>

#include "platform/Codepage.h"
#include "platform/DebugOut.h"
#include "platform/Files.h"
#include "platform/RegularFile.h"

namespace ts {
namespace {

enum class Encoding { kAnsi, kUtf8, kUtf16Le, kUtf16Be };

// One line of the file in its own encoding, line end kept apart so that
// untouched lines are written back exactly.
struct RawLine {
    std::string text;
    std::string eol;
};

struct Document {
    Encoding enc = Encoding::kAnsi;
    std::string bom;
    std::vector<RawLine> lines;
    std::string tail;  // a stray last byte of a UTF-16 file
};

enum class LoadStatus { kOk, kMissing, kError };

struct Loaded {
    LoadStatus status = LoadStatus::kError;
    std::string bytes;
};

void Debug(const std::string& what, const std::string& path, int err) {
    std::string line = "Profile " + what + " failed: " + path;
    if (err != 0) line += " (" + std::string(std::strerror(err)) + ")";
    OutputDebugStringW(W(line + "\n"));
}

class Fd {
public:
    explicit Fd(int fd) : fd_(fd) {}
    ~Fd() {
        if (fd_ >= 0) files::Close(fd_);
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    int get() const { return fd_; }
    int release() { return std::exchange(fd_, -1); }

private:
    int fd_;
};

Loaded ReadWhole(const std::string& path) {
    Loaded r;
    FileKind kind = FileKind::Regular;
    int err = 0;
    Fd fd(OpenRegularFile(path, &kind, &err));
    if (fd.get() < 0) {
        r.status = kind == FileKind::Missing ? LoadStatus::kMissing : LoadStatus::kError;
        if (r.status == LoadStatus::kError) {
            Debug(kind == FileKind::Regular ? std::string("open")
                                            : std::string("open (") + FileKindText(kind) + ")",
                  path, err);
        }
        return r;
    }
    char buf[65536];
    for (;;) {
        const long long n = files::Read(fd.get(), buf, sizeof buf);
        if (n < 0) {
            Debug("read", path, errno);
            return r;
        }
        if (n == 0) break;
        if (r.bytes.size() + static_cast<size_t>(n) > Profile::kMaxFileBytes) {
            Debug("read (file too large)", path, 0);
            return r;
        }
        r.bytes.append(buf, static_cast<size_t>(n));
    }
    r.status = LoadStatus::kOk;
    return r;
}

// ---- encodings ----

bool IsAscii(std::string_view s) {
    for (char c : s) {
        if (static_cast<unsigned char>(c) >= 0x80) return false;
    }
    return true;
}

bool IsAscii(std::u16string_view s) {
    for (char16_t c : s) {
        if (c >= 0x80) return false;
    }
    return true;
}

std::u16string Decode(Encoding enc, std::string_view raw) {
    switch (enc) {
        case Encoding::kAnsi:
            if (IsAscii(raw)) return std::u16string(raw.begin(), raw.end());
            return AnsiToWide(raw);
        case Encoding::kUtf8:
            return Utf8ToWide(raw);
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be: {
            const int hi = enc == Encoding::kUtf16Le ? 1 : 0;
            std::u16string out(raw.size() / 2, u'\0');
            for (size_t i = 0; i < out.size(); ++i) {
                auto b = [&](int k) { return static_cast<unsigned char>(raw[2 * i + k]); };
                out[i] = static_cast<char16_t>(b(1 - hi) | (b(hi) << 8));
            }
            return out;
        }
    }
    return {};
}

// Nothing when the text cannot be stored in the encoding without change.
std::optional<std::string> Encode(Encoding enc, std::u16string_view text) {
    switch (enc) {
        case Encoding::kAnsi: {
            if (IsAscii(text)) return std::string(text.begin(), text.end());
            std::string out = WideToAnsi(text);
            if (AnsiToWide(out) != text) return std::nullopt;
            return out;
        }
        case Encoding::kUtf8: {
            std::string out = WideToUtf8(text);
            if (Utf8ToWide(out) != text) return std::nullopt;
            return out;
        }
        case Encoding::kUtf16Le:
        case Encoding::kUtf16Be: {
            const bool le = enc == Encoding::kUtf16Le;
            std::string out(text.size() * 2, '\0');
            for (size_t i = 0; i < text.size(); ++i) {
                out[2 * i + (le ? 0 : 1)] = static_cast<char>(text[i] & 0xFF);
                out[2 * i + (le ? 1 : 0)] = static_cast<char>(text[i] >> 8);
            }
            return out;
        }
    }
    return std::nullopt;
}

Document Split(const std::string& bytes) {
    Document doc;
    std::string_view rest(bytes);
    if (rest.starts_with("\xFF\xFE")) {
        doc.enc = Encoding::kUtf16Le;
    } else if (rest.starts_with("\xFE\xFF")) {
        doc.enc = Encoding::kUtf16Be;
    } else if (rest.starts_with("\xEF\xBB\xBF")) {
        doc.enc = Encoding::kUtf8;
    }
    const size_t unit = doc.enc == Encoding::kUtf16Le || doc.enc == Encoding::kUtf16Be ? 2 : 1;
    doc.bom = std::string(rest.substr(0, doc.enc == Encoding::kAnsi ? 0 : (unit == 2 ? 2 : 3)));
    rest.remove_prefix(doc.bom.size());
    if (unit == 2 && rest.size() % 2 != 0) {
        doc.tail = std::string(rest.substr(rest.size() - 1));
        rest.remove_suffix(1);
    }
    // Line feed and carriage return in the file's own units.
    const std::string lf = *Encode(doc.enc, u"\n");
    const std::string cr = *Encode(doc.enc, u"\r");
    size_t start = 0;
    while (start < rest.size()) {
        size_t end = start;
        while (end < rest.size() && rest.compare(end, unit, lf) != 0) end += unit;
        RawLine line;
        size_t textEnd = end;
        if (end < rest.size()) {
            if (textEnd - start >= unit && rest.compare(textEnd - unit, unit, cr) == 0) {
                textEnd -= unit;
            }
            line.eol = std::string(rest.substr(textEnd, end + unit - textEnd));
            end += unit;
        }
        line.text = std::string(rest.substr(start, textEnd - start));
        doc.lines.push_back(std::move(line));
        start = end;
    }
    return doc;
}

// Re-encodes a code-page document as UTF-16LE with a mark, line by line, as
// it reads: used when a value the operator saves has no code-page form, so
// that it is stored exactly instead of being dropped or mangled.
void ConvertToUtf16(Document& doc) {
    for (RawLine& l : doc.lines) {
        l.text = *Encode(Encoding::kUtf16Le, Decode(Encoding::kAnsi, l.text));
        l.eol = *Encode(Encoding::kUtf16Le, Decode(Encoding::kAnsi, l.eol));
    }
    doc.enc = Encoding::kUtf16Le;
    doc.bom = "\xFF\xFE";
}

std::string Join(const Document& doc) {
    std::string out = doc.bom;
    for (const RawLine& l : doc.lines) out += l.text + l.eol;
    return out + doc.tail;
}

// ---- line syntax ----

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f';
}

std::u16string_view Trim(std::u16string_view s) {
    while (!s.empty() && IsBlank(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlank(s.back())) s.remove_suffix(1);
    return s;
}

char16_t FoldAscii(char16_t c) {
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c + (u'a' - u'A')) : c;
}

bool SameName(std::u16string_view a, std::u16string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (FoldAscii(a[i]) != FoldAscii(b[i])) return false;
    }
    return true;
}

struct Parsed {
    enum Kind { kOther, kSection, kKey } kind = kOther;
    std::u16string_view name;   // section or key
    std::u16string_view value;  // key lines
    size_t valueStart = 0;      // where the value begins in the decoded line
};

Parsed ParseLine(std::u16string_view line) {
    Parsed p;
    std::u16string_view t = Trim(line);
    if (t.empty() || t.front() == u';') return p;
    if (t.front() == u'[') {
        size_t close = t.find(u']');
        if (close != std::u16string_view::npos) {
            p.kind = Parsed::kSection;
            p.name = Trim(t.substr(1, close - 1));
            return p;
        }
    }
    size_t eq = line.find(u'=');
    if (eq == std::u16string_view::npos) return p;
    p.kind = Parsed::kKey;
    p.name = Trim(line.substr(0, eq));
    size_t v = eq + 1;
    while (v < line.size() && IsBlank(line[v])) ++v;
    p.valueStart = v;
    p.value = Trim(line.substr(v));
    return p;
}

// Where a key stands in a document.
struct Location {
    std::optional<size_t> keyLine;        // first occurrence in a matching section
    std::optional<size_t> section;        // header of the first matching section
    std::optional<size_t> lastInSection;  // last key line of that section
    std::u16string decodedKeyLine;
};

Location Find(const Document& doc, std::u16string_view section, std::u16string_view key) {
    Location loc;
    bool inMatch = false;
    bool inFirst = false;
    for (size_t i = 0; i < doc.lines.size(); ++i) {
        std::u16string line = Decode(doc.enc, doc.lines[i].text);
        Parsed p = ParseLine(line);
        if (p.kind == Parsed::kSection) {
            inMatch = SameName(p.name, section);
            inFirst = inMatch && !loc.section;
            if (inFirst) loc.section = i;
        } else if (p.kind == Parsed::kKey && inMatch) {
            if (inFirst) loc.lastInSection = i;
            if (SameName(p.name, key)) {
                loc.keyLine = i;
                loc.decodedKeyLine = std::move(line);
                return loc;
            }
        }
    }
    return loc;
}

std::optional<std::u16string> Lookup(const std::string& path, std::u16string_view section,
                                     std::u16string_view key) {
    Loaded file = ReadWhole(path);
    if (file.status != LoadStatus::kOk) return std::nullopt;
    Document doc = Split(file.bytes);
    Location loc = Find(doc, section, key);
    if (!loc.keyLine) return std::nullopt;
    return std::u16string(ParseLine(loc.decodedKeyLine).value);
}

std::u16string CutValue(std::u16string_view s) {
    s = s.substr(0, s.find(u'\0'));
    if (s.size() > Profile::kMaxValueChars) {
        s = s.substr(0, Profile::kMaxValueChars);
        // Never leave half of a surrogate pair at the cut.
        if (s.back() >= 0xD800 && s.back() <= 0xDBFF) s.remove_suffix(1);
    }
    return std::u16string(s);
}

bool HasAny(std::u16string_view s, std::u16string_view chars) {
    return s.find_first_of(chars) != std::u16string_view::npos;
}

const std::u16string_view kBreaks(u"\r\n\0", 3);

bool ValidName(std::u16string_view name) {
    return !name.empty() && Trim(name).size() == name.size() && !HasAny(name, kBreaks);
}

// ---- saving ----

// Sets one key in the document; false, with the document unchanged, when a
// part cannot be stored in the file's encoding.
bool SetKey(Document& doc, std::u16string_view section, std::u16string_view key,
            std::u16string_view value, const std::string& eol) {
    auto encode = [&](std::u16string_view text) { return Encode(doc.enc, text); };
    auto endLine = [&](size_t i) {
        if (doc.lines[i].eol.empty()) doc.lines[i].eol = eol;
    };
    const Location loc = Find(doc, section, key);
    const std::optional<std::string> encodedValue = encode(value);
    if (!encodedValue) return false;
    if (loc.keyLine) {
        // Keep everything up to the value as it stands (indent, key spelling,
        // blanks around '=').
        const Parsed p = ParseLine(loc.decodedKeyLine);
        std::optional<std::string> head =
            encode(std::u16string_view(loc.decodedKeyLine).substr(0, p.valueStart));
        if (!head) return false;
        doc.lines[*loc.keyLine].text = *head + *encodedValue;
        return true;
    }
    const std::optional<std::string> name = encode(key);
    if (!name) return false;
    RawLine line{*name + *encode(u"=") + *encodedValue, eol};
    if (loc.section) {
        const size_t after = loc.lastInSection.value_or(*loc.section);
        endLine(after);
        doc.lines.insert(doc.lines.begin() + static_cast<std::ptrdiff_t>(after) + 1,
                         std::move(line));
        return true;
    }
    const std::optional<std::string> header = encode(u"[" + std::u16string(section) + u"]");
    if (!header) return false;
    if (!doc.lines.empty()) endLine(doc.lines.size() - 1);
    doc.lines.push_back({*header, eol});
    doc.lines.push_back(std::move(line));
    return true;
}

}  // namespace

int Profile::GetInt(std::u16string_view section, std::u16string_view key, int def) const {
    std::optional<std::u16string> value = Lookup(path_, section, key);
    if (!value || value->empty()) return def;
    std::u16string_view s = *value;
    bool negative = false;
    if (!s.empty() && (s.front() == u'-' || s.front() == u'+')) {
        negative = s.front() == u'-';
        s.remove_prefix(1);
    }
    long long n = 0;
    for (char16_t c : s) {
        if (c < u'0' || c > u'9') break;
        n = n * 10 + (c - u'0');
        if (n > static_cast<long long>(INT_MAX) + 1) n = static_cast<long long>(INT_MAX) + 1;
    }
    if (negative) return static_cast<int>(-n);
    return n > INT_MAX ? INT_MAX : static_cast<int>(n);
}

std::u16string Profile::GetString(std::u16string_view section, std::u16string_view key,
                                  std::u16string_view def) const {
    std::optional<std::u16string> value = Lookup(path_, section, key);
    return CutValue(value ? std::u16string_view(*value) : def);
}

bool Profile::WriteString(std::u16string_view section, std::u16string_view key,
                          std::u16string_view value) const {
    const ProfileEntry entry{key, value};
    size_t refused = 0;
    return WriteStrings(section, std::span(&entry, 1), &refused) && refused == 0;
}

bool Profile::WriteStrings(std::u16string_view section, std::span<const ProfileEntry> entries,
                           size_t* refused) const {
    if (refused) *refused = 0;
    if (!ValidName(section) || HasAny(section, u"]")) {
        Debug("write (section cannot be stored)", path_, 0);
        if (refused) *refused = entries.size();
        return false;
    }
    std::vector<ProfileEntry> keep;
    for (const ProfileEntry& e : entries) {
        if (!ValidName(e.key) || HasAny(e.key, u"=") || e.key.front() == u'[' ||
            e.key.front() == u';' || HasAny(e.value, kBreaks)) {
            Debug("write (key or value cannot be stored): " + WideToUtf8(e.key), path_, 0);
            if (refused) ++*refused;
        } else {
            keep.push_back(e);
        }
    }
    if (keep.empty()) return true;

    const std::string target = files::ResolveLink(path_);
    Loaded file = ReadWhole(target);
    if (file.status == LoadStatus::kError) return false;
    const bool exists = file.status == LoadStatus::kOk;
    // The rename would slip past a file made read-only on purpose.
    if (exists && !files::MayWrite(target)) {
        Debug("write (file is read-only)", target, errno);
        return false;
    }
    Document doc = Split(file.bytes);
    if (doc.enc == Encoding::kAnsi) {
        bool fits = Encode(Encoding::kAnsi, u"[" + std::u16string(section) + u"]").has_value();
        for (const ProfileEntry& e : keep)
            fits = fits && Encode(Encoding::kAnsi, e.value) && Encode(Encoding::kAnsi, e.key);
        if (!fits) ConvertToUtf16(doc);
    }

    std::string eol = "\r\n";
    if (doc.enc != Encoding::kAnsi) eol = *Encode(doc.enc, u"\r\n");
    for (const RawLine& l : doc.lines) {
        if (!l.eol.empty()) {
            eol = l.eol;
            break;
        }
    }
    for (const ProfileEntry& e : keep) {
        if (!SetKey(doc, section, e.key, e.value, eol)) {
            Debug("write (not representable in the file's encoding): " + WideToUtf8(e.key), path_,
                  0);
            if (refused) ++*refused;
        }
    }
    std::string bytes = Join(doc);
    if (exists && bytes == file.bytes) return true;
    if (const int err = files::ReplaceWhole(target, bytes)) {
        Debug("write", target, err);
        return false;
    }
    return true;
}

}  // namespace ts
