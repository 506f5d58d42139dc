// A database filled with random rows for the search and index-build tests,
// with an exact float reference to measure recall against.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <memory>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "engine/engine_state.h"
#include "engine/index_build.h"
#include "engine/writes.h"
#include "engine/engine_test_util.h"

namespace velq::testing {

// prefix + decimal n (built by append: GCC 12 warns falsely about
// const char* + std::string at -O3).
inline std::string numbered(std::string prefix, std::size_t n) {
  return prefix.append(std::to_string(n));
}

// Index parameters small enough for test databases.
inline constexpr IndexParams kSmallIndex{16, 100, 64, 2, 1.2};

// A 32-dimensional database of the given kind.
inline EngineOptions small_options(DistanceMetric metric = DistanceMetric::kIp,
                                   RerankPrecision precision = RerankPrecision::kDisabled,
                                   bool fast = false, bool rerank = true) {
  EngineOptions o;
  o.d = 32;
  o.metric = metric;
  o.rerank_precision = precision;
  o.fast_mode = fast;
  o.rerank = rerank;
  return o;
}

struct SearchDb {
  TempDir dir;
  std::unique_ptr<EngineState> state;
  std::vector<std::vector<float>> rows;  // row i is record "r<i>"

  // Rows are Gaussian around `clusters` centres (pure Gaussian when 0);
  // metadata: {"i": i, "group": i % 10}.
  SearchDb(EngineOptions o, std::size_t count, unsigned seed = 1, std::size_t clusters = 0) {
    o.storage_uri = dir.path();
    o.local_dir = dir.path();
    if (!o.wal_flush_threshold) o.wal_flush_threshold = 1'000'000;
    state = open_state(o);
    add(count, seed, clusters);
  }

  // Appends `count` rows as records r<size> ...
  void add(std::size_t count, unsigned seed, std::size_t clusters = 0) {
    std::mt19937 gen(seed);
    std::normal_distribution<float> normal;
    const std::size_t d = state->d();
    std::vector<std::vector<float>> centres(clusters, std::vector<float>(d));
    for (auto& c : centres) for (float& x : c) x = normal(gen);
    std::vector<BatchWriteItem> items;
    for (std::size_t k = 0; k < count; ++k) {
      const std::size_t i = rows.size();
      std::vector<float> v(d);
      const float spread = clusters == 0 ? 1.0f : 0.3f;
      for (std::size_t j = 0; j < d; ++j) v[j] = spread * normal(gen);
      if (clusters != 0) {
        const auto& c = centres[gen() % clusters];
        for (std::size_t j = 0; j < d; ++j) v[j] += c[j];
      }
      rows.push_back(v);
      std::vector<JsonMember> m;
      m.emplace_back("group", JsonValue::integer(std::uint64_t{i % 10}));
      m.emplace_back("i", JsonValue::integer(std::uint64_t{i}));
      items.push_back({numbered("r", i), v, JsonObject(std::move(m)), std::nullopt});
    }
    const Status s = insert_many_with_mode(*state, std::move(items), WriteMode::kInsert);
    ASSERT_TRUE(s.ok()) << s.error().message();
  }

  std::vector<double> query(unsigned seed) const {
    std::mt19937 gen(seed + 7777);
    std::normal_distribution<double> normal;
    std::vector<double> q(state->d());
    for (double& x : q) x = normal(gen);
    return q;
  }

  // Exact similarity of the query to row i under the database's metric.
  double exact(const std::vector<double>& q, std::size_t i) const {
    double dot = 0, qq = 0, rr = 0, dist = 0;
    for (std::size_t j = 0; j < q.size(); ++j) {
      const double r = rows[i][j];
      dot += q[j] * r;
      qq += q[j] * q[j];
      rr += r * r;
      dist += (q[j] - r) * (q[j] - r);
    }
    switch (state->metric()) {
      case DistanceMetric::kIp: return dot;
      case DistanceMetric::kCosine: return dot / std::sqrt(qq * rr);
      case DistanceMetric::kL2: return -std::sqrt(dist);
    }
    return 0;
  }

  // Ids of the exact top k.
  std::vector<std::string> exact_top(const std::vector<double>& q, std::size_t k) const {
    std::vector<std::size_t> order(rows.size());
    std::iota(order.begin(), order.end(), 0);
    std::vector<double> s(rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) s[i] = exact(q, i);
    k = std::min(k, order.size());
    std::partial_sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(k), order.end(),
                      [&](std::size_t a, std::size_t b) { return s[a] > s[b]; });
    std::vector<std::string> out;
    for (std::size_t i = 0; i < k; ++i) out.push_back(numbered("r", order[i]));
    return out;
  }
};

inline std::vector<std::string> ids_of(const std::vector<SearchResult>& results) {
  std::vector<std::string> out;
  for (const SearchResult& r : results) out.push_back(r.id);
  return out;
}

// |found ∩ truth| / |truth|.
inline double recall(const std::vector<std::string>& found, const std::vector<std::string>& truth) {
  std::size_t hit = 0;
  for (const std::string& t : truth) hit += std::count(found.begin(), found.end(), t);
  return truth.empty() ? 1.0 : static_cast<double>(hit) / static_cast<double>(truth.size());
}

// Same ids and bit-identical scores, in order.
inline void expect_same_results(const std::vector<SearchResult>& a, const std::vector<SearchResult>& b) {
  ASSERT_EQ(a.size(), b.size());
  for (std::size_t i = 0; i < a.size(); ++i) {
    EXPECT_EQ(a[i].id, b[i].id) << "rank " << i;
    EXPECT_EQ(std::bit_cast<std::uint64_t>(a[i].score), std::bit_cast<std::uint64_t>(b[i].score))
        << "rank " << i;
  }
}

}  // namespace velq::testing
