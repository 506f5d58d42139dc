#include "storage/graph/graph_search.h"

#include <algorithm>
#include <limits>
#include <unordered_set>
#include <utility>

#include "storage/graph/graph_format.h"

namespace velq {

namespace {

// Heap orders over ranks_before: BestOnTop keeps the best candidate at the
// front, WorstOnTop the worst.
struct BestOnTop {
  bool operator()(const ScoredNode& a, const ScoredNode& b) const {
    return ranks_before(b.score, a.score);
  }
};
struct WorstOnTop {
  bool operator()(const ScoredNode& a, const ScoredNode& b) const {
    return ranks_before(a.score, b.score);
  }
};

template <typename Order>
class Heap {
 public:
  Heap() = default;
  explicit Heap(std::vector<ScoredNode> items) : items_(std::move(items)) {
    std::make_heap(items_.begin(), items_.end(), Order());
  }
  bool empty() const { return items_.empty(); }
  std::size_t size() const { return items_.size(); }
  const ScoredNode& top() const { return items_.front(); }
  void push(const ScoredNode& item) {
    items_.push_back(item);
    std::push_heap(items_.begin(), items_.end(), Order());
  }
  ScoredNode pop() {
    std::pop_heap(items_.begin(), items_.end(), Order());
    const ScoredNode item = items_.back();
    items_.pop_back();
    return item;
  }
  std::vector<ScoredNode> release() && { return std::move(items_); }

 private:
  std::vector<ScoredNode> items_;
};

using CandidateQueue = Heap<BestOnTop>;
using ResultSet = Heap<WorstOnTop>;

// Score of the worst kept result, or minus infinity while nothing is kept.
double worst_score(const ResultSet& results) {
  return results.empty() ? -std::numeric_limits<double>::infinity() : results.top().score;
}

bool passes(const SearchFilter* filter, std::uint32_t node) {
  if (filter == nullptr) return true;
  return filter->allowed != nullptr && node < filter->index_ids.size() &&
         filter->allowed->contains(filter->index_ids[node]);
}

// Per-search state shared by the levels: the callbacks and the buffers of
// the list being expanded.
struct Walk {
  const GraphView& graph;
  const NodeScorer& scorer;
  const NodePrefetch& prefetch;
  std::vector<std::uint32_t> list;
  std::vector<std::uint32_t> unseen;

  // Decodes c's list at `level` (an unreadable list is empty) and keeps its
  // nodes inside the graph that `first_visit` accepts, hinting each to the
  // caller before any is scored.
  template <typename FirstVisit>
  const std::vector<std::uint32_t>& expand(std::uint32_t c, std::uint32_t level,
                                           FirstVisit&& first_visit) {
    (void)graph.neighbors(c, level, list);
    unseen.clear();
    for (const std::uint32_t v : list) {
      if (v < graph.n_nodes() && first_visit(v)) unseen.push_back(v);
    }
    if (prefetch) {
      for (const std::uint32_t v : unseen) prefetch(v);
    }
    return unseen;
  }
};

// Greedy descent through one upper level; returns its best (at most
// kUpperLevelBeam) nodes as the next level's entries.
std::vector<ScoredNode> descend_level(Walk& walk, std::uint32_t level,
                                      std::vector<ScoredNode> entries) {
  std::unordered_set<std::uint32_t> visited;
  for (const ScoredNode& e : entries) visited.insert(e.node);
  CandidateQueue candidates(entries);
  ResultSet results(std::move(entries));
  while (!candidates.empty()) {
    const ScoredNode c = candidates.pop();
    if (results.size() >= kUpperLevelBeam && ranks_before(results.top().score, c.score)) break;
    const auto first_visit = [&](std::uint32_t v) { return visited.insert(v).second; };
    for (const std::uint32_t v : walk.expand(c.node, level, first_visit)) {
      const ScoredNode hit{v, walk.scorer(v)};
      if (results.size() < kUpperLevelBeam || ranks_before(hit.score, results.top().score)) {
        candidates.push(hit);
        results.push(hit);
        if (results.size() > kUpperLevelBeam) results.pop();
      }
    }
  }
  return std::move(results).release();
}

// Beam search of width ef on level 0. Start entries join the results
// without the ef limit.
std::vector<ScoredNode> search_level0(Walk& walk, std::size_t ef,
                                      const std::vector<ScoredNode>& entries,
                                      const SearchFilter* filter) {
  std::vector<std::uint8_t> visited(walk.graph.n_nodes(), 0);
  CandidateQueue candidates;
  ResultSet results;
  for (const ScoredNode& e : entries) {
    if (e.node >= walk.graph.n_nodes()) continue;
    candidates.push(e);
    visited[e.node] = 1;
    if (passes(filter, e.node)) results.push(e);
  }
  while (!candidates.empty()) {
    const ScoredNode c = candidates.pop();
    if (results.size() >= ef && ranks_before(worst_score(results), c.score)) break;
    const auto first_visit = [&](std::uint32_t v) { return std::exchange(visited[v], 1) == 0; };
    for (const std::uint32_t v : walk.expand(c.node, 0, first_visit)) {
      const ScoredNode hit{v, walk.scorer(v)};
      candidates.push(hit);
      if (!passes(filter, v)) continue;
      const bool full = results.size() >= ef;
      if (full && !ranks_before(hit.score, worst_score(results))) continue;
      results.push(hit);
      if (full) results.pop();
    }
  }
  return std::move(results).release();
}

}  // namespace

std::vector<ScoredNode> search_graph(const GraphView& graph, std::size_t k, std::size_t ef,
                                     const NodeScorer& scorer, const SearchFilter* filter,
                                     const NodePrefetch& prefetch) {
  const std::uint32_t entry = graph.entry_point();
  if (graph.n_nodes() == 0 || entry >= graph.n_nodes()) return {};
  Walk walk{graph, scorer, prefetch, {}, {}};
  std::vector<ScoredNode> entries{{entry, scorer(entry)}};
  // No list exists above the top level, so a larger stored max_level only
  // names empty levels.
  for (std::uint32_t level = std::min(graph.max_level(), graph_format::kTopLevel); level >= 1;
       --level) {
    entries = descend_level(walk, level, std::move(entries));
  }
  std::vector<ScoredNode> hits = search_level0(walk, ef, entries, filter);
  sort_best_first(hits);
  if (hits.size() > k) hits.resize(k);
  return hits;
}

}  // namespace velq
