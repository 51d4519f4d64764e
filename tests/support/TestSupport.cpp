#include "tests/support/TestSupport.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <future>
#include <random>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/Files.h"

namespace ts::test {

TempDir::TempDir() {
    std::random_device rd;
    for (;;) {
        auto p =
            std::filesystem::temp_directory_path() /
            ("tagsmith-test-" + std::to_string(files::ProcessId()) + "-" + std::to_string(rd()));
        if (std::filesystem::create_directory(p)) {
            path_ = p;
            return;
        }
    }
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string AppDir() {
    if (const char* env = std::getenv("TAGSMITH_APPDIR")) return env;
#ifdef TAGSMITH_APPDIR
    return TAGSMITH_APPDIR;
#else
    return "./";
#endif
}

void InstallApp(const std::filesystem::path& dir, std::initializer_list<const char*> names) {
    namespace fs = std::filesystem;
    fs::create_directories(dir);
    for (const char* name : names) {
        fs::path from = fs::path(AppDir()) / name;
#ifdef TAGSMITH_SOURCE_DIR
        fs::path example = fs::path(TAGSMITH_SOURCE_DIR) / "res" / "example" / name;
        if (fs::exists(example)) from = example;
#endif
        if (fs::exists(from)) fs::copy_file(from, dir / name, fs::copy_options::overwrite_existing);
    }
}

std::string ReadFile(const std::filesystem::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

void WriteFile(const std::filesystem::path& p, const std::string& bytes) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

std::string Utf16Le(std::u16string_view w) {
    std::string s;
    for (char16_t c : w) {
        s.push_back(static_cast<char>(c & 0xFF));
        s.push_back(static_cast<char>(c >> 8));
    }
    return s;
}

std::string Utf16Be(std::u16string_view w) {
    std::string s;
    for (char16_t c : w) {
        s.push_back(static_cast<char>(c >> 8));
        s.push_back(static_cast<char>(c & 0xFF));
    }
    return s;
}

}  // namespace ts::test
