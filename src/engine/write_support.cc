#include "engine/write_support.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "common/half.h"
#include "engine/flush.h"
#include "engine/persist.h"

namespace velq {

Error already_exists(std::string_view id) {
  return Error("ID '" + std::string(id) + "' already exists");
}

Error does_not_exist(std::string_view id) {
  return Error("ID '" + std::string(id) + "' does not exist");
}

Status narrow_vector(std::span<const double> in, std::span<float> out) {
  for (std::size_t i = 0; i < in.size(); ++i) {
    const auto value = static_cast<float>(in[i]);
    if (!std::isfinite(value)) return Error::invalid_argument(kNonFiniteVector);
    out[i] = value;
  }
  return ok_status();
}

Status check_raw_vector_range(const EngineState& state, std::span<const float> vector) {
  if (!state.live_vectors || state.normalize ||
      state.manifest.rerank_precision != RerankPrecision::kF16) {
    return ok_status();
  }
  for (const float x : vector) {
    if (!(std::fabs(x) < half::kFirstOverflow)) return Error::invalid_argument(kF16OverflowVector);
  }
  return ok_status();
}

float vector_norm(std::span<const float> v) {
  float sum = -0.0f;
  for (const float x : v) sum += x * x;
  return std::sqrt(sum);
}

Status unit_copy(std::span<const float> v, float norm, std::span<float> out) {
  if (!std::isfinite(norm)) return Error::invalid_argument(kNonFiniteVector);
  if (norm > kMinNormForScaling) {
    for (std::size_t i = 0; i < v.size(); ++i) out[i] = v[i] / norm;
  } else {
    std::copy(v.begin(), v.end(), out.begin());
  }
  return ok_status();
}

Status check_writable(const EngineState& state) {
  if (state.write_refusal) return Error(*state.write_refusal);
  return ok_status();
}

Status log_entries(EngineState& state, std::span<const WalEntry> entries) {
  Status appended = state.wal.append_batch(entries, /*sync=*/false);
  if (!appended.ok() && appended.error().kind() == ErrorKind::kUnsynced) {
    state.write_refusal = appended.error().message();
  }
  return appended;
}

WalEntry make_write_entry(std::string id, EncodedVector&& code, float stored_norm,
                          std::string metadata_json) {
  WalEntry entry;
  entry.id = std::move(id);
  entry.mse_indices = std::move(code.mse_indices);
  entry.qjl_bits = std::move(code.qjl_bits);
  entry.gamma = static_cast<float>(code.gamma);
  entry.norm = stored_norm;
  entry.metadata_json = std::move(metadata_json);
  return entry;
}

Status finish_operations(EngineState& state, std::uint64_t operations) {
  state.manifest.vector_count = state.id_pool.active_count();
  state.ops_since_persist += operations;
  VELQ_RETURN_IF_ERROR(maybe_persist_state(state, /*force=*/false));
  if (state.pending.size() >= state.wal_flush_threshold) {
    VELQ_RETURN_IF_ERROR(flush_wal_to_segment(state));
  }
  return ok_status();
}

}  // namespace velq
