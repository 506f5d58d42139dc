// The engine's enumerations and the records it hands to and takes from its
// caller.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/json_value.h"
#include "search/distance_metric.h"

namespace velq {

// Width of the raw vectors kept for reranking; kDisabled keeps none.
enum class RerankPrecision : std::uint8_t { kDisabled = 0, kF32 = 1, kF16 = 2 };

// How a batch write treats ids: kInsert refuses a live id, kUpdate an absent
// one, kUpsert takes both.
enum class WriteMode : std::uint8_t { kInsert = 0, kUpsert = 1, kUpdate = 2 };

inline constexpr std::string_view kRerankPrecisionNames[] = {"disabled", "f32", "f16"};

inline std::string_view rerank_precision_name(RerankPrecision p) {
  return kRerankPrecisionNames[static_cast<int>(p)];
}

struct SearchResult {
  std::string id;
  double score = 0.0;
  JsonObject metadata;
  std::optional<std::string> document;
};

struct GetResult {
  std::string id;
  JsonObject metadata;
  std::optional<std::string> document;
};

struct BatchWriteItem {
  std::string id;
  std::vector<float> vector;  // d values
  JsonObject metadata;
  std::optional<std::string> document;
};

// How a graph index is built, and the search list size stored with it.
struct IndexParams {
  std::size_t max_degree = 0;
  std::size_t ef_construction = 0;
  std::size_t search_list_size = 0;  // stored for searches only
  std::size_t n_refinements = 0;
  double alpha = 0.0;
};

struct EngineStats {
  std::uint64_t vector_count = 0;
  std::uint64_t segment_count = 0;
  std::uint64_t buffered_vectors = 0;
  std::uint64_t dimension = 0;
  std::uint64_t bits = 0;
  std::uint64_t total_disk_bytes = 0;
  bool has_index = false;
  std::uint64_t index_nodes = 0;
  std::uint64_t live_codes_bytes = 0;
  std::uint64_t live_slot_count = 0;
  std::uint64_t live_id_count = 0;
  std::uint64_t live_vectors_count = 0;
  std::uint64_t live_vectors_bytes_estimate = 0;
  std::uint64_t metadata_entries = 0;
  std::uint64_t metadata_bytes_estimate = 0;
  std::uint64_t ann_slot_count = 0;
  std::uint64_t graph_nodes = 0;
  std::uint64_t delta_size = 0;
};

}  // namespace velq
