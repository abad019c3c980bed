// Whole reads and writes at an offset, the parts of a path, and the flush of a folder: POSIX
// only, so that the mount helper shares them with the layers.
#pragma once

#include <cstddef>
#include <string>

#include "UniqueFd.h"

#include <sys/types.h>

// Reads exactly `size` bytes at `offset`. False on a read error or a file that ends first.
bool readAll(int fd, void* buffer, std::size_t size, off_t offset);
// Writes all of `data` at `offset`: 0, or the errno value that stopped it (ENOSPC when the
// file system takes no more).
int writeAll(int fd, const void* data, std::size_t size, off_t offset);
// Reads a whole regular file from its start into `out`, up to `maxBytes`: false on a read
// error or a longer file.
bool readToEnd(int fd, std::string& out, std::size_t maxBytes);
// The folder of a path: "/a/b" gives "/a", "/a" gives "/", "a" gives ".".
std::string folderOf(const std::string& path);
// The last component of a path ("/a/b" gives "b").
std::string baseNameOf(const std::string& path);
// Flushes a folder's entries (after a rename or a new name in it): 0, or the errno value.
int syncFolder(const std::string& folder);
// Whether the name `path` (no link followed) names the file open as fd.
bool pathNamesFile(const std::string& path, int fd);
// A new descriptor of the very file open as fd (not of whatever its path names now), opened
// with `flags` (O_RDWR to write a file held open for reading): "/proc/self/fd/N" reopened. An
// empty one with `error` set to the open's errno on failure.
UniqueFd reopenFile(int fd, int flags, int& error);
