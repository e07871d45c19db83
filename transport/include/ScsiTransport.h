// The nine operations of the transport SCSI.dll, bound by name by Quendal.dll.
// Any library exporting these names with these types can stand in for it.
#pragma once

#include <stdint.h>

#if defined(_WIN32)
#define SCSI_API __declspec(dllexport)
#else
#define SCSI_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Result of InitDisk: 0 a device is open; 2 a device is present but this process
// may not open it for raw access; 3 the device is held by another program (one
// writer at a time); negative: no device.
enum ScsiInitResult { SCSI_INIT_OK = 0, SCSI_INIT_RAW_REFUSED = 2, SCSI_INIT_BUSY = 3, SCSI_INIT_NO_DEVICE = -1 };

typedef int32_t (*InitDiskFn)(void *params);
typedef int32_t (*DiskFreeFn)(void);
typedef int32_t (*ReadDiskFn)(uint32_t address, uint32_t count, void *buffer);
typedef int32_t (*WriteDiskFn)(uint32_t address, uint32_t count, const void *data);
typedef int32_t (*ReadScsiFn)(const uint8_t *cdb12, void *buffer, uint32_t length);
typedef int32_t (*WriteScsiFn)(const uint8_t *cdb12, const void *data, uint32_t length);
typedef int32_t (*GetDiskVolumeFn)(uint32_t value);
typedef int32_t (*DisMountDiskFn)(void);
typedef int32_t (*GetOsVersionFn)(void);

SCSI_API int32_t InitDisk(void *params);
SCSI_API int32_t DiskFree(void);
SCSI_API int32_t ReadDisk(uint32_t address, uint32_t count, void *buffer);
SCSI_API int32_t WriteDisk(uint32_t address, uint32_t count, const void *data);
SCSI_API int32_t ReadScsi(const uint8_t *cdb12, void *buffer, uint32_t length);
SCSI_API int32_t WriteScsi(const uint8_t *cdb12, const void *data, uint32_t length);
SCSI_API int32_t GetDiskVolume(uint32_t value);
SCSI_API int32_t DisMountDisk(void);
SCSI_API int32_t GetOsVersion(void);

// Not transport operations (the library never binds them): the emulated disk's
// port for the host's own block layer. A host that writes a volume of an
// emulated disk by its data image (the platform layer's writer into an
// unmounted volume) sends those writes here, so that they reach the device
// model as any host's writes do. image is the data image's path; count 0 only
// asks. Answers 1 done, 0 refused by the device, -1 not an emulated disk's image.
typedef int32_t (*FlashDiskHostWriteFn)(const char *image, uint64_t firstSector, uint32_t count, const void *data);
// The host flushing what it wrote: 1, or -1 as above.
typedef int32_t (*FlashDiskHostFlushFn)(const char *image);
SCSI_API int32_t FlashDiskHostWrite(const char *image, uint64_t firstSector, uint32_t count, const void *data);
SCSI_API int32_t FlashDiskHostFlush(const char *image);

#ifdef __cplusplus
}
#endif
