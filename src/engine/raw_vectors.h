// Reading a slot of live_vectors.bin back as a real vector.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "engine/engine_state.h"

namespace velq {

// The slot's raw vector (d values) widened exactly to f64: f32 values as
// stored, f16 values through the half conversion (zero, subnormals,
// infinities and NaN kept). d zeros when no raw vectors are kept. Panics
// when the file is unmapped or the slot lies outside it. Does not look at
// the deleted flag.
std::vector<double> live_raw_vector_at_slot(const EngineState& state, std::uint32_t slot);

// The same into `out`, resized to d.
void live_raw_vector_into(const EngineState& state, std::uint32_t slot, std::vector<double>& out);

// Asks the processor for the slot's raw vector ahead of its reading: a few
// hits ahead, a rescoring loop overlaps their misses. Nothing when no raw
// vectors are kept or the slot lies outside the file.
void prefetch_raw_vector(const EngineState& state, std::uint32_t slot);

}  // namespace velq
