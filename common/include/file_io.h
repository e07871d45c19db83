// Positional file access and an exclusive lock file, the same on Linux and
// Windows: the emulated disk and the FAT writer read and write images at byte
// offsets, and several processes take turns on one emulated disk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

namespace fileio {

class File {
public:
    // CreateNew makes a file that did not exist, readable by its owner only, and
    // fails when anything is at the name already, a link above all: a file in a
    // folder others have had a hand in is never written through what they left.
    enum class Mode { Read, ReadWrite, CreateReadWrite, CreateNew };

    File() = default;
    File(const std::string &path, Mode mode) { open(path, mode); }
    ~File() { close(); }
    File(File &&other) noexcept : handle_(other.handle_) { other.handle_ = kNone; }
    File &operator=(File &&other) noexcept;
    File(const File &) = delete;
    File &operator=(const File &) = delete;

    bool open(const std::string &path, Mode mode);
    bool isOpen() const { return handle_ != kNone; }
    // False when the file was open and closing it failed (a lost write).
    bool close();

    // Exactly length bytes at offset; false on any error or a short read.
    bool readAt(uint64_t offset, void *buffer, size_t length) const;
    // Like readAt, but bytes past the end of the file read as zeros (a sparse
    // image whose tail was never written). False only on a read error.
    bool readAtZeroFilled(uint64_t offset, void *buffer, size_t length) const;
    // At most length bytes at offset: how many were read (0 at the end of the
    // file), or nothing on a read error.
    std::optional<size_t> readUpTo(uint64_t offset, void *buffer, size_t length) const;
    bool writeAt(uint64_t offset, const void *data, size_t length);
    // Data and metadata on stable storage.
    bool sync();
    std::optional<uint64_t> size() const;
    // Sets the length; a longer file reads as zeros past the old end.
    bool resize(uint64_t length);

private:
    friend class ExclusiveLock;
#if defined(_WIN32)
    using Handle = void *;
    static inline Handle const kNone = reinterpret_cast<void *>(intptr_t(-1));
#else
    using Handle = int;
    static constexpr Handle kNone = -1;
#endif
    Handle handle_ = kNone;
};

// Holds an exclusive lock on a lock file (created when missing) for its
// lifetime; blocks until the lock is free, or with wait false gives up at once
// when another holds it. locked() is false when the file could not be opened
// or the lock was not had.
class ExclusiveLock {
public:
    explicit ExclusiveLock(const std::string &path, bool wait = true);
    ~ExclusiveLock();
    ExclusiveLock(const ExclusiveLock &) = delete;
    ExclusiveLock &operator=(const ExclusiveLock &) = delete;
    bool locked() const { return file_.isOpen() && held_; }

private:
    File file_;
    bool held_ = false;
};

bool fileExists(const std::string &path);
bool isDirectory(const std::string &path);
// Creates the folder and any missing parents; true when it exists afterwards.
bool createDirectories(const std::string &path);
// Removes a file; true when it is gone afterwards (also when it never was).
bool removeFile(const std::string &path);
// Replaces path with content through a temporary file and a rename, so a reader
// sees the old or the new content, never a part.
bool writeFileAtomic(const std::string &path, const std::string &content);
// The whole file, also one whose size the system does not tell (/proc files).
bool readWholeFile(const std::string &path, std::string *content);
uint32_t currentProcessId();

} // namespace fileio
