#include "engine/compaction_switch.h"

#include <algorithm>

#include "engine/state/db_files.h"
#include "storage/io/file_io.h"

namespace velq {

namespace {

constexpr std::string_view kHeader = "velq live compaction switch 1";
// A genuine switch file is well below this; anything longer is not one.
constexpr std::size_t kMaxSwitchBytes = 1024;

Error bad_switch(const std::string& why) {
  return Error::corruption(std::string(db_files::kCompactionSwitch) + " is damaged: " + why);
}

bool is_compacted_file(std::string_view name) {
  return std::find(std::begin(kCompactedFiles), std::end(kCompactedFiles), name) !=
         std::end(kCompactedFiles);
}

// Renames the staged copy of each name that still has one; a name whose
// staged copy is gone was switched before.
Status rename_staged(FileSystem& fs, const std::string& dir, std::span<const std::string> names) {
  for (const std::string& name : names) {
    const std::string staged = staged_path(dir, name);
    VELQ_ASSIGN_OR_RETURN(const bool present, path_exists(fs, staged));
    if (present) VELQ_RETURN_IF_ERROR(fs.rename(staged, db_files::local_path(dir, name)));
  }
  return ok_status();
}

}  // namespace

std::vector<std::uint8_t> encode_compaction_switch(std::span<const std::string_view> names) {
  std::string text(kHeader);
  text += '\n';
  for (const std::string_view name : names) {
    text += name;
    text += '\n';
  }
  return std::vector<std::uint8_t>(text.begin(), text.end());
}

Result<std::vector<std::string>> decode_compaction_switch(std::span<const std::uint8_t> bytes) {
  if (bytes.size() > kMaxSwitchBytes) return bad_switch("too long");
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  if (text.empty() || text.back() != '\n') return bad_switch("cut short");
  std::vector<std::string> names;
  bool header = true;
  for (std::size_t start = 0; start < text.size();) {
    const std::size_t end = text.find('\n', start);
    const std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (header) {
      if (line != kHeader) return bad_switch("unknown header");
      header = false;
      continue;
    }
    if (!is_compacted_file(line)) return bad_switch("names an unknown file");
    if (std::find(names.begin(), names.end(), line) != names.end()) {
      return bad_switch("names a file twice");
    }
    names.emplace_back(line);
  }
  if (names.empty()) return bad_switch("names no file");
  return names;
}

std::string staged_path(const std::string& dir, std::string_view name) {
  return db_files::local_path(dir, name) + std::string(db_files::kCompactionStagedSuffix);
}

Status finish_interrupted_compaction(FileSystem& fs, const std::string& local_dir) {
  const std::string switch_path = db_files::local_path(local_dir, db_files::kCompactionSwitch);
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        read_file_if_present(fs, switch_path));
  if (bytes) {
    VELQ_ASSIGN_OR_RETURN(const std::vector<std::string> names, decode_compaction_switch(*bytes));
    VELQ_RETURN_IF_ERROR(rename_staged(fs, local_dir, names));
    VELQ_RETURN_IF_ERROR(fs.remove(switch_path));
  }
  // Staged files without a switch file belong to a compaction that never
  // committed: the live files still hold the old numbering.
  for (const std::string_view name : kCompactedFiles) {
    VELQ_RETURN_IF_ERROR(remove_if_present(fs, staged_path(local_dir, name)));
  }
  return ok_status();
}

Status write_compaction_switch(FileSystem& fs, const std::string& dir,
                               std::span<const std::string_view> names) {
  return write_file_atomic(fs, db_files::local_path(dir, db_files::kCompactionSwitch),
                           encode_compaction_switch(names));
}

}  // namespace velq
