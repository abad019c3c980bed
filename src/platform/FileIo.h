// Whole reads and writes at an offset, the parts of a path, and the flush of a folder: POSIX
// only, so that the mount helper shares them with the layers.
#pragma once

#include <cstddef>
#include <string>

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
