#pragma once
// Where an image's bytes live: a local file, or memory for the fuzz target,
// and a write buffer in front of either.
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace ts::volkit {

class Storage {
public:
    virtual ~Storage() = default;
    virtual uint64_t Size() const = 0;
    virtual bool Writable() const = 0;
    // Reads up to n bytes at off; fewer at the end of the data. -1 on an I/O error.
    virtual int64_t ReadAt(uint64_t off, void* buf, size_t n) = 0;
    // Writes all n bytes at off, growing the data if needed. false (errno set) on failure.
    virtual bool WriteAt(uint64_t off, const void* buf, size_t n) = 0;
    // Sets the length; new bytes read as zero. false (errno set) on failure.
    virtual bool Resize(uint64_t n) = 0;
};

class FileStorage final : public Storage {
public:
    // Opens `path` read-write, creating a missing file; falls back to read-only
    // when the file may not be written. Only regular files are accepted, so a
    // mistyped path can never reach a disk device. Null with errno set on failure.
    static std::unique_ptr<FileStorage> Open(const std::string& path);
    ~FileStorage() override;
    FileStorage(const FileStorage&) = delete;
    FileStorage& operator=(const FileStorage&) = delete;

    uint64_t Size() const override { return size_; }
    bool Writable() const override { return writable_; }
    int64_t ReadAt(uint64_t off, void* buf, size_t n) override;
    bool WriteAt(uint64_t off, const void* buf, size_t n) override;
    bool Resize(uint64_t n) override;

private:
    FileStorage(int fd, uint64_t size, bool writable) : fd_(fd), size_(size), writable_(writable) {}
    int fd_;
    uint64_t size_;
    bool writable_;
};

class MemoryStorage final : public Storage {
public:
    // `limit` caps the length, so a hostile size never turns into an allocation.
    explicit MemoryStorage(std::vector<uint8_t> bytes, uint64_t limit = 64u << 20)
        : bytes_(std::move(bytes)), limit_(limit) {}
    uint64_t Size() const override { return bytes_.size(); }
    bool Writable() const override { return true; }
    int64_t ReadAt(uint64_t off, void* buf, size_t n) override;
    bool WriteAt(uint64_t off, const void* buf, size_t n) override;
    bool Resize(uint64_t n) override;
    const std::vector<uint8_t>& Bytes() const { return bytes_; }

private:
    std::vector<uint8_t> bytes_;
    uint64_t limit_;
};

// Holds writes in memory, page by page, and hands them to the storage below
// in as few writes as it can: each run of adjacent changed pages becomes one
// write when Commit() is called (at the end of every plug-in call, so that a
// failed write is reported by the call that made it) or when more than
// `limit` bytes wait. A disk-backed file system charges for every write, and
// an image is built of dozens of small ones. The buffer also knows where the
// storage below holds nothing but zeros (what a cut left behind and nothing
// has been written to since): pages there are neither read nor fetched.
class BufferedStorage final : public Storage {
public:
    static constexpr size_t kPage = 4096;
    explicit BufferedStorage(Storage& inner, size_t limit = size_t{4} << 20);

    uint64_t Size() const override { return size_; }
    bool Writable() const override { return inner_.Writable(); }
    int64_t ReadAt(uint64_t off, void* buf, size_t n) override;
    bool WriteAt(uint64_t off, const void* buf, size_t n) override;
    // Commits, then resizes the storage below.
    bool Resize(uint64_t n) override;
    // Writes every changed page down. false (errno set) when a write failed;
    // the buffer is then emptied and the storage below read afresh.
    bool Commit();

private:
    struct Page {
        std::unique_ptr<uint8_t[]> bytes;
        bool dirty = false;
    };
    // Reads [off, off + n) of the storage below into buf, zeros where it
    // holds nothing; false (errno set) on an I/O error.
    bool ReadBelow(uint64_t off, uint8_t* buf, size_t n);
    void Forget();

    Storage& inner_;
    size_t limit_;
    uint64_t size_;
    uint64_t zeroFrom_;               // the storage below holds only zeros from here on
    std::map<uint64_t, Page> pages_;  // by page index
    size_t dirtyPages_ = 0;
};

}  // namespace ts::volkit
