// Whole-file helpers over the file layer: reads that tell "absent" from
// "unreadable", crash-safe replacement, identity of two paths, read-only
// maps of a whole file; plus the operating-system error wrapper.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/file_system.h"

namespace velq {

// The error of an errno value, worded as the operating system words it:
// kNotFound for ENOENT, kIo for everything else.
Error os_error(int errnum);

// All bytes of the file at `path`; a missing file is a kNotFound error.
Result<std::vector<std::uint8_t>> read_file(FileSystem& fs, const std::string& path);

// The bytes of a whole-file read (a local file or a provider's object), or
// nullopt when (and only when) the read failed with kNotFound; every other
// error passes on.
Result<std::optional<std::vector<std::uint8_t>>> absent_if_not_found(
    Result<std::vector<std::uint8_t>> bytes);

// All bytes of the file, or nullopt when (and only when) it does not exist.
Result<std::optional<std::vector<std::uint8_t>>> read_file_if_present(FileSystem& fs,
                                                                      const std::string& path);

// Removes the file at `path`; a file that is already gone is no error.
Status remove_if_present(FileSystem& fs, const std::string& path);

// Whether `path` exists; any failure other than "no such file" is an error.
Result<bool> path_exists(FileSystem& fs, const std::string& path);

// Replaces the file at `path` by `bytes`: writes "<path>.tmp" (created or
// truncated) and renames it over `path`, so a crash leaves either the old
// or the new content, never a short file. Nothing is synced.
Status write_file_atomic(FileSystem& fs, const std::string& path,
                         std::span<const std::uint8_t> bytes);
// The same with the temporary file named by the caller.
Status write_file_atomic(FileSystem& fs, const std::string& path,
                         std::span<const std::uint8_t> bytes, const std::string& tmp_path);

// True when both paths exist and name the same file (same device and inode);
// false when either is absent.
Result<bool> same_file(FileSystem& fs, const std::string& a, const std::string& b);

// The whole file at `path` mapped read-only (empty for an empty file).
Result<Mapping> map_file_read_only(FileSystem& fs, const std::string& path);

// Writes all of `bytes` to an open POSIX descriptor, resuming after short
// writes. For file system implementations only.
Status write_all(int fd, std::span<const std::uint8_t> bytes);

// Writes bytes [offset, offset + len) of an open POSIX descriptor back with
// their own values, which makes the file system allocate every block of the
// range (holes included) without changing a byte. Nothing else may write
// the range meanwhile. For file system implementations only: the way to
// reserve storage where the file system has no call for it.
Status rewrite_in_place(int fd, std::uint64_t offset, std::uint64_t len);

}  // namespace velq
