// Opening the launcher's files without being steered elsewhere: the files land in
// a directory other programs of the same user can also write, so a name there
// may have been replaced by a link or a pipe between two runs. Files are opened
// only when the name itself is a regular file (links are not followed).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace lzari {

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    UniqueFd(UniqueFd &&other) noexcept : fd_(other.fd_) { other.fd_ = -1; }
    ~UniqueFd();

    explicit operator bool() const { return fd_ >= 0; }
    int get() const { return fd_; }
    // Closes now; false when the close reports a failed write.
    bool close();

private:
    int fd_ = -1;
};

// A regular file opened for reading; -1 for a link, a directory, a pipe or a
// device, or when it does not exist.
int openRegularForReading(const std::string &path);

// Creates path, or empties it when it is an existing regular file, for writing
// with the given permission bits; -1 for a link or anything but a regular file.
int createRegularFile(const std::string &path, unsigned mode);

// Removes the name itself (a link, never what it points to); true when nothing
// is left at the name.
bool removeName(const std::string &path);

// Puts the file from in the place of to in one step, so that a program running
// from the old file, and the libraries it loaded, keep theirs unchanged. Windows
// refuses while the old file is loaded by a running program: false then, and
// from stays where it is.
bool replaceWith(const std::string &from, const std::string &to);

// True when both are regular files of the same bytes.
bool sameContent(const std::string &a, const std::string &b);

// True when path is a regular file holding exactly bytes.
bool fileHolds(const std::string &path, std::span<const uint8_t> bytes);

// The whole of data into path as createRegularFile opens it. Returns false when
// the file cannot be created or not every byte reached it.
bool writeWholeFile(const std::string &path, std::span<const uint8_t> data, unsigned mode);

} // namespace lzari
