// Helpers shared by the graph tests: an in-memory parsed file and random
// unit vectors (uniform directions or clustered) scored by exact inner
// products.
#pragma once

#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "index/graph_build.h"
#include "storage/graph/graph_adjacency.h"
#include "storage/graph/graph_encode.h"
#include "storage/graph/graph_reader.h"

namespace velq::testing {

// File bytes with their parsed layout, as a mapped graph.bin would be.
struct ParsedGraph {
  explicit ParsedGraph(std::vector<std::uint8_t> file) : bytes(std::move(file)) {
    layout.parse(bytes);
  }
  GraphView view() const { return GraphView(bytes, layout); }
  GraphAdjacency adjacency() const { return GraphAdjacency(view()); }

  std::vector<std::uint8_t> bytes;
  GraphLayout layout;
};

inline ParsedGraph parse(const GraphData& graph) { return ParsedGraph(encode_graph(graph)); }

// n random unit vectors of dimension d, deterministic in `seed`: uniform
// directions, or with `clusters` > 0 a Gaussian mixture around that many
// random unit centres, each point offset by a Gaussian of expected norm
// `spread` before normalising, like clustered embeddings. The centres depend
// only on `clusters` and d, so sets of other seeds (queries) share them.
class UnitVectors {
 public:
  UnitVectors(std::size_t n, std::size_t d, std::uint64_t seed, std::size_t clusters = 0,
              float spread = 0)
      : n_(n), d_(d), data_(n * d) {
    std::mt19937_64 rng(seed);
    std::normal_distribution<float> normal;
    std::vector<float> centres(clusters * d);
    std::mt19937_64 centre_rng(clusters);
    for (float& c : centres) c = normal(centre_rng);
    for (std::size_t i = 0; i < clusters; ++i) normalise(&centres[i * d]);
    for (std::size_t i = 0; i < n; ++i) {
      float* v = &data_[i * d];
      const float* centre = clusters == 0 ? nullptr : &centres[rng() % clusters * d];
      const float scale = clusters == 0 ? 1.0f : spread / std::sqrt(static_cast<float>(d));
      for (std::size_t j = 0; j < d; ++j) v[j] = (centre ? centre[j] : 0.0f) + scale * normal(rng);
      normalise(v);
    }
  }

  std::size_t size() const { return n_; }
  const float* at(std::size_t i) const { return &data_[i * d_]; }

  // Eight independent partial sums let the compiler vectorise; d is a
  // multiple of 8 in every test.
  double dot(const float* a, const float* b) const {
    float lanes[8] = {};
    for (std::size_t j = 0; j < d_; j += 8) {
      for (std::size_t l = 0; l < 8; ++l) lanes[l] += a[j + l] * b[j + l];
    }
    return (lanes[0] + lanes[1]) + (lanes[2] + lanes[3]) + (lanes[4] + lanes[5]) +
           (lanes[6] + lanes[7]);
  }

  BuildScorer build_scorer() const {
    return [this](std::uint32_t node, std::span<const std::uint32_t> candidates) {
      std::vector<ScoredNode> out;
      out.reserve(candidates.size());
      for (const std::uint32_t c : candidates) out.push_back({c, dot(at(node), at(c))});
      return out;
    };
  }

  NodeScorer query_scorer(const float* query) const {
    return [this, query](std::uint32_t node) { return dot(query, at(node)); };
  }

  // The k best nodes for `query` by exact score.
  std::vector<std::uint32_t> exact_top(const float* query, std::size_t k) const {
    std::vector<ScoredNode> all;
    for (std::uint32_t i = 0; i < n_; ++i) all.push_back({i, dot(query, at(i))});
    std::partial_sort(all.begin(), all.begin() + k, all.end(),
                      [](const ScoredNode& a, const ScoredNode& b) { return a.score > b.score; });
    std::vector<std::uint32_t> top;
    for (std::size_t i = 0; i < k; ++i) top.push_back(all[i].node);
    return top;
  }

 private:
  void normalise(float* v) const {
    double norm = 0;
    for (std::size_t j = 0; j < d_; ++j) norm += double{v[j]} * v[j];
    for (std::size_t j = 0; j < d_; ++j) v[j] = static_cast<float>(v[j] / std::sqrt(norm));
  }

  std::size_t n_;
  std::size_t d_;
  std::vector<float> data_;
};

}  // namespace velq::testing
