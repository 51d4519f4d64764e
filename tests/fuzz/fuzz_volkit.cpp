// Feeds untrusted images to the FAT code: either the input itself as an
// image, or a valid small image with the input's patches laid over it. The
// image is mounted, files are looked up and read, and on some inputs one is
// written; nothing may crash or touch memory outside its buffers.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <vector>

#include "FatVolume.h"
#include "Storage.h"

using namespace ts::volkit;

namespace {

std::vector<uint8_t> g_seed;

void PutFile(const std::filesystem::path& p, size_t n, char fill) {
    std::filesystem::create_directories(p.parent_path());
    std::ofstream(p, std::ios::binary) << std::string(n, fill);
}

// A 64 KiB volume holding an ID file, a long-named folder and a file of
// several clusters.
std::vector<uint8_t> MakeSeed() {
    char tmpl[] = "/tmp/fuzz-volkit-XXXXXX";
    if (!mkdtemp(tmpl)) return {};
    std::filesystem::path root = tmpl;
    PutFile(root / "SN" / "ID.txt", 5, '7');
    PutFile(root / "Long Folder Name" / "a long file name.bin", 5000, 'x');
    PutFile(root / "Long Folder Name" / "empty", 0, 0);
    MemoryStorage s({});
    std::unique_ptr<FatVolume> v;
    if (FatVolume::Format(s, 2, 128, "MIDINFO", &v) == 0) v->ImportDir(root.string(), "\\");
    std::filesystem::remove_all(root);
    return s.Bytes();
}

const char* const kPaths[] = {
    "\\SN\\ID.txt",
    "\\Long Folder Name\\a long file name.bin",
    "\\LONGFO~1\\ALONGF~1.BIN",
    "/long folder name/../SN/id.TXT",
    "\\Long Folder Name\\empty",
};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    g_seed = MakeSeed();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    uint8_t mode = data[0];
    std::vector<uint8_t> image;
    if (mode & 1) {
        image.assign(data + 1, data + size);
    } else {
        // Patches: offset (2 bytes, little-endian), length (1 byte), bytes.
        image = g_seed;
        for (size_t i = 1; i + 3 <= size;) {
            size_t off = data[i] | (data[i + 1] << 8);
            size_t len = data[i + 2];
            i += 3;
            for (size_t k = 0; k < len && i < size; ++k, ++i)
                if (off + k < image.size()) image[off + k] = data[i];
        }
    }
    // Every other input goes through the plug-in's write buffer, kept small
    // so that it also commits by itself.
    MemoryStorage memory(std::move(image), 1 << 20);
    BufferedStorage buffered(memory, 4 * BufferedStorage::kPage);
    Storage& storage = (mode & 4) ? static_cast<Storage&>(buffered) : memory;
    std::unique_ptr<FatVolume> vol;
    if (FatVolume::Mount(storage, &vol) != 0) return 0;

    std::vector<uint8_t> buf(4096);
    for (const char* path : kPaths) {
        FileCursor f;
        if (vol->Open(path, kOpenExisting, true, false, &f) != 0) continue;
        int err = 0;
        for (size_t total = 0; total < (1u << 20);) {
            int64_t n = vol->Read(f, buf.data(), static_cast<uint32_t>(buf.size()), &err);
            if (n <= 0) break;
            total += static_cast<size_t>(n);
        }
    }
    if (mode & 2) {
        FileCursor w;
        if (vol->Open("\\Long Folder Name\\new file written.txt", kOpenAlways, true, true, &w) ==
            0) {
            int err = 0;
            std::vector<uint8_t> bytes(5000, 0x5A);
            vol->Write(w, bytes.data(), static_cast<uint32_t>(bytes.size()), &err);
            w.pos = 0;
            vol->Read(w, buf.data(), static_cast<uint32_t>(buf.size()), &err);
        }
        FileCursor t;
        if (vol->Open("\\SN\\ID.txt", kCreateAlways, true, true, &t) == 0) {
            int err = 0;
            vol->Write(t, "0x99", 4, &err);
        }
        vol->Flush();
        buffered.Commit();
    }
    return 0;
}
