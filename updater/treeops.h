// Directory-tree walks of the installation: count, copy over, delete.
#pragma once
#include <stdint.h>

bool countTree(const char *directory, uint32_t *fileCount, uint32_t *totalBytes);
bool copyTree(const char *destination, const char *source, uint32_t *bytesCopied,
              uint32_t *totalBytes, uint32_t *filesCopied, uint32_t *fileCount);
bool deleteTree(const char *directory, uint32_t *filesDeleted, uint32_t *fileCount);
bool queryFileSize(const char *path, uint32_t *size);
// Deletes a file or an empty directory even when it is read-only.
bool removeFileEvenReadOnly(const char *path);
bool removeDirectoryEvenReadOnly(const char *path);
