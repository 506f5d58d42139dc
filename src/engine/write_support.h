// Steps shared by the write and delete roads: turning a caller's vector
// into the unit-length copy the quantizer takes, building log entries,
// logging them and the closing persistence and flush
// checks.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "common/result.h"
#include "engine/engine_state.h"
#include "quantizer/prod_quantizer.h"
#include "storage/log/wal_entry.h"

namespace velq {

// The text every write of an unusable vector is refused with.
inline constexpr const char* kNonFiniteVector = "vector contains non-finite values (NaN or Inf)";

// The text a write is refused with when its raw vector, kept at f16, would
// hold a value that half precision rounds to infinity.
inline constexpr const char* kF16OverflowVector =
    "vector contains values too large for f16 raw vectors (magnitude 65520 or more)";

// The existence errors of insert and update, naming the id.
Error already_exists(std::string_view id);
Error does_not_exist(std::string_view id);

// Below this length a vector is quantized as it is, not scaled to unit length.
inline constexpr float kMinNormForScaling = 1e-10f;

// Narrows `in` to f32 into `out` (same length). A value that is not finite
// as f32 (NaN, infinity, or beyond the f32 range such as 1e39) is refused
// with kInvalidArgument.
Status narrow_vector(std::span<const double> in, std::span<float> out);

// Refuses, with kInvalidArgument, a caller's vector (narrowed to f32) that
// would be kept as an f16 raw vector holding an infinity. A unit-length copy
// (the vector kept under normalize) always fits: its values are at most 1
// in magnitude.
Status check_raw_vector_range(const EngineState& state, std::span<const float> vector);

// The Euclidean length in f32: squares summed in index order from -0.0f.
float vector_norm(std::span<const float> v);

// Writes v / norm into out when norm exceeds kMinNormForScaling, else a copy
// of v. An infinite norm (the squares overflowed f32) is refused with
// kInvalidArgument: the unit copy would be all zeros.
Status unit_copy(std::span<const float> v, float norm, std::span<float> out);

// Refuses any write or delete once a log batch's fate became unknown.
Status check_writable(const EngineState& state);

// Appends `entries` to the log as one batch. When the batch's outcome is
// unknown (ErrorKind::kUnsynced) the state refuses every later write.
Status log_entries(EngineState& state, std::span<const WalEntry> entries);

// The log entry of one record write.
WalEntry make_write_entry(std::string id, EncodedVector&& code, float stored_norm,
                          std::string metadata_json);

// After `operations` records were written or deleted: refreshes the record
// count, counts the operations towards the next persist, persists when due
// and flushes once the pending writes reach the flush threshold.
Status finish_operations(EngineState& state, std::uint64_t operations);

}  // namespace velq
