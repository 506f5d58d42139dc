// Opening an engine state in a temporary directory for the tests of the
// write, delete and flush units, plus record-shaped inputs whose stored
// norm and metadata name the record, so any mix-up of numberings shows.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine_options.h"
#include "engine/engine_state.h"
#include "engine/recovery.h"
#include "engine/slot_writes.h"
#include "engine/velqor_engine.h"
#include "../storage/temp_dir.h"

namespace velq {

// The state behind a front, for tests that look at what the front does not
// show.
struct EngineInternals {
  static const EngineState& of(const VelqorEngine& e) { return *e.state_; }
};

}  // namespace velq

namespace velq::testing {

inline EngineOptions engine_options(const std::string& dir, std::size_t d = 16) {
  EngineOptions o;
  o.storage_uri = dir;
  o.local_dir = dir;
  o.d = d;
  return o;
}

inline std::unique_ptr<EngineState> open_state(const EngineOptions& o) {
  Result<std::unique_ptr<EngineState>> opened = open_engine_state(o);
  if (!opened.ok()) {
    ADD_FAILURE() << opened.error().message();
    return nullptr;
  }
  return std::move(opened).value();
}

// An index over `slots` as a build records it, but with no graph mapped:
// writes keep the delta list beside it, and deletions and flushes drop it.
inline void pretend_indexed(EngineState& s, std::vector<std::uint32_t> slots) {
  const std::size_t n = slots.size();
  s.index = EngineIndex(GraphManager::open(s.backend, s.local_dir).value(), std::move(slots), {},
                        IndexState{.indexed_nodes = n});
}

inline std::vector<std::uint32_t> delta_of(const EngineState& s) {
  return {s.index.delta().begin(), s.index.delta().end()};
}

// A vector of length `scale`; its direction depends on `seed`.
inline std::vector<double> scaled_vector(std::size_t d, unsigned seed, double scale) {
  std::vector<double> v(d);
  double sum = 0;
  for (std::size_t i = 0; i < d; ++i) {
    v[i] = std::sin(seed * 7.3 + static_cast<double>(i) * 1.1) + 0.01;
    sum += v[i] * v[i];
  }
  for (double& x : v) x *= scale / std::sqrt(sum);
  return v;
}

// Metadata naming its record.
inline JsonObject tag(const std::string& id) {
  std::vector<JsonMember> members;
  members.emplace_back("id", JsonValue::string(id));
  return JsonObject(std::move(members));
}

// Every live record's slot agrees with itself across the files: its
// metadata names it and its stored norm is `norm_of(id)`.
template <typename NormOf>
void expect_consistent(const EngineState& s, NormOf norm_of) {
  for (const auto& [id, slot] : s.id_pool.iter_active()) {
    ASSERT_LT(slot, s.live_codes.len()) << id;
    const std::optional<VectorMetadata> m = s.metadata.get(slot);
    ASSERT_TRUE(m.has_value()) << id;
    const JsonValue* named = m->properties.find("id");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->as_string(), id) << "slot " << slot;
    EXPECT_FLOAT_EQ(live_codes_at_slot(s, slot).norm, norm_of(id)) << id;
  }
}

}  // namespace velq::testing
