#pragma once
// The tool's INI-style configuration file ("profile"): section headers in
// square brackets, "key=value" lines. Every call reads the file afresh, so
// keys edited by hand while the tool runs take effect at the next read.
//
// Matching: section and key names ignore ASCII letter case; blanks around
// names, '=' and values are trimmed; values are taken as they stand (quotes
// are not removed). Lines starting with ';' are comments.
//
// Encoding: a file starting with a UTF-16LE, UTF-16BE or UTF-8 byte-order mark
// is read and written in that encoding (mark kept); any other file, and a new
// one, is CP936 with "\r\n" line ends, until a value GBK lacks is saved: the
// file then becomes UTF-16LE with a mark. Lines the tool does not change are
// otherwise written back byte for byte.
//
// Saving replaces the file atomically (temporary file in the same folder,
// flushed to disk, renamed over the original): a crash or a full disk never
// leaves a truncated configuration.
#include <cstdint>
#include <span>
#include <string>
#include <string_view>

namespace ts {

namespace cfg {
inline constexpr char kFileName[] = "tagsmith.cfg";
inline constexpr char16_t kSection[] = u"Option";
// Written by the tool.
inline constexpr char16_t kOption[] = u"option";
inline constexpr char16_t kIdFile[] = u"idfile";
inline constexpr char16_t kIdValue[] = u"idvalue";
inline constexpr char16_t kIdValue2[] = u"idvalue2";
inline constexpr char16_t kMode[] = u"mode";
inline constexpr char16_t kIdPrefix[] = u"idprefix";
inline constexpr char16_t kIdAuto[] = u"idauto";
inline constexpr char16_t kIdSuffix[] = u"idsuffix";
inline constexpr char16_t kTabMode[] = u"tabmode";
// Gang mode (1: every attached device at once); written once it was set.
inline constexpr char16_t kGang[] = u"gang";
// Supplied by the installation; only read.
inline constexpr char16_t kSnPath[] = u"SNPath";
inline constexpr char16_t kUlpk0[] = u"ulpk0";
inline constexpr char16_t kUlpk1[] = u"ulpk1";
}  // namespace cfg

// appDir ends in a separator; the name is appended as it stands.
inline std::string ConfigPathIn(const std::string& appDir) { return appDir + cfg::kFileName; }

struct ProfileEntry {
    std::u16string_view key;
    std::u16string_view value;
};

class Profile {
public:
    // Text values are read into a 260-character buffer: 259 characters at most.
    static constexpr size_t kMaxValueChars = 259;
    // A larger file is not a configuration: reads give the defaults and
    // writes are refused, so it is never rewritten.
    static constexpr std::uintmax_t kMaxFileBytes = 64u << 20;

    explicit Profile(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // The value as a decimal integer: missing key (or empty value) gives
    // `def`; leading digits count ("12abc" is 12), an optional sign is
    // accepted, anything else is 0; values beyond the int range saturate.
    int GetInt(std::u16string_view section, std::u16string_view key, int def) const;

    // The value cut to kMaxValueChars (and at a NUL character); `def`, cut the
    // same way, when the key, the section or the file is missing or unreadable.
    std::u16string GetString(std::u16string_view section, std::u16string_view key,
                             std::u16string_view def = u"") const;

    // Sets one key: replaces the value of its first occurrence in place, or
    // appends it at the end of its section, or appends the section at the end
    // of the file, creating the file if needed. False, with the file
    // untouched, when the file cannot be read, is read-only or cannot be
    // replaced, or when the text cannot be stored faithfully: a line break or
    // NUL anywhere, a name that would not be read back as given (empty, blanks
    // at its ends, '[' or ';' starting a key, '=' in a key, ']' in a
    // section), or a character a marked UTF-8 file cannot hold. A code-page
    // file that cannot hold the text is converted to UTF-16LE with a mark.
    bool WriteString(std::u16string_view section, std::u16string_view key,
                     std::u16string_view value) const;

    // Sets several keys of one section in a single replacement of the file,
    // so that a reader, a kill or a full disk sees all of them or none. Each
    // key is set as WriteString sets it; a key that cannot be stored
    // faithfully is skipped (it keeps its previous value) and counted in
    // `refused`. False, with the file untouched, when the file cannot be
    // read, is read-only or cannot be replaced, or the section name cannot
    // be stored.
    bool WriteStrings(std::u16string_view section, std::span<const ProfileEntry> entries,
                      size_t* refused = nullptr) const;

private:
    std::string path_;
};

}  // namespace ts
