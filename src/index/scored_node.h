// A node with its similarity score, and the one order in which the graph
// ranks scores. Scores are similarities: higher is closer.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

namespace velq {

struct ScoredNode {
  std::uint32_t node;
  double score;
};

// Scores candidates against `node`: one ScoredNode per candidate, in
// candidate order; an empty slice gives an empty vector. Called from the
// worker pool's threads concurrently, never with `node` among the candidates.
using BuildScorer =
    std::function<std::vector<ScoredNode>(std::uint32_t node, std::span<const std::uint32_t>)>;

// Similarity of one node to the query; called on the searching thread only.
using NodeScorer = std::function<double(std::uint32_t node)>;

// True when score `a` ranks strictly before `b`. Ordinary scores rank by
// value; NaN ranks after every number and ties with NaN. Unlike a bare `>`,
// this is a strict weak order, so sorts and heaps built on it are defined
// for every input.
inline bool ranks_before(double a, double b) {
  if (std::isnan(a)) return false;
  if (std::isnan(b)) return true;
  return a > b;
}

// The total order of a search: by score, best first, then by node number,
// so that equal scores rank the same way whatever order they came in.
inline bool ranks_first(const ScoredNode& a, const ScoredNode& b) {
  if (ranks_before(a.score, b.score)) return true;
  if (ranks_before(b.score, a.score)) return false;
  return a.node < b.node;
}

// Orders by score, best first; equal scores keep their relative order.
inline void sort_best_first(std::vector<ScoredNode>& hits) {
  std::stable_sort(hits.begin(), hits.end(), [](const ScoredNode& a, const ScoredNode& b) {
    return ranks_before(a.score, b.score);
  });
}

}  // namespace velq
