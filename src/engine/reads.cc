#include "engine/reads.h"

#include <unordered_map>
#include <utility>

#include "common/json_write.h"
#include "storage/metadata/filter.h"

namespace velq {

namespace {

using ActiveRecord = std::pair<std::string, std::uint32_t>;

std::vector<std::uint32_t> slots_of(const std::vector<ActiveRecord>& records) {
  std::vector<std::uint32_t> slots;
  slots.reserve(records.size());
  for (const ActiveRecord& r : records) slots.push_back(r.second);
  return slots;
}

// The active records, in slot order, whose stored metadata satisfies
// `filter` (all of them without a filter). A record without metadata never
// matches a filter.
std::vector<ActiveRecord> matching_records(const EngineState& state, const JsonObject* filter) {
  std::vector<ActiveRecord> records = state.slots.ids().iter_active();
  if (filter == nullptr) return records;
  const auto metadata = state.metadata.get_many(slots_of(records));
  std::erase_if(records, [&](const ActiveRecord& r) {
    const auto it = metadata.find(r.second);
    return it == metadata.end() || !filter::metadata_matches_filter(it->second.properties, *filter);
  });
  return records;
}

GetResult result_for(const std::string& id, const VectorMetadata& metadata) {
  GetResult r{id, metadata.properties, std::nullopt};
  if (const auto doc = metadata.document()) r.document = std::string(*doc);
  return r;
}

}  // namespace

Result<std::optional<GetResult>> get_record(const EngineState& state, const std::string& id) {
  const std::optional<std::uint32_t> slot = state.slots.ids().get_slot(id);
  if (!slot.has_value()) return std::optional<GetResult>();
  const std::optional<VectorMetadata> metadata = state.metadata.get(*slot);
  return std::optional(result_for(id, metadata.value_or(VectorMetadata())));
}

Result<std::vector<std::optional<GetResult>>> get_many(const EngineState& state,
                                                       const std::vector<std::string>& ids) {
  std::vector<std::optional<GetResult>> out(ids.size());
  std::vector<std::uint32_t> slots;
  std::vector<std::optional<std::uint32_t>> slot_of(ids.size());
  for (std::size_t i = 0; i < ids.size(); ++i) {
    slot_of[i] = state.slots.ids().get_slot(ids[i]);
    if (slot_of[i].has_value()) slots.push_back(*slot_of[i]);
  }
  const auto metadata = state.metadata.get_many(slots);
  // Live ids whose slot holds no metadata stay empty here, unlike get.
  for (std::size_t i = 0; i < ids.size(); ++i) {
    if (!slot_of[i].has_value()) continue;
    const auto it = metadata.find(*slot_of[i]);
    if (it != metadata.end()) out[i] = result_for(ids[i], it->second);
  }
  return out;
}

Result<std::uint64_t> count_with_filter(const EngineState& state, const JsonObject* filter) {
  if (filter == nullptr) return state.slots.ids().active_count();
  return std::uint64_t{matching_records(state, filter).size()};
}

Result<std::vector<std::string>> list_with_filter_page(const EngineState& state,
                                                       const JsonObject* filter,
                                                       std::optional<std::uint64_t> limit,
                                                       std::uint64_t offset) {
  std::vector<ActiveRecord> records = matching_records(state, filter);
  std::vector<std::string> ids;
  if (offset >= records.size()) return ids;
  const std::uint64_t available = records.size() - offset;
  const std::uint64_t take = limit.has_value() ? std::min(*limit, available) : available;
  ids.reserve(static_cast<std::size_t>(take));
  for (std::uint64_t i = 0; i < take; ++i) ids.push_back(std::move(records[offset + i].first));
  return ids;
}

Result<std::unordered_map<std::string, std::uint64_t>> list_metadata_values(
    const EngineState& state, const std::string& field) {
  const std::vector<ActiveRecord> records = state.slots.ids().iter_active();
  const auto metadata = state.metadata.get_many(slots_of(records));
  std::unordered_map<std::string, std::uint64_t> counts;
  for (const ActiveRecord& r : records) {
    const auto it = metadata.find(r.second);
    if (it == metadata.end()) continue;
    const JsonValue* value = filter::get_nested_field(it->second.properties, field);
    if (value == nullptr) continue;
    // A string counts under its own text, anything else under its compact
    // JSON text: the string "5" and the number 5 share a key.
    ++counts[value->is_string() ? std::string(value->as_string()) : to_json(*value)];
  }
  return counts;
}

}  // namespace velq
