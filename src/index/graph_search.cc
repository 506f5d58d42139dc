#include "index/graph_search.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "storage/graph/graph_format.h"
#include "index/node_marks.h"

namespace velq {

namespace {

// Heap orders over ranks_first: BestOnTop keeps the best candidate at the
// front, WorstOnTop the worst.
struct BestOnTop {
  bool operator()(const ScoredNode& a, const ScoredNode& b) const { return ranks_first(b, a); }
};
struct WorstOnTop {
  bool operator()(const ScoredNode& a, const ScoredNode& b) const { return ranks_first(a, b); }
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
  // Drops the top and adds `item`, which Order puts below the top: push
  // then pop, the same items kept, in one pass down from the top.
  void replace_top(const ScoredNode& item) {
    const std::size_t n = items_.size();
    std::size_t at = 0;
    for (std::size_t child = 1; child < n; child = 2 * at + 1) {
      if (child + 1 < n && Order()(items_[child], items_[child + 1])) ++child;
      if (!Order()(item, items_[child])) break;
      items_[at] = items_[child];
      at = child;
    }
    items_[at] = item;
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

// The visited marks of one search: a one-byte stamp per node, kept per
// thread so that a search neither allocates nor clears n_nodes bytes, and
// small enough (100 KB per 100,000 nodes) to stay in the core's private
// cache beside the lists and codes the walk reads. A search nested in
// another on the same thread (a scorer that searches) gets its own.
class VisitedMarks {
 public:
  VisitedMarks() : marks_(in_use_ ? own_ : shared_) { in_use_ = true; }
  ~VisitedMarks() {
    if (&marks_ == &shared_) in_use_ = false;
  }
  VisitedMarks(const VisitedMarks&) = delete;
  VisitedMarks& operator=(const VisitedMarks&) = delete;

  // Forgets every mark: the start of a level.
  void clear(std::size_t n_nodes) { marks_.clear(n_nodes); }
  // Marks `node`; false when it was already marked.
  bool insert(std::uint32_t node) { return marks_.insert(node); }

 private:
  using Marks = BasicNodeMarks<std::uint8_t>;
  static thread_local Marks shared_;
  static thread_local bool in_use_;
  Marks own_;
  Marks& marks_;
};

thread_local VisitedMarks::Marks VisitedMarks::shared_;
thread_local bool VisitedMarks::in_use_ = false;

// The unvisited neighbours of an expanded node with their scores, in list
// order.
struct Expansion {
  std::span<const std::uint32_t> nodes;
  std::span<const double> scores;

  std::size_t size() const { return nodes.size(); }
  ScoredNode operator[](std::size_t i) const { return {nodes[i], scores[i]}; }
};

// Per-search state shared by the levels: the callbacks, the visited marks
// and the unvisited neighbours of the node being expanded with their scores.
class Walk {
 public:
  Walk(const GraphAdjacency& graph, const NodeBatchScorer& scorer, const NodePrefetch& prefetch)
      : graph_(graph), scorer_(scorer), prefetch_(prefetch) {}

  const GraphAdjacency& graph() const { return graph_; }
  VisitedMarks& visited() { return visited_; }

  double score(std::uint32_t node) {
    double out;
    scorer_(std::span(&node, 1), std::span(&out, 1));
    return out;
  }

  // c's neighbours at `level` not yet visited, in list order, with their
  // scores: all are marked visited and hinted to the caller, then scored
  // together in one call. Valid until the next expansion.
  Expansion expand(std::uint32_t c, std::uint32_t level) {
    const std::span<const std::uint32_t> list = graph_.list(c, level);
    fresh_.resize(list.size());
    std::size_t count = 0;
    for (const std::uint32_t v : list) {
      // Written before the test, kept by counting: no branch to mispredict.
      fresh_[count] = v;
      count += visited_.insert(v) ? 1 : 0;
    }
    fresh_.resize(count);
    if (prefetch_) {
      for (const std::uint32_t v : fresh_) prefetch_(v);
    }
    scores_.resize(count);
    if (count != 0) scorer_(fresh_, scores_);
    return {fresh_, scores_};
  }

 private:
  const GraphAdjacency& graph_;
  const NodeBatchScorer& scorer_;
  const NodePrefetch& prefetch_;
  VisitedMarks visited_;
  std::vector<std::uint32_t> fresh_;
  std::vector<double> scores_;
};

// Greedy descent through one upper level; returns its best (at most
// kUpperLevelBeam) nodes as the next level's entries.
std::vector<ScoredNode> descend_level(Walk& walk, std::uint32_t level,
                                      std::vector<ScoredNode> entries) {
  walk.visited().clear(walk.graph().n_nodes());
  for (const ScoredNode& e : entries) walk.visited().insert(e.node);
  CandidateQueue candidates(entries);
  ResultSet results(std::move(entries));
  while (!candidates.empty()) {
    const ScoredNode c = candidates.pop();
    if (results.size() >= kUpperLevelBeam && ranks_before(results.top().score, c.score)) break;
    const Expansion fresh = walk.expand(c.node, level);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const ScoredNode hit = fresh[i];
      if (results.size() < kUpperLevelBeam || ranks_before(hit.score, results.top().score)) {
        candidates.push(hit);
        if (results.size() < kUpperLevelBeam) {
          results.push(hit);
        } else {
          results.replace_top(hit);
        }
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
  walk.visited().clear(walk.graph().n_nodes());
  CandidateQueue candidates;
  ResultSet results;
  for (const ScoredNode& e : entries) {
    if (e.node >= walk.graph().n_nodes()) continue;
    candidates.push(e);
    walk.visited().insert(e.node);
    if (passes(filter, e.node)) results.push(e);
  }
  while (!candidates.empty()) {
    const ScoredNode c = candidates.pop();
    if (results.size() >= ef && ranks_before(worst_score(results), c.score)) break;
    const Expansion fresh = walk.expand(c.node, 0);
    for (std::size_t i = 0; i < fresh.size(); ++i) {
      const ScoredNode hit = fresh[i];
      const std::uint32_t v = hit.node;
      const bool full = results.size() >= ef;
      // Once the results are full their worst score only rises, so a node
      // scoring below it now would stop the walk when popped: leaving it
      // out of the queue changes neither the walk nor the results.
      if (full && ranks_before(worst_score(results), hit.score)) continue;
      candidates.push(hit);
      // Most of the queue is expanded soon: start loading its list now.
      walk.graph().prefetch(v);
      if (!passes(filter, v)) continue;
      if (full && !ranks_before(hit.score, worst_score(results))) continue;
      if (!full) {
        results.push(hit);
      } else if (!results.empty()) {  // a beam of width 0 keeps only its entries
        results.replace_top(hit);
      }
    }
  }
  return std::move(results).release();
}

}  // namespace

std::vector<ScoredNode> search_graph(const GraphAdjacency& graph, std::size_t k, std::size_t ef,
                                     const NodeBatchScorer& scorer, const SearchFilter* filter,
                                     const NodePrefetch& prefetch) {
  const std::uint32_t entry = graph.entry_point();
  if (graph.n_nodes() == 0 || entry >= graph.n_nodes()) return {};
  Walk walk(graph, scorer, prefetch);
  std::vector<ScoredNode> entries{{entry, walk.score(entry)}};
  // No list exists above the top level, so a larger stored max_level only
  // names empty levels.
  for (std::uint32_t level = std::min(graph.max_level(), graph_format::kTopLevel); level >= 1;
       --level) {
    entries = descend_level(walk, level, std::move(entries));
  }
  std::vector<ScoredNode> hits = search_level0(walk, ef, entries, filter);
  std::sort(hits.begin(), hits.end(), ranks_first);
  if (hits.size() > k) hits.resize(k);
  return hits;
}

std::vector<ScoredNode> search_graph(const GraphAdjacency& graph, std::size_t k, std::size_t ef,
                                     const NodeScorer& scorer, const SearchFilter* filter,
                                     const NodePrefetch& prefetch) {
  const NodeBatchScorer each = [&](std::span<const std::uint32_t> nodes, std::span<double> scores) {
    for (std::size_t i = 0; i < nodes.size(); ++i) scores[i] = scorer(nodes[i]);
  };
  return search_graph(graph, k, ef, each, filter, prefetch);
}

}  // namespace velq
