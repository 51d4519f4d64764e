#pragma once
// The write flow's staging folder: configuration paths checked against what
// the device's FAT image can hold, and files put below prvdata without ever
// following a link, so that nothing planted there can make a write create or
// overwrite a file elsewhere.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace ts::flow {

// A configuration path ("\SN\ID.txt") split into its names.
struct StagePath {
    enum Status {
        kOk,
        kOutside,  // a ".." part: it would leave the staging folder
        kBadName,  // a name the image cannot hold, or (when asked) not in CP936
    };
    Status status = kOk;
    std::vector<std::u16string> parts;  // empty parts and "." dropped
};

// `ansi`: each name must also survive the conversion to CP936 unchanged, as
// a path the read flow hands to the plug-in must.
StagePath ParseConfigPath(std::u16string_view value, bool ansi);

// Two paths name the same file in the image when their keys are equal: FAT
// drops trailing dots and spaces and ignores the case of ASCII letters.
std::u16string ImageKey(const std::vector<std::u16string>& parts);

enum class Staged {
    kOk,
    kLink,      // a link stands on the path: nothing was written
    kNoFolder,  // a folder on the path is missing and was not to be made
    kFailed,    // a folder or the file could not be made or filled
};

struct StageOutcome {
    Staged result = Staged::kFailed;
    std::string where;  // the local path at which it stopped
};

// Puts a new file at `parts` below appDir + "prvdata" (made when missing),
// creating missing folders on the way when `makeFolders`. The file replaces
// whatever file stood there (a new file, so a hard link to a file elsewhere
// keeps its content); `fill` writes its content to the open descriptor.
StageOutcome StageFile(const std::string& appDir, const std::vector<std::u16string>& parts,
                       bool makeFolders, const std::function<bool(int fd)>& fill);

}  // namespace ts::flow
