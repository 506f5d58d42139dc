#include "storage/metadata/metadata_store.h"

#include <algorithm>
#include <bit>
#include <filesystem>
#include <functional>

#include "storage/io/file_io.h"
#include "common/worker_pool.h"
#include "storage/metadata/metadata_file.h"

namespace velq {
namespace {

bool slot_less(const MetadataEntry& e, std::uint32_t slot) { return e.slot < slot; }

// Sorts by slot; of entries for one slot the last given stays.
void sort_keeping_last(std::vector<MetadataEntry>& entries) {
  const auto strictly_ascending = [](const MetadataEntry& a, const MetadataEntry& b) { return a.slot < b.slot; };
  // A file written by flush is already in order, slots unique.
  if (std::adjacent_find(entries.begin(), entries.end(), std::not_fn(strictly_ascending)) == entries.end()) return;
  std::stable_sort(entries.begin(), entries.end(),
                   [](const MetadataEntry& a, const MetadataEntry& b) { return a.slot < b.slot; });
  std::size_t kept = 0;
  for (std::size_t i = 0; i < entries.size(); ++i) {
    if (i + 1 < entries.size() && entries[i + 1].slot == entries[i].slot) continue;
    if (kept != i) entries[kept] = std::move(entries[i]);
    ++kept;
  }
  entries.erase(entries.begin() + static_cast<std::ptrdiff_t>(kept), entries.end());
}

// Sorts ascending and drops repeats. Many slots out of few possible ones
// (every slot is at most `max_slot`) go through a bitmap, one bit per
// possible slot, which beats a comparison sort once the slots number more
// than one in 64 of the possible ones.
void sort_unique(std::vector<std::uint32_t>& slots, std::uint32_t max_slot) {
  const std::size_t words = static_cast<std::size_t>(max_slot) / 64 + 1;
  if (slots.size() < words) {
    std::sort(slots.begin(), slots.end());
    slots.erase(std::unique(slots.begin(), slots.end()), slots.end());
    return;
  }
  std::vector<std::uint64_t> bits(words, 0);
  for (const std::uint32_t slot : slots) bits[slot / 64] |= std::uint64_t{1} << (slot % 64);
  slots.clear();
  for (std::size_t w = 0; w < words; ++w) {
    for (std::uint64_t word = bits[w]; word != 0; word &= word - 1) {
      slots.push_back(static_cast<std::uint32_t>(w * 64 + static_cast<std::size_t>(std::countr_zero(word))));
    }
  }
}

// The value under `name`, created empty when missing (looked up without
// building a key string).
template <typename Map>
typename Map::mapped_type& field_of(Map& map, std::string_view name) {
  auto it = map.find(name);
  if (it == map.end()) it = map.emplace(std::string(name), typename Map::mapped_type()).first;
  return it->second;
}

// "metadata.bin" -> "metadata.tmp": the extension replaced, not appended.
std::string temp_path_for(const std::string& path) {
  std::filesystem::path tmp(path);
  tmp.replace_extension(kMetadataTempExtension);
  return tmp.string();
}

}  // namespace

Result<MetadataStore> MetadataStore::open(std::shared_ptr<FileSystem> fs, const std::string& path) {
  MetadataStore store(fs, path);
  VELQ_RETURN_IF_ERROR(fs->create_directories(std::filesystem::path(path).parent_path().string()));
  VELQ_ASSIGN_OR_RETURN(const std::optional<std::vector<std::uint8_t>> bytes,
                        read_file_if_present(*fs, path));
  if (!bytes.has_value()) return store;  // no file yet: an empty store
  VELQ_ASSIGN_OR_RETURN(store.entries_, decode_metadata_file(*bytes, path));
  sort_keeping_last(store.entries_);
  store.rebuild_indexes();
  return store;
}

const MetadataEntry* MetadataStore::find(std::uint32_t slot) const {
  const auto it = std::lower_bound(entries_.begin(), entries_.end(), slot, slot_less);
  return it != entries_.end() && it->slot == slot ? &*it : nullptr;
}

std::optional<VectorMetadata> MetadataStore::get(std::uint32_t slot) const {
  const MetadataEntry* entry = find(slot);
  if (entry == nullptr) return std::nullopt;
  return entry->metadata;
}

std::unordered_map<std::uint32_t, VectorMetadata> MetadataStore::get_many(
    std::span<const std::uint32_t> slots) const {
  std::unordered_map<std::uint32_t, VectorMetadata> out;
  out.reserve(slots.size());
  for (const std::uint32_t slot : slots) {
    if (out.contains(slot)) continue;
    if (const MetadataEntry* entry = find(slot)) out.emplace(slot, entry->metadata);
  }
  return out;
}

Status MetadataStore::put(std::uint32_t slot, const VectorMetadata& metadata) {
  // Only what can be read back is accepted.
  VELQ_RETURN_IF_ERROR(check_metadata_depth(metadata));
  // Copied before anything moves: `metadata` may live in this store.
  MetadataEntry entry{slot, metadata};
  index_remove(slot);
  auto it = std::lower_bound(entries_.begin(), entries_.end(), slot, slot_less);
  if (it != entries_.end() && it->slot == slot) {
    *it = std::move(entry);
  } else {
    it = entries_.insert(it, std::move(entry));
  }
  index_add(slot, it->metadata);
  dirty_ = true;
  return ok_status();
}

Status MetadataStore::put_many(std::span<const MetadataEntry> items) {
  for (const MetadataEntry& item : items) VELQ_RETURN_IF_ERROR(put(item.slot, item.metadata));
  return ok_status();
}

void MetadataStore::replace_all(std::vector<MetadataEntry> entries, Written stored) {
  sort_keeping_last(entries);
  entries_ = std::move(entries);
  rebuild_indexes();
  dirty_ = stored == Written::kNo;
}

Status MetadataStore::flush() {
  if (!dirty_) return ok_status();
  VELQ_ASSIGN_OR_RETURN(const std::vector<std::uint8_t> image, encode_metadata_file(entries_));
  VELQ_RETURN_IF_ERROR(write_file_atomic(*fs_, path_, image, temp_path_for(path_)));
  dirty_ = false;
  return ok_status();
}

void MetadataStore::index_add(std::uint32_t slot, const VectorMetadata& metadata) {
  for (const auto& [name, value] : metadata.properties) {
    key_buffer_.clear();
    if (append_index_key(key_buffer_, value)) field_of(eq_index_, name).get_or_add(key_buffer_).insert(slot);
    if (const auto order = number_order_key(value)) field_of(range_index_, name)[*order].insert(slot);
  }
}

void MetadataStore::index_remove(std::uint32_t slot) {
  const MetadataEntry* entry = find(slot);
  if (entry == nullptr) return;
  for (const auto& [name, value] : entry->metadata.properties) {
    key_buffer_.clear();
    if (append_index_key(key_buffer_, value)) {
      if (const auto field = eq_index_.find(name); field != eq_index_.end()) {
        field->second.erase(key_buffer_, slot);
      }
    }
    if (const auto order = number_order_key(value)) {
      if (const auto field = range_index_.find(name); field != range_index_.end()) {
        if (const auto list = field->second.find(*order); list != field->second.end()) {
          list->second.erase(slot);
          if (list->second.empty()) field->second.erase(list);  // no value kept without a record
        }
      }
    }
  }
}

void MetadataStore::rebuild_indexes() {
  eq_index_.clear();
  range_index_.clear();
  // The entries holding each property, ascending; then each property's two
  // indexes are built on their own, in parallel.
  StringMap<std::size_t> field_ids;
  std::vector<std::string_view> names;
  std::vector<std::vector<std::uint32_t>> holders;  // entry positions per property
  for (std::size_t i = 0; i < entries_.size(); ++i) {
    for (const JsonMember& member : entries_[i].metadata.properties) {
      auto [it, added] = field_ids.try_emplace(std::string(member.key()), names.size());
      if (added) {
        names.push_back(it->first);
        holders.emplace_back();
      }
      holders[it->second].push_back(static_cast<std::uint32_t>(i));
    }
  }
  std::vector<FieldIndexes> built(names.size());
  parallel_for_each(names.size(), 1, [&](std::size_t f) { built[f] = build_field(names[f], holders[f]); });
  for (std::size_t f = 0; f < names.size(); ++f) {
    if (built[f].has_eq) eq_index_.emplace(std::string(names[f]), std::move(built[f].eq));
    if (built[f].has_range) range_index_.emplace(std::string(names[f]), std::move(built[f].range));
  }
}

MetadataStore::FieldIndexes MetadataStore::build_field(std::string_view name,
                                                        std::span<const std::uint32_t> holders) const {
  FieldIndexes out;
  std::string key;
  // Order keys are gathered and sorted once, so the ordered map fills from
  // its end instead of by one search per value. Slots ascend: inserts append.
  std::vector<std::pair<std::uint64_t, std::uint32_t>> keyed_slots;
  for (const std::uint32_t position : holders) {
    const MetadataEntry& entry = entries_[position];
    const JsonValue& value = *entry.metadata.properties.find(name);
    key.clear();
    if (append_index_key(key, value)) {
      out.eq.get_or_add(key).insert(entry.slot);
      out.has_eq = true;
    }
    if (const auto order = number_order_key(value)) keyed_slots.emplace_back(*order, entry.slot);
  }
  out.eq.shrink_to_fit();
  out.has_range = !keyed_slots.empty();
  std::sort(keyed_slots.begin(), keyed_slots.end());
  for (const auto& [order, slot] : keyed_slots) {
    if (out.range.empty() || std::prev(out.range.end())->first != order) {
      out.range.emplace_hint(out.range.end(), order, SlotList());
    }
    std::prev(out.range.end())->second.insert(slot);
  }
  return out;
}

std::optional<std::span<const std::uint32_t>> MetadataStore::get_eq_candidates(
    std::string_view field, const JsonValue& value) const {
  const auto key = value_to_index_key(value);
  if (!key) return std::nullopt;
  const auto values = eq_index_.find(field);
  if (values == eq_index_.end()) return std::nullopt;
  const SlotList* list = values->second.find(*key);
  if (list == nullptr) return std::span<const std::uint32_t>();
  return list->view();
}

std::optional<std::vector<std::uint32_t>> MetadataStore::get_range_candidates(std::string_view field,
                                                                              RangeBound lower,
                                                                              RangeBound upper) const {
  const auto keys = range_index_.find(field);
  if (keys == range_index_.end()) return std::nullopt;
  if (lower.is_unbounded() && upper.is_unbounded()) return std::nullopt;
  const auto& by_key = keys->second;
  auto first = by_key.begin();
  if (lower.kind == BoundKind::kInclusive) first = by_key.lower_bound(lower.key);
  if (lower.kind == BoundKind::kExclusive) first = by_key.upper_bound(lower.key);
  auto last = by_key.end();
  if (upper.kind == BoundKind::kInclusive) last = by_key.upper_bound(upper.key);
  if (upper.kind == BoundKind::kExclusive) last = by_key.lower_bound(upper.key);
  std::vector<std::uint32_t> slots;
  // An empty or inverted range: `first` is at or past `last` in key order.
  if (first != by_key.end() && (last == by_key.end() || first->first < last->first)) {
    for (auto it = first; it != last; ++it) slots.insert(slots.end(), it->second.view().begin(), it->second.view().end());
  }
  if (slots.empty()) return std::nullopt;
  sort_unique(slots, entries_.back().slot);
  return slots;
}

}  // namespace velq
