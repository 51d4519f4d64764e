// Start-up loading of the plug-in manager and the file-system plug-in, and
// the manager's handling of requests.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <vector>

#include "deviceops/PluginLoader.h"
#include "deviceops/Station.h"
#include "deviceops/TagsmithCore.h"
#include "platform/Codepage.h"
#include "tests/support/TestSupport.h"

namespace ts::test {
namespace {

namespace fs = std::filesystem;

fs::path Built(const char* name) { return fs::path(AppDir()) / name; }

const VolkitApi kNoApi{};

TEST(PluginLoader, LoadsTheTableFromTheApplicationFolder) {
    const VolkitApi* api = LoadVolkit(AppDir());
    ASSERT_NE(api, nullptr);
    EXPECT_TRUE(api->VolOpen && api->VolFormat && api->VolCreateFile && api->VolSetFilePointer &&
                api->VolWriteFile && api->VolReadFile && api->VolImportDir && api->VolCloseFile &&
                api->VolClose);
    EXPECT_EQ(LoadVolkit(AppDir()), api);  // loaded once, kept

    // The loaded table is a working plug-in.
    TempDir dir;
    auto img = dir.Path() / "tmp.data";
    VolHandle h = api->VolOpen(img.c_str());
    ASSERT_GE(h, 0);
    EXPECT_EQ(api->VolFormat(h, 2, 2048, "MIDINFO"), 0);
    EXPECT_EQ(api->VolClose(h), 0);
    EXPECT_EQ(fs::file_size(img), 2048u * 512);
}

TEST(PluginLoader, AnyMissingPieceLeavesNoPlugin) {
    struct Case {
        const char* what;
        const char* asManager;  // built file copied in as modhost.so (null: none)
        const char* asPlugin;   // built file copied in as Volkit.so
        bool garbageManager;
    };
    const Case cases[] = {
        {"empty folder", nullptr, nullptr, false},
        {"no plug-in", "modhost.so", nullptr, false},
        {"manager without its export", "Volkit.so", "Volkit.so", false},
        {"plug-in without its export", "modhost.so", "modhost.so", false},
        {"manager not a library", nullptr, "Volkit.so", true},
    };
    // Folders stay until the end: a loaded copy is never unloaded, and a new
    // copy on a reused inode would be taken for it.
    std::vector<std::unique_ptr<TempDir>> dirs;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        dirs.push_back(std::make_unique<TempDir>());
        const fs::path& d = dirs.back()->Path();
        if (c.asManager) fs::copy_file(Built(c.asManager), d / "modhost.so");
        if (c.asPlugin) fs::copy_file(Built(c.asPlugin), d / "Volkit.so");
        if (c.garbageManager) WriteFile(d / "modhost.so", "not a shared object");
        EXPECT_EQ(LoadVolkit(dirs.back()->Dir()), nullptr);
    }
    // No folder at all: never a search of the system's library folders.
    EXPECT_EQ(LoadVolkit(""), nullptr);

    // A FIFO in place of either library is not waited on.
    for (const char* fifoName : {"modhost.so", "Volkit.so"}) {
        SCOPED_TRACE(fifoName);
        dirs.push_back(std::make_unique<TempDir>());
        const fs::path& d = dirs.back()->Path();
        for (const char* name : {"modhost.so", "Volkit.so"}) {
            if (std::strcmp(name, fifoName) == 0) {
                MakeFifo(d / name);
            } else {
                fs::copy_file(Built(name), d / name);
            }
        }
        const VolkitApi* api = &kNoApi;
        ASSERT_TRUE(
            ReturnsWithoutBlocking(d / fifoName, [&] { api = LoadVolkit(dirs.back()->Dir()); }));
        EXPECT_EQ(api, nullptr);
    }
}

TEST(PluginLoader, AnApplicationFolderTooLongForTheRequestSaysSo) {
    struct Case {
        size_t bytes;  // the application folder's path with its final '/'
        bool loads;
    };
    const Case cases[] = {{250, true}, {251, false}, {400, false}};
    // Folders stay until the end: a loaded plug-in is never unloaded.
    std::vector<std::unique_ptr<TempDir>> roots;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.bytes);
        roots.push_back(std::make_unique<TempDir>());
        std::string dir = roots.back()->Dir();
        ASSERT_LT(dir.size() + 2, c.bytes);
        // Deep enough, in parts a file system takes.
        while (dir.size() < c.bytes) {
            const size_t part = std::min<size_t>(c.bytes - dir.size() - 1, 200);
            dir += std::string(std::max<size_t>(part, 1), 'd') + "/";
        }
        ASSERT_EQ(dir.size(), c.bytes);
        InstallApp(dir, {"modhost.so", "Volkit.so", "tagsmith.cfg"});
        TagsmithCore fresh;
        MemoryLogView freshLog;
        StationParts parts;
        parts.appDir = dir;
        parts.log = &freshLog;
        const StationOpen opened = OpenStation(fresh, parts);
        EXPECT_EQ(opened == StationOpen::Ok, c.loads);
        EXPECT_EQ(fresh.VolkitTable() != nullptr, c.loads);
        if (c.loads) {
            EXPECT_EQ(freshLog.text, u"");
        } else {
            EXPECT_EQ(WideToUtf8(freshLog.text),
                      "\r\n无法加载文件系统插件 (Volkit)：程序所在目录的路径过长（" +
                          std::to_string(c.bytes) + " 字节，最多 250 字节）：" + dir);
        }
    }
}

TEST(PluginLoader, FolderLimitCountsThePluginFileOfEachSystem) {
    struct Case {
        const char* suffix;  // the system's library ending
        size_t bytes;        // the application folder's path with its final '/'
        bool fits;
    };
    // Linux names the plug-in Volkit.so, Windows Volkit.dll: one byte longer.
    const Case cases[] = {
        {".so", 250, true},
        {".so", 251, false},
        {".dll", 249, true},
        {".dll", 250, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.suffix) + " " + std::to_string(c.bytes));
        EXPECT_EQ(c.bytes <= MaxPluginDirBytes(c.suffix), c.fits);
        // The path the loader sends, with its closing zero, in the request.
        const std::string path = std::string(c.bytes - 1, 'd') + "/" + VolkitFileName(c.suffix);
        EXPECT_EQ(path.size() < sizeof(PluginRequest::path), c.fits);
    }
}

class PluginManagerTest : public ::testing::Test {
protected:
    // A private copy of the manager, so that its state starts empty.
    void SetUp() override {
        fs::copy_file(Built("modhost.so"), dir_.Path() / "modhost.so");
        lib_ = dlopen((dir_.Path() / "modhost.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr);
        auto get = reinterpret_cast<GetPluginManFn>(dlsym(lib_, "GetPluginMan"));
        ASSERT_NE(get, nullptr);
        man_ = get();
        ASSERT_NE(man_, nullptr);
    }

    static PluginRequest Request(const std::string& id, const std::string& path) {
        PluginRequest r{};
        std::memcpy(r.id, id.data(), std::min(id.size(), sizeof r.id));
        std::memcpy(r.path, path.data(), std::min(path.size(), sizeof r.path));
        return r;
    }

    TempDir dir_;
    void* lib_ = nullptr;
    const PluginManager* man_ = nullptr;
};

TEST_F(PluginManagerTest, HandsOutThePluginOnlyForItsIdentifier) {
    const std::string plugin = Built("Volkit.so").string();
    const std::string id = VOLKIT_PLUGIN_ID;
    struct Refused {
        const char* what;
        PluginRequest req;
    };
    const Refused refused[] = {
        {"other identifier", Request("00000000-5B48-4a6e-9F02-7D8E41B6C5A3", plugin)},
        {"identifier with more after it", Request(id + "X", plugin)},
        {"identifier filling its field, unterminated", Request(std::string(64, 'A'), plugin)},
        {"empty identifier", Request("", plugin)},
        {"path filling its field, unterminated", Request(id, std::string(260, 'x'))},
        {"no such library", Request(id, "/nonexistent/Volkit.so")},
        {"a library that is no plug-in", Request(id, Built("modhost.so").string())},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.what);
        EXPECT_EQ(man_->LoadPlugin(&r.req), -1);
        EXPECT_EQ(man_->QueryPlugin(&r.req), nullptr);
    }
    EXPECT_EQ(man_->LoadPlugin(nullptr), -1);
    EXPECT_EQ(man_->QueryPlugin(nullptr), nullptr);

    // The identifier is compared without regard to case.
    PluginRequest good = Request("3c71d2e9-5b48-4A6E-9f02-7d8e41b6c5a3", plugin);
    EXPECT_EQ(man_->LoadPlugin(&good), 0);
    const VolkitApi* api = man_->QueryPlugin(&good);
    ASSERT_NE(api, nullptr);
    EXPECT_EQ(man_->QueryPlugin(&refused[0].req), nullptr);
    // Loaded once; later requests get the same table.
    PluginRequest again = Request(id, plugin);
    EXPECT_EQ(man_->LoadPlugin(&again), 0);
    EXPECT_EQ(man_->QueryPlugin(&again), api);
}

}  // namespace
}  // namespace ts::test
