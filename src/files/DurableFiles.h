#pragma once

// Writing files so that they survive a crash or a power cut: every file the program writes is written
// here. Plain C++ on POSIX calls, for the program and its helper processes alike. Every function answers
// 0 or an errno value and never throws.

#include <cstddef>
#include <string>
#include <sys/types.h>

namespace quarnel::files {

// Creates a file that must not exist yet, for writing (EEXIST when the name is taken).
int CreateNew(const std::string& path, mode_t mode, int& fd);
// Writes every byte at the descriptor's position (ENOSPC when the file system takes fewer).
int WriteWhole(int fd, const void* data, std::size_t size);
// Copies what is left of `from` to `to`: in the kernel where the file system can, else through a buffer.
int CopyWhole(int from, int to);

// The file's data on the disk (fdatasync): for a file whose size or content changed.
int SyncData(int fd);
// The file's data and its times (fsync).
int SyncFile(int fd);
// The folder's entries on the disk, so that names created, linked, renamed or removed in it stay. A file
// system that cannot sync a folder (some network and FUSE ones answer EINVAL) is not an error.
int SyncFolder(const std::string& folder);

// Gives the file `from` the name `to` unless that name is taken (EEXIST then, and nothing changed): one
// atomic rename where the file system offers it, a hard link and removal where it does not.
int PlaceWithoutReplacing(const std::string& from, const std::string& to);

// Writes a new file whole and syncs it; on failure the name is left free again.
int WriteNewFile(const std::string& path, const void* data, std::size_t size, mode_t mode);

// Replaces the file's content as one piece: written whole to a new file beside it, synced, renamed over
// it and the folder synced, so that a crash leaves the old content or the new, never a mix.
int ReplaceAtomically(const std::string& path, const void* data, std::size_t size, mode_t mode);

// The folder part of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

} // namespace quarnel::files
