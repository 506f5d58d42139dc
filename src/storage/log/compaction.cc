#include "storage/log/compaction.h"

#include <string_view>

#include "common/json_decode.h"
#include "common/json_parse.h"
#include "storage/io/file_io.h"
#include "storage/log/segment.h"

namespace velq {

namespace {

bool ends_with(std::string_view s, std::string_view suffix) {
  return s.size() >= suffix.size() && s.substr(s.size() - suffix.size()) == suffix;
}

// A key the recovery may delete: a segment file directly under the root.
bool is_plain_segment_key(std::string_view key) {
  const std::string_view prefix = segment_format::kNamePrefix;
  return key.substr(0, prefix.size()) == prefix && ends_with(key, segment_format::kNameSuffix) &&
         key.find('/') == std::string_view::npos && key.find('\0') == std::string_view::npos;
}

Result<std::string> decode_segment_key(const JsonValue& value) {
  VELQ_ASSIGN_OR_RETURN(std::string name, decode_string(value));
  if (!is_plain_segment_key(name)) return invalid_value(value, "a segment file name");
  return name;
}

}  // namespace

Result<CompactionState> parse_compaction_state(std::span<const std::uint8_t> bytes) {
  const std::string_view text(reinterpret_cast<const char*>(bytes.data()), bytes.size());
  VELQ_ASSIGN_OR_RETURN(const JsonValue json, parse_json(text, {.record_levels = 1}));
  static constexpr RecordField kFields[] = {
      {"phase", true}, {"old_segment_names", true}, {"new_segment_name", true}};
  static constexpr std::string_view kPhases[] = {"prepared", "committed"};
  CompactionState state;
  VELQ_RETURN_IF_ERROR(decode_record(
      json, "CompactionState", kFields, [&](std::size_t field, const JsonValue& v) -> Status {
        switch (field) {
          case 0: {
            VELQ_ASSIGN_OR_RETURN(const std::size_t phase, decode_variant(v, kPhases));
            state.phase = phase == 0 ? CompactionPhase::kPrepared : CompactionPhase::kCommitted;
            return ok_status();
          }
          case 1: {
            VELQ_ASSIGN_OR_RETURN(state.old_segment_names,
                                  decode_array<std::string>(v, decode_segment_key));
            return ok_status();
          }
          default: {
            VELQ_ASSIGN_OR_RETURN(state.new_segment_name, decode_segment_key(v));
            return ok_status();
          }
        }
      }));
  return state;
}

Status Compactor::remove_leftovers() {
  const StorageProvider& provider = *backend_->provider;
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::string> keys,
                        provider.list(segment_format::kNamePrefix));
  for (const std::string& key : keys) {
    if (ends_with(key, ".tmp")) VELQ_RETURN_IF_ERROR(provider.remove(key));
  }
  return ok_status();
}

Status Compactor::resolve_prepared(const CompactionState& state) {
  const StorageProvider& provider = *backend_->provider;
  // A new segment that cannot be read says nothing about its contents: the
  // error stops the recovery, which deletes nothing on the strength of it.
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> image,
                        absent_if_not_found(provider.read(state.new_segment_name)));
  if (!image.has_value()) return ok_status();  // nothing was written
  // Delete errors are ignored: a leftover is found again at the next open.
  if (!decode_segment(*image).ok()) {
    (void)provider.remove(state.new_segment_name);
    return ok_status();
  }
  for (const std::string& old : state.old_segment_names) {
    if (old != state.new_segment_name) (void)provider.remove(old);
  }
  return ok_status();
}

Result<bool> Compactor::recover_if_needed() {
  VELQ_RETURN_IF_ERROR(remove_leftovers());
  const StorageProvider& provider = *backend_->provider;
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        absent_if_not_found(provider.read(kCompactionStateKey)));
  if (!bytes.has_value()) return false;
  // A state file that was read but does not parse cannot be acted on, and
  // leaves the segments as they are.
  const Result<CompactionState> state = parse_compaction_state(*bytes);
  if (state.ok() && state->phase == CompactionPhase::kPrepared) {
    VELQ_RETURN_IF_ERROR(resolve_prepared(*state));
  }
  VELQ_RETURN_IF_ERROR(provider.remove(kCompactionStateKey));
  return true;
}

}  // namespace velq
