// Opening an engine state in a temporary directory for the tests of the
// write, delete and flush units, plus record-shaped inputs whose stored
// norm and metadata name the record, so any mix-up of numberings shows.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "engine/state/engine_options.h"
#include "engine/state/engine_state.h"
#include "engine/recovery.h"
#include "engine/velqor_engine.h"
#include "engine/writes.h"
#include "../storage/temp_dir.h"

namespace velq {

// The state behind a front, for tests that look at what the front does not
// show.
struct EngineInternals {
  static const EngineState& of(const VelqorEngine& e) { return *e.state_; }
};

// One record of a batch, as the tests build them.
struct BatchWriteItem {
  std::string id;
  std::vector<float> vector;  // d values
  JsonObject metadata;
  std::optional<std::string> document;
};

// A batch of items as the rows a write takes: one contiguous matrix and
// columns of ids, metadata and documents.
struct ItemRows {
  std::vector<float> values;
  std::vector<std::string> ids;
  std::vector<JsonObject> metadatas;
  std::vector<std::optional<std::string>> documents;

  explicit ItemRows(std::vector<BatchWriteItem> items) {
    for (BatchWriteItem& item : items) {
      values.insert(values.end(), item.vector.begin(), item.vector.end());
      ids.push_back(std::move(item.id));
      metadatas.push_back(std::move(item.metadata));
      documents.push_back(std::move(item.document));
    }
  }
  WriteRows rows() { return {values, ids, metadatas, documents}; }
};

inline Status insert_many_with_mode(EngineState& state, std::vector<BatchWriteItem> items,
                                    WriteMode mode) {
  ItemRows rows(std::move(items));
  return write_rows(state, rows.rows(), mode);
}

inline Status insert_many_with_mode(VelqorEngine& engine, std::vector<BatchWriteItem> items,
                                    WriteMode mode) {
  ItemRows rows(std::move(items));
  return engine.insert_many_with_mode(rows.rows(), mode);
}

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
  for (const auto& [id, slot] : s.slots.ids().iter_active()) {
    ASSERT_LT(slot, s.slots.codes().len()) << id;
    const std::optional<VectorMetadata> m = s.metadata.get(slot);
    ASSERT_TRUE(m.has_value()) << id;
    const JsonValue* named = m->properties.find("id");
    ASSERT_NE(named, nullptr);
    EXPECT_EQ(named->as_string(), id) << "slot " << slot;
    EXPECT_FLOAT_EQ(s.slots.code_at(slot).norm, norm_of(id)) << id;
  }
}

}  // namespace velq::testing
