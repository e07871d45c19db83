#include "VolumeStore.h"

#include <algorithm>
#include <vector>

#include "ScsiTransport.h"
#include "file_io.h"
#include "platform/DynamicLibrary.h"

namespace platform {
namespace {

constexpr uint64_t kSector = 512;
// The transport's file name, as the library loads it.
constexpr const char kTransport[] = "SCSI.dll";

class FileStore final : public VolumeStore {
public:
    explicit FileStore(const std::string &source) : file_(source, fileio::File::Mode::ReadWrite) {}
    bool isOpen() const { return file_.isOpen(); }
    bool readAt(uint64_t offset, void *buffer, size_t length) const override {
        return file_.readAt(offset, buffer, length);
    }
    bool writeAt(uint64_t offset, const void *data, size_t length) override {
        return file_.writeAt(offset, data, length);
    }
    bool finish() override { return file_.sync() && file_.close(); }

private:
    fileio::File file_;
};

// Reads come from the data image (the device's sectors as they are); writes go
// to the device in whole sectors, a partly written sector completed from what
// it holds, as a block layer does.
class EmulatedDiskStore final : public VolumeStore {
public:
    EmulatedDiskStore(const std::string &image, FlashDiskHostWriteFn write, FlashDiskHostFlushFn flush)
        : path_(image), image_(image, fileio::File::Mode::Read), write_(write), flush_(flush) {}
    bool isOpen() const { return image_.isOpen(); }
    bool readAt(uint64_t offset, void *buffer, size_t length) const override {
        return image_.readAt(offset, buffer, length);
    }
    bool writeAt(uint64_t offset, const void *data, size_t length) override {
        if (length == 0) return true;
        uint64_t first = offset / kSector, end = (offset + length + kSector - 1) / kSector;
        if (end - first > UINT32_MAX) return false;
        std::vector<uint8_t> sectors(size_t(end - first) * kSector);
        bool whole = offset % kSector == 0 && length % kSector == 0;
        if (!whole && !image_.readAt(first * kSector, sectors.data(), sectors.size())) return false;
        std::copy_n(static_cast<const uint8_t *>(data), length, sectors.begin() + ptrdiff_t(offset - first * kSector));
        return write_(path_.c_str(), first, uint32_t(end - first), sectors.data()) == 1;
    }
    // The writer ends with a flush, as a file written through does.
    bool finish() override {
        bool flushed = flush_(path_.c_str()) == 1;
        return image_.close() && flushed;
    }

private:
    std::string path_;
    fileio::File image_;
    FlashDiskHostWriteFn write_;
    FlashDiskHostFlushFn flush_;
};

} // namespace

std::unique_ptr<VolumeStore> openVolumeStore(const std::string &source) {
    auto write = reinterpret_cast<FlashDiskHostWriteFn>(findLoadedSymbol(kTransport, "FlashDiskHostWrite"));
    auto flush = reinterpret_cast<FlashDiskHostFlushFn>(findLoadedSymbol(kTransport, "FlashDiskHostFlush"));
    if (write && flush && write(source.c_str(), 0, 0, nullptr) == 1) {
        auto store = std::make_unique<EmulatedDiskStore>(source, write, flush);
        if (store->isOpen()) return store;
        return nullptr;
    }
    auto store = std::make_unique<FileStore>(source);
    if (store->isOpen()) return store;
    return nullptr;
}

} // namespace platform
