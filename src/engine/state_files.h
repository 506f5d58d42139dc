// Reading the files a database keeps both locally and with the provider:
// the local copy first, else the provider's.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "storage/io/backend.h"

namespace velq {

enum class CacheLocally : bool { kNo = false, kYes = true };

// The bytes of `name`: the local file in `local_dir` when it exists, else the
// provider's object (copied into `local_dir` with kYes), else nullopt. Only
// "no such file" means absent: any other failure is returned.
Result<std::optional<std::vector<std::uint8_t>>> fetch_state_file(
    const StorageBackend& backend, const std::string& local_dir, std::string_view name,
    CacheLocally cache);

}  // namespace velq
