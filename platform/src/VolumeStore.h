// Where the writer into an unmounted FAT volume (FatFileWriter.cpp) reads and
// writes the volume's bytes. A volume of an ordinary image or device is written
// in place. A volume that the emulated flash disk presents is written through
// the device, as a host's block layer writes a disk's volume: the controller
// sees those writes as it sees any host's (a login file among them is how it
// takes a login), where writing its data image behind its back would not. The
// device model is the one in the transport SCSI.dll that the library has
// loaded; its port is found there by name (FlashDiskHostWrite), so the library
// carries no second copy of the model. Without that port the image is written
// in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace platform {

class VolumeStore {
public:
    virtual ~VolumeStore() = default;
    virtual bool readAt(uint64_t offset, void *buffer, size_t length) const = 0;
    virtual bool writeAt(uint64_t offset, const void *data, size_t length) = 0;
    // Makes the writes durable and lets go of the source; false when one was lost.
    virtual bool finish() = 0;
};

// The store for a drive's source (an image file or a block device); empty when
// it cannot be opened for writing.
std::unique_ptr<VolumeStore> openVolumeStore(const std::string &source);

} // namespace platform
