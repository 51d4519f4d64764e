#pragma once
// The device file-system plug-in interface: the request record, the plug-in
// manager's table and the plug-in's nine-entry table of operations. Plain C
// so that the libraries and the program agree on it whatever compiled them.
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define VOLKIT_PLUGIN_ID "3C71D2E9-5B48-4a6e-9F02-7D8E41B6C5A3"

// Image and file handles are 32-bit values; -1 is the failure value.
typedef int32_t VolHandle;
#define VOLKIT_INVALID_HANDLE (-1)

// VolCreateFile's desired access and share mode, as on the desktop system.
#define VOLKIT_GENERIC_READ 0x80000000u
#define VOLKIT_GENERIC_WRITE 0x40000000u
#define VOLKIT_GENERIC_ALL 0x10000000u
#define VOLKIT_SHARE_READ 0x1u
#define VOLKIT_SHARE_WRITE 0x2u
// VolCreateFile's creation disposition.
#define VOLKIT_CREATE_NEW 1u
#define VOLKIT_CREATE_ALWAYS 2u
#define VOLKIT_OPEN_EXISTING 3u
#define VOLKIT_OPEN_ALWAYS 4u
#define VOLKIT_TRUNCATE_EXISTING 5u
// VolCreateFile's attributes (kept for the desktop signature; not stored).
#define VOLKIT_ATTRIBUTE_NORMAL 0x80u
// VolSetFilePointer's origin, and its failure value.
#define VOLKIT_FILE_BEGIN 0u
#define VOLKIT_FILE_CURRENT 1u
#define VOLKIT_FILE_END 2u
#define VOLKIT_INVALID_POSITION 0xFFFFFFFFu

typedef struct PluginRequest {
    char id[64];     // identifier, zero-terminated
    char path[260];  // ANSI path of the plug-in library, zero-terminated
} PluginRequest;

typedef struct VolkitApi {
    // 0: opens an image file, creating a missing one. -1 on failure.
    VolHandle (*VolOpen)(const char* imagePath);
    // 1: makes an empty FAT12/FAT16 file system of `sectors` 512-byte sectors
    // with `fatCount` (1 or 2) FATs and the given volume label (at most 11
    // characters). 0 on success; -1 with the image untouched when no such
    // volume can be made.
    int32_t (*VolFormat)(VolHandle image, int32_t fatCount, uint32_t sectors, const char* label);
    // 2: opens a file inside the image ('\\' or '/' separators, case ignored);
    // creation one of VOLKIT_CREATE_NEW .. VOLKIT_TRUNCATE_EXISTING. -1 on
    // failure, errno says why.
    VolHandle (*VolCreateFile)(VolHandle image, const char* path, uint32_t access,
                               uint32_t shareMode, void* security, uint32_t creation,
                               uint32_t attributes, VolHandle templateFile);
    // 3: moves the file pointer from VOLKIT_FILE_BEGIN, _CURRENT or _END (the
    // optional high part makes the distance 64-bit); returns the new
    // position, VOLKIT_INVALID_POSITION on failure.
    uint32_t (*VolSetFilePointer)(VolHandle image, VolHandle file, int32_t distance,
                                  int32_t* distanceHigh, uint32_t origin);
    // 4: writes to an open file; bytes written or -1. Not used by the program.
    int32_t (*VolWriteFile)(VolHandle image, VolHandle file, const void* buffer, uint32_t count);
    // 5: reads from an open file; bytes read or -1.
    int32_t (*VolReadFile)(VolHandle image, VolHandle file, void* buffer, uint32_t count);
    // 6: copies a local folder's whole tree into the image under `target`.
    // 0, or -1 with errno set (for a full volume ENOSPC).
    int32_t (*VolImportDir)(VolHandle image, const char* localFolder, const char* target);
    // 7: closes a file. 0, or -1 for a bad handle.
    int32_t (*VolCloseFile)(VolHandle image, VolHandle file);
    // 8: closes the image and its files, leaving it complete on disk. 0 or -1.
    int32_t (*VolClose)(VolHandle image);
} VolkitApi;

typedef struct PluginManager {
    int32_t (*LoadPlugin)(const PluginRequest* request);
    const VolkitApi* (*QueryPlugin)(const PluginRequest* request);
} PluginManager;

typedef const PluginManager* (*GetPluginManFn)(void);

#ifdef __cplusplus
}  // extern "C"
static_assert(sizeof(PluginRequest) == 324);
#endif
