// The commit of a live-file compaction. Compaction renumbers slots in four
// files at once (live_codes.bin, live_vectors.bin, metadata.bin,
// live_ids.bin); each is first written whole as "<name>.compact". Writing
// the switch file is the commit point: from then on the staged files
// replace the live ones, and an open that finds the switch file finishes the
// renames before reading any of the four. Without it, staged files are
// leftovers of a compaction that never committed and are removed, so the
// four files always share one numbering. Format: docs/formats/live_compaction.md.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/result.h"
#include "engine/state/db_files.h"
#include "storage/io/file_system.h"

namespace velq {

// The files a compaction may replace, in the order the switch renames them.
inline constexpr std::string_view kCompactedFiles[] = {db_files::kLiveCodes, db_files::kLiveVectors,
                                                      db_files::kMetadata, db_files::kLiveIds};

std::vector<std::uint8_t> encode_compaction_switch(std::span<const std::string_view> names);
// Hostile input: only the first line and the known names are accepted.
Result<std::vector<std::string>> decode_compaction_switch(std::span<const std::uint8_t> bytes);

// "<dir>/<name>.compact".
std::string staged_path(const std::string& dir, std::string_view name);

// Writes the switch file for `names` (each staged already): the commit
// point. finish_interrupted_compaction below then makes the switch.
Status write_compaction_switch(FileSystem& fs, const std::string& dir,
                               std::span<const std::string_view> names);

// Finishes, or rolls back, a compaction that a crash interrupted between
// writing its new files and switching to them. Runs at open before any
// live file, metadata.bin or live_ids.bin is read.
Status finish_interrupted_compaction(FileSystem& fs, const std::string& local_dir);

}  // namespace velq
