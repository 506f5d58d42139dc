// Where a database keeps the files it shares with its storage location.
// Objects are whole files addressed by string keys ("live_ids.bin",
// "seg-00000003.bin") relative to a root; the only provider maps keys to
// files under a local directory. Object-store URIs are refused.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "storage/io/file_system.h"

namespace velq {

class StorageProvider {
 public:
  virtual ~StorageProvider() = default;

  // All bytes of the object; a missing object is an error.
  virtual Result<std::vector<std::uint8_t>> read(const std::string& key) const = 0;
  // Creates or replaces the object as a whole.
  virtual Status write(const std::string& key, std::span<const std::uint8_t> bytes) const = 0;
  // Keys that begin with `prefix`, in no particular order; one directory
  // level only. A prefix whose directory is absent lists nothing.
  virtual Result<std::vector<std::string>> list(const std::string& prefix) const = 0;
  // Removes the object; a missing object is no error.
  virtual Status remove(const std::string& key) const = 0;
  // False only when the object does not exist; any other failure to find
  // out is an error, never an absence.
  virtual Result<bool> exists(const std::string& key) const = 0;
  virtual Result<std::uint64_t> size(const std::string& key) const = 0;
  // Moves an object, replacing any object under `to`.
  virtual Status rename(const std::string& from, const std::string& to) const = 0;
  // The local file that holds the object, when the provider keeps objects
  // in local files; lets callers avoid copying a file onto itself.
  virtual std::optional<std::string> file_path(const std::string& key) const = 0;
};

// Keys are joined to `root` by ordinary path joining: an absolute key names
// that path, not one under the root. Files are reached through `fs`.
class LocalProvider final : public StorageProvider {
 public:
  LocalProvider(std::string root, std::shared_ptr<FileSystem> fs)
      : root_(std::move(root)), fs_(std::move(fs)) {}

  const std::string& root() const { return root_; }

  Result<std::vector<std::uint8_t>> read(const std::string& key) const override;
  // Writes "<path>.tmp" and renames it over the object, creating missing
  // parent directories first.
  Status write(const std::string& key, std::span<const std::uint8_t> bytes) const override;
  Result<std::vector<std::string>> list(const std::string& prefix) const override;
  Status remove(const std::string& key) const override;
  Result<bool> exists(const std::string& key) const override;
  Result<std::uint64_t> size(const std::string& key) const override;
  Status rename(const std::string& from, const std::string& to) const override;
  std::optional<std::string> file_path(const std::string& key) const override;

 private:
  std::string path_of(const std::string& key) const;

  std::string root_;
  std::shared_ptr<FileSystem> fs_;
};

// Immutable after construction; shared by the engine, the segment manager,
// the compaction recovery and the graph. It also carries the file layer that
// every local file of the database goes through.
class StorageBackend {
 public:
  // The local directory `uri` names, creating nothing: "gs://", "az://" and
  // "s3://" are refused; "file://" URLs must name a local path (host empty
  // or "localhost"); anything else is the root path itself.
  static Result<std::string> root_of(const std::string& uri);

  // A backend over root_of(uri); the root directory is created.
  static Result<std::shared_ptr<const StorageBackend>> from_uri(const std::string& uri,
                                                                std::shared_ptr<FileSystem> fs);

  StorageBackend(std::string uri, std::unique_ptr<StorageProvider> provider,
                 std::shared_ptr<FileSystem> fs)
      : uri(std::move(uri)), provider(std::move(provider)), fs(std::move(fs)) {}

  // Writes a whole local file (crash-safe replace) and its provider copy
  // under `key`. When the provider keeps `key` in that very file (the
  // storage root is the local directory), the local write is the copy: a
  // second write would replace the file again, under any live mapping of it.
  Status publish(const std::string& key, const std::string& local_path,
                 std::span<const std::uint8_t> bytes) const;

  // Hands the local file at `local_path` to the provider under `key`,
  // unless the provider keeps `key` in that very file.
  Status push_file(const std::string& key, const std::string& local_path) const;

  // True when the object under `key` is the very file at `local_path`
  // (same device and inode).
  Result<bool> is_local_file(const std::string& key, const std::string& local_path) const;

  const std::string uri;
  const std::unique_ptr<StorageProvider> provider;
  const std::shared_ptr<FileSystem> fs;
};

}  // namespace velq
