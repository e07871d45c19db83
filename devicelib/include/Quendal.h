// The binary interface of the device control library Quendal.dll: the 28
// exports, the FormatSettings record, the InitFlashDisk parameter block and the
// progress callback. Any host binds these by name; their shapes do not change.
#pragma once

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#define QUENDAL_API __declspec(dllexport)
#else
#define QUENDAL_API __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Library error codes, kept in LastError and returned by GetErrorCode. A later
// success never clears them.
enum QuendalErrorCode {
    QUENDAL_ERR_NONE = 0,
    QUENDAL_ERR_READ_TABLE = 1,         // format: reading the configuration table failed
    QUENDAL_ERR_SETTINGS = 2,           // settings missing, area count 0, size 0 or an area < 1000 sectors
                                        // (also: areas end past the disk's capacity)
    QUENDAL_ERR_WHOLE_DISK_TABLE = 3,   // sending the whole-disk table failed
    QUENDAL_ERR_CONTROLLER_KIND = 4,    // controller kind is neither 1 nor 2
    QUENDAL_ERR_TRANSPORT_OPS = 5,      // SCSI.dll lacks a required operation
    QUENDAL_ERR_TRANSPORT_LOAD = 6,     // SCSI.dll could not be loaded
    QUENDAL_ERR_NULL_BUFFER = 7,        // GetConfigTable with a null buffer
    QUENDAL_ERR_NO_TABLE = 8,           // no valid table in any of the 1024 candidates
    QUENDAL_ERR_DEVICE_INFO = 9,        // reading the device information block failed
    QUENDAL_ERR_DATA_WRITE = 10,        // a data write to the device failed
    QUENDAL_ERR_NO_PRIMARY_BLOCK = 11,  // information-block write without a primary block
    QUENDAL_ERR_RESUME_TIMEOUT = 12,    // WaitDiskResume: the rebuilt volume did not show up
    QUENDAL_ERR_WRONG_PASSWORD = 14,    // the password's digest differs from the stored one
    QUENDAL_ERR_FILE_LOGIN_MODE = 15,   // GetConfigTable refused in file-login mode
    QUENDAL_ERR_NO_LOGIN_VOLUME = 16,   // file login: the login volume was not found
    QUENDAL_ERR_ZERO_PAGE_SECTORS = 17, // the device reports 0 sectors per page; no
                                        // information-block write is sent
    // Refusals of a table rewrite (format, password change) before anything is written:
    QUENDAL_ERR_TABLE_CHANGED = 18,   // another program changed the table since it was read
    QUENDAL_ERR_LAST_COPY = 19,       // one copy is left and where the other lived is unknown
    QUENDAL_ERR_TABLE_NOT_SAVED = 20, // the table could not be saved in the user's store first
    QUENDAL_ERR_NOT_THIS_DISK = 21    // restore: the saved table is not this disk's
};

// Modes of FormatSettings.mode.
enum QuendalFormatMode {
    QUENDAL_MODE_NORMAL = 0,
    QUENDAL_MODE_SECURE = 1,
    QUENDAL_MODE_HDD_BOOT = 2,
    QUENDAL_MODE_ZIP_BOOT = 3,
    QUENDAL_MODE_ZIP_BOOT_63 = 4,
    QUENDAL_MODE_CDROM = 5
};

// Names a folder that FormatDisk takes ".\PWD", ".\BOOTFILES" and
// ".\Cdrom\auto.iso" from in place of the host program's folder. Unset (the
// normal case) the host program's folder it is. Tests that format at the same
// time from one build folder give each format folders of its own this way.
#define QUENDAL_FORMAT_INPUTS_ENV "QUENDAL_FORMAT_INPUTS"

#pragma pack(push, 1)
// The format request, 90 bytes, little-endian, as the host fills it.
typedef struct FormatSettings {
    uint32_t areaSize[3]; // 0x00, 0x04, 0x08: sectors; a 0 takes the size at 0x08
    uint8_t mode;         // 0x0C: QuendalFormatMode
    char password[61];    // 0x0D: NUL-terminated, mode 1 only
    uint32_t areaCount;   // 0x4A: 1 to 3
    char label[12];       // 0x4E: written by FormatDisk: TableLabel and a NUL at 0x59
} FormatSettings;

// Parameter block of InitFlashDisk: three NUL-terminated identification texts;
// an empty text matches any device.
typedef struct InitDiskParams {
    char vendor[12];  // 0x00, compared with INQUIRY vendor (8)
    char product[20]; // 0x0C, compared with INQUIRY product (16)
    char version[8];  // 0x20, compared with INQUIRY revision (4)
} InitDiskParams;
#pragma pack(pop)

#ifdef __cplusplus
static_assert(sizeof(FormatSettings) == 90, "FormatSettings is 90 bytes");
static_assert(offsetof(FormatSettings, areaSize) == 0x00, "area sizes at 0x00");
static_assert(offsetof(FormatSettings, mode) == 0x0C, "mode at 0x0C");
static_assert(offsetof(FormatSettings, password) == 0x0D, "password at 0x0D");
static_assert(offsetof(FormatSettings, areaCount) == 0x4A, "area count at 0x4A");
static_assert(offsetof(FormatSettings, label) == 0x4E, "label at 0x4E");
static_assert(sizeof(InitDiskParams) == 40, "parameter block is 40 bytes");
static_assert(offsetof(InitDiskParams, product) == 12, "product at 12");
static_assert(offsetof(InitDiskParams, version) == 32, "version at 32");
#endif

typedef int32_t (*FormatProgressCallback)(int32_t percent, const char *text);

QUENDAL_API uint8_t LoadDiskLib(void);
QUENDAL_API int32_t FreeDiskLib(void);
QUENDAL_API int32_t InitFlashDisk(void *params);
QUENDAL_API int32_t FreeFlashDisk(void);
QUENDAL_API int32_t InitVariable(void);
QUENDAL_API int32_t GetErrorCode(void);
QUENDAL_API int32_t GetOsVersion(void);
QUENDAL_API uint8_t GetFlashDiskInfo(uint8_t *buffer512);
QUENDAL_API uint8_t ResetDisk(void);
QUENDAL_API int32_t DiskRemove(void);
QUENDAL_API int32_t LoginState(void);
QUENDAL_API uint8_t ReverseWriteStatusIfProtect(void);
QUENDAL_API int32_t ReadFlashDisk(uint32_t first, uint32_t count, void *buffer);
QUENDAL_API int32_t WriteFlashDisk(uint32_t first, uint32_t count, const void *data);
QUENDAL_API int32_t GetConfigTable(uint8_t *table512);
QUENDAL_API uint8_t SendCfgTable(const uint8_t *table512);
QUENDAL_API int32_t UpdateParam(void);
QUENDAL_API int32_t CreateNewCfgtblV2(uint8_t *table512, const FormatSettings *settings);
QUENDAL_API uint8_t HaveCfgTbl(void);
QUENDAL_API int32_t GetDiskCapacity(void);
QUENDAL_API int32_t GetDiskSize(void);
QUENDAL_API uint8_t VerifyPassword(const char *password, uint8_t login);
QUENDAL_API uint8_t ChangePassword(const char *oldPassword, const char *newPassword);
QUENDAL_API uint8_t FormatDisk(FormatSettings *settings, FormatProgressCallback progress);
QUENDAL_API int32_t GetSecureDiskVolume(char *drive);
QUENDAL_API int32_t GetVolume(uint32_t value);
QUENDAL_API uint8_t IsLocalDisk(void);
QUENDAL_API int32_t WaitDiskResume(char *drive, uint32_t timeoutMs);

#ifdef __cplusplus
}
#endif
