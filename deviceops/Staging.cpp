#include "deviceops/Staging.h"

#include <cerrno>
#include <cstring>
#include <memory>

#include "platform/Codepage.h"
#include "platform/Files.h"

namespace ts::flow {
namespace {

// Trailing dots and spaces are not part of a FAT name.
std::u16string_view Trimmed(std::u16string_view name) {
    while (!name.empty() && (name.back() == u'.' || name.back() == u' ')) name.remove_suffix(1);
    return name;
}

bool FatCanHold(std::u16string_view name) {
    name = Trimmed(name);
    if (name.empty() || name.size() > 255) return false;
    for (size_t i = 0; i < name.size(); ++i) {
        const char16_t c = name[i];
        if (c < 0x20) return false;
        if (c < 0x80 && std::strchr("\"*:<>?|", static_cast<char>(c))) return false;
        // Long names are UTF-16: a surrogate must be one half of a pair.
        if (c >= 0xD800 && c <= 0xDBFF) {
            if (i + 1 == name.size() || name[i + 1] < 0xDC00 || name[i + 1] > 0xDFFF) return false;
            ++i;
        } else if (c >= 0xDC00 && c <= 0xDFFF) {
            return false;
        }
    }
    return true;
}

using files::Folder;

// Opens the folder `name` in `dir` without following a link.
Staged OpenFolder(Folder& dir, const std::string& name, bool create, std::unique_ptr<Folder>* out) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        *out = dir.OpenChild(name);
        if (*out) return Staged::kOk;
        const int err = errno;
        files::Status st;
        if (dir.StatChild(name, &st) && st.kind == files::Kind::Link) return Staged::kLink;
        if (err != ENOENT) return Staged::kFailed;
        if (!create) return Staged::kNoFolder;
        const int made = dir.MakeChild(name);
        if (made != 0 && made != EEXIST) return Staged::kFailed;
    }
    return Staged::kFailed;
}

Staged ReplaceFile(Folder& dir, const std::string& name, const std::function<bool(int)>& fill) {
    files::Status st;
    if (dir.StatChild(name, &st)) {
        if (st.kind == files::Kind::Link) return Staged::kLink;
        if (st.kind == files::Kind::Folder || dir.RemoveChildFile(name) != 0)
            return Staged::kFailed;
    } else if (errno != ENOENT) {
        return Staged::kFailed;
    }
    // Exclusive: whatever was put there since is never opened, let alone followed.
    const int fd = dir.CreateChildFile(name);
    if (fd < 0) {
        const bool link = dir.StatChild(name, &st) && st.kind == files::Kind::Link;
        return link ? Staged::kLink : Staged::kFailed;
    }
    bool ok = fill(fd);
    if (files::Close(fd) != 0) ok = false;
    return ok ? Staged::kOk : Staged::kFailed;
}

}  // namespace

StagePath ParseConfigPath(std::u16string_view value, bool ansi) {
    StagePath out;
    size_t start = 0;
    while (start <= value.size()) {
        size_t end = value.find_first_of(u"\\/", start);
        if (end == std::u16string_view::npos) end = value.size();
        std::u16string_view part = value.substr(start, end - start);
        start = end + 1;
        if (part.empty() || part == u".") continue;
        if (part == u"..") {
            out.status = StagePath::kOutside;
            return out;
        }
        if (!FatCanHold(part) || (ansi && AnsiToWide(WideToAnsi(part)) != part)) {
            out.status = StagePath::kBadName;
            return out;
        }
        out.parts.emplace_back(part);
    }
    return out;
}

std::u16string ImageKey(const std::vector<std::u16string>& parts) {
    std::u16string key;
    for (const auto& p : parts) {
        key += u'\\';
        for (char16_t c : Trimmed(p))
            key += (c >= u'a' && c <= u'z') ? static_cast<char16_t>(c - u'a' + u'A') : c;
    }
    return key;
}

StageOutcome StageFile(const std::string& appDir, const std::vector<std::u16string>& parts,
                       bool makeFolders, const std::function<bool(int fd)>& fill) {
    StageOutcome out;
    out.where = appDir + "prvdata";
    // The application folder itself may be reached through links (that is
    // the installation's choice); below it, nothing is followed.
    std::unique_ptr<Folder> app = Folder::Open(appDir);
    if (!app) return out;
    std::unique_ptr<Folder> dir;
    out.result = OpenFolder(*app, "prvdata", true, &dir);
    if (out.result != Staged::kOk) return out;
    if (parts.empty()) {
        out.result = Staged::kFailed;  // the staging folder itself is no file
        return out;
    }
    for (size_t i = 0; i + 1 < parts.size(); ++i) {
        const std::string name = WideToUtf8(parts[i]);
        out.where += "/" + name;
        std::unique_ptr<Folder> next;
        out.result = OpenFolder(*dir, name, makeFolders, &next);
        if (out.result != Staged::kOk) return out;
        dir = std::move(next);
    }
    const std::string name = WideToUtf8(parts.back());
    out.where += "/" + name;
    out.result = ReplaceFile(*dir, name, fill);
    return out;
}

}  // namespace ts::flow
