#pragma once
// Helpers shared by the test programs.
#include <filesystem>
#include <functional>
#include <initializer_list>
#include <string>
#include <string_view>

// Built with AddressSanitizer: its shadow memory, reservations and pace make
// a bound on memory or address space meaningless.
#if defined(__SANITIZE_ADDRESS__)
#define TS_ADDRESS_SANITIZER 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define TS_ADDRESS_SANITIZER 1
#endif
#endif

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

// Copies the named files into a private application folder `dir`: the
// example installation (tagsmith.cfg, ulpkData.bin, sample.ids) from the
// sources, so that settings a run saved in the build's folder never leak into
// a test; everything else (binaries, plug-ins) from the build's folder.
void InstallApp(const std::filesystem::path& dir, std::initializer_list<const char*> names);

std::string ReadFile(const std::filesystem::path& p);
void WriteFile(const std::filesystem::path& p, const std::string& bytes);

// The bytes of a text in UTF-16, little- and big-endian, without a mark.
std::string Utf16Le(std::u16string_view w);
std::string Utf16Be(std::u16string_view w);

// Runs a shell command, returns its exit status and fills `out` with stdout.
int RunCommand(const std::string& command, std::string* out = nullptr);
// The ID file (/sn/id.txt) in a device image, read with mtools up to its
// terminator; empty when the image holds none (Linux only, as RunCommand).
std::string IdInImage(const std::filesystem::path& image);

// Makes a FIFO at `p`.
void MakeFifo(const std::filesystem::path& p);

// Runs `call` on a thread and waits for it to return (a hang guard, not a
// speed check). When it is still running after 30 s it is taken to be
// blocked in open() on the FIFO `fifo`: the FIFO is opened for writing and
// closed, which releases such a reader, and the result is false.
bool ReturnsWithoutBlocking(const std::filesystem::path& fifo, const std::function<void()>& call);

}  // namespace ts::test
