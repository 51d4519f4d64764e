#pragma once
// Helpers shared by the test programs.
#include <filesystem>
#include <string>
#include <string_view>

namespace ts::test {

// A fresh empty folder under the system's temp folder, removed on destruction.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }
    // The folder as an application-folder text (ends in '/').
    std::string Dir() const { return path_.string() + "/"; }

private:
    std::filesystem::path path_;
};

// The build's application folder (executables and plug-ins), ending in '/'.
std::string AppDir();

std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& bytes);

// The bytes of a text in UTF-16, little- and big-endian, without a mark.
std::string Utf16Le(std::u16string_view w);
std::string Utf16Be(std::u16string_view w);

// Runs a shell command, returns its exit status and fills `out` with stdout.
int RunCommand(const std::string& command, std::string* out = nullptr);

}  // namespace ts::test
