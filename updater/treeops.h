// Directory-tree walks of the installation: count, copy over, delete.
#pragma once
#include <stdint.h>
#include <windows.h>

// What a copy over an installation tells the one who keeps it safe, through this alone.
struct CopyNet {
    // Before the first change of a destination level: what of it the copy may create or replace.
    bool (*announce)(const char *destination, const WIN32_FIND_DATAA *entries, size_t count);
    // The file that place will be asked for next on this level, before the current one: its
    // data may be written meanwhile.
    void (*upcoming)(const char *target, const char *from, const WIN32_FIND_DATAA *source);
    // Puts one file in place, the old one kept aside; source is from's listed entry.
    bool (*place)(const char *target, const char *from, const WIN32_FIND_DATAA *source);
    // After Ignore: the old file goes back in place if it had been set aside already.
    void (*ignored)(const char *target);
};

bool countTree(const char *directory, uint32_t *fileCount, uint32_t *totalBytes);
bool copyTree(const char *destination, const char *source, uint32_t *bytesCopied,
              uint32_t *totalBytes, uint32_t *filesCopied, uint32_t *fileCount);
bool copyTreeThrough(const CopyNet *net, const char *destination, const char *source,
                     uint32_t *bytesCopied, uint32_t *totalBytes, uint32_t *filesCopied,
                     uint32_t *fileCount);
bool deleteTree(const char *directory, uint32_t *filesDeleted, uint32_t *fileCount);
bool queryFileSize(const char *path, uint32_t *size);
// Deletes a file or an empty directory even when it is read-only.
bool removeFileEvenReadOnly(const char *path);
bool removeDirectoryEvenReadOnly(const char *path);
