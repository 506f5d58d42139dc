#include "index/graph_build.h"

#include <algorithm>
#include <string>
#include <utility>

#include "common/panic.h"
#include "common/worker_pool.h"
#include "index/graph_mend.h"
#include "index/neighbor_selection.h"
#include "index/node_marks.h"

namespace velq {

namespace {

// Candidate sets are built one at a time per worker thread; a byte per node
// keeps the marks of a large level within the core's own caches.
using BuildMarks = BasicNodeMarks<std::uint8_t>;

BuildMarks& thread_marks() {
  thread_local BuildMarks marks;
  return marks;
}

// Nodes per worker task: a node's list costs hundreds of scores, so small
// chunks balance well without measurable scheduling cost.
constexpr std::size_t kNodesPerTask = 4;

constexpr std::uint32_t kNotTarget = UINT32_MAX;

// What a refinement round needs besides the lists: per target node, the
// scores of its current list and which entries joined it in the last round.
struct TargetState {
  std::vector<double> scores;
  std::vector<std::uint8_t> fresh;
};

// Up to min(ef_construction, pool size - 1) distinct random pool members
// other than `node`; `pool` holds `node` once. The draws come from node's own
// stream of the level seed.
std::vector<std::uint32_t> random_candidates(std::uint32_t node,
                                             std::span<const std::uint32_t> pool,
                                             std::size_t ef_construction,
                                             std::uint64_t level_seed) {
  const std::size_t target = pool.empty() ? 0 : std::min(ef_construction, pool.size() - 1);
  std::mt19937_64 rng(derive_seed(level_seed, node));
  std::vector<std::uint32_t> candidates;
  if (2 * target > pool.size()) {
    // Most of the pool is wanted: a partial shuffle of the other members
    // avoids the long tail of rejected repeat draws.
    candidates.reserve(pool.size());
    for (const std::uint32_t v : pool) {
      if (v != node) candidates.push_back(v);
    }
    for (std::size_t i = 0; i < target; ++i) {
      std::swap(candidates[i], candidates[i + uniform_index(rng, candidates.size() - i)]);
    }
    candidates.resize(target);
    return candidates;
  }
  BuildMarks& marks = thread_marks();
  marks.clear(std::size_t{pool.back()} + 1);
  marks.insert(node);
  candidates.reserve(target);
  while (candidates.size() < target) {
    const std::uint32_t v = pool[uniform_index(rng, pool.size())];
    if (marks.insert(v)) candidates.push_back(v);
  }
  return candidates;
}

// Node's initial list; `mend` keeps it and the first kRandomLinks sampled
// candidates (uniform over the pool, in draw order) for the last pass.
ScoredList random_init_neighbors(std::uint32_t node, std::span<const std::uint32_t> pool,
                                 std::size_t degree, std::size_t ef_construction,
                                 std::uint64_t level_seed, const BuildScorer& scorer,
                                 MendInput& mend) {
  const std::vector<std::uint32_t> candidates =
      random_candidates(node, pool, ef_construction, level_seed);
  const std::vector<ScoredNode> scored = score_all(node, candidates, scorer);
  mend.random_links.assign(scored.begin(),
                           scored.begin() + std::min(kRandomLinks, scored.size()));
  mend.initial = pick_best(scored, degree);
  return mend.initial;
}

// One refinement of node's list: the best `degree` of its neighbours and
// their neighbours. Candidates whose score could not change the outcome are
// not scored again: node's own entries keep their known scores, and after
// the first round a neighbour-of-neighbour w reached through an entry v
// that was already listed a round earlier, where w too was already in v's
// list, was a candidate last round. It lost then to every entry of node's
// current list, all of which compete again, so it cannot win now. This is
// the same result as scoring the whole set, at a fraction of the scoring.
ScoredList refine_neighbors(std::uint32_t node, const std::vector<NodeList>& lists,
                            const TargetState& own_state, const std::vector<TargetState>& states,
                            const std::vector<std::uint32_t>& target_index, bool first_round,
                            std::size_t degree, const BuildScorer& scorer, TargetState& next) {
  const NodeList& own = lists[node];
  BuildMarks& marks = thread_marks();
  marks.clear(lists.size());
  marks.insert(node);
  for (const std::uint32_t v : own) {
    marks.insert(v);
    // The neighbours' lists are scattered over the heap: request them all
    // before walking them.
    __builtin_prefetch(lists[v].data());
    const std::uint32_t t = target_index[v];
    if (t != kNotTarget) __builtin_prefetch(states[t].fresh.data());
  }

  std::vector<std::uint32_t> unscored;
  for (std::size_t a = 0; a < own.size(); ++a) {
    const std::uint32_t v = own[a];
    const bool v_fresh = first_round || own_state.fresh[a] != 0;
    const std::uint32_t v_target = target_index[v];
    const NodeList& second = lists[v];
    for (std::size_t b = 0; b < second.size(); ++b) {
      const bool w_fresh =
          v_fresh || (v_target != kNotTarget && states[v_target].fresh[b] != 0);
      if (w_fresh && marks.insert(second[b])) unscored.push_back(second[b]);
    }
  }

  std::vector<ScoredNode> scored;
  scored.reserve(own.size() + unscored.size());
  for (std::size_t a = 0; a < own.size(); ++a) scored.push_back({own[a], own_state.scores[a]});
  if (!unscored.empty() || own.empty()) {
    for (const ScoredNode& s : score_all(node, unscored, scorer)) scored.push_back(s);
  }
  ScoredList best = pick_best(scored, degree);
  next.scores = best.scores;
  next.fresh.resize(best.nodes.size());
  for (std::size_t i = 0; i < best.nodes.size(); ++i) {
    next.fresh[i] = !std::binary_search(own.begin(), own.end(), best.nodes[i]);
  }
  return best;
}

// Salt of the level-draw stream; level streams use the level itself.
constexpr std::uint64_t kLevelDrawSalt = UINT64_MAX;

}  // namespace

std::uint64_t BuildParams::resolved_seed() const { return seed.value_or(graph_rng()()); }

BuildParams BuildParams::at_level(std::uint32_t level) const {
  BuildParams out = *this;
  out.seed = derive_seed(resolved_seed(), level);
  return out;
}

std::mt19937_64 level_draw_rng(std::uint64_t seed) {
  return std::mt19937_64(derive_seed(seed, kLevelDrawSalt));
}

std::vector<std::uint32_t> nodes_at_level(std::span<const std::uint32_t> levels, std::size_t begin,
                                          std::size_t end, std::uint32_t level) {
  std::vector<std::uint32_t> nodes;
  for (std::size_t i = begin; i < end; ++i) {
    if (levels[i] >= level) nodes.push_back(static_cast<std::uint32_t>(i));
  }
  return nodes;
}

void draw_levels(GraphData& graph, std::size_t first, const GraphDegrees& degrees,
                 std::mt19937_64& rng) {
  for (std::size_t i = first; i < graph.size(); ++i) {
    const std::uint32_t level = draw_level(rng, degrees.level_multiplier);
    graph.levels[i] = level;
    if (level >= graph.max_level) graph.entry_point = static_cast<std::uint32_t>(i);
    graph.max_level = std::max(graph.max_level, level);
  }
}

std::vector<MendInput> build_level_lists(std::vector<NodeList>& lists,
                                         std::span<const std::uint32_t> pool,
                                         std::span<const std::uint32_t> targets,
                                         std::size_t degree, const BuildParams& params,
                                         const BuildScorer& scorer) {
  std::vector<ScoredList> next(targets.size());
  std::vector<TargetState> states(targets.size());
  std::vector<TargetState> next_states(targets.size());
  std::vector<std::uint32_t> target_index(lists.size(), kNotTarget);
  for (std::size_t i = 0; i < targets.size(); ++i) {
    target_index[targets[i]] = static_cast<std::uint32_t>(i);
  }
  auto commit = [&] {
    for (std::size_t i = 0; i < targets.size(); ++i) lists[targets[i]] = std::move(next[i].nodes);
  };

  const std::uint64_t level_seed = params.resolved_seed();
  std::vector<MendInput> out(targets.size());
  parallel_for_each(targets.size(), kNodesPerTask, [&](std::size_t i) {
    next[i] = random_init_neighbors(targets[i], pool, degree, params.ef_construction, level_seed,
                                    scorer, out[i]);
    states[i].scores = std::move(next[i].scores);
    states[i].fresh.assign(next[i].nodes.size(), 1);
  });
  commit();

  for (std::size_t round = 0; round < params.n_refinements; ++round) {
    parallel_for_each(targets.size(), kNodesPerTask, [&](std::size_t i) {
      next[i] = refine_neighbors(targets[i], lists, states[i], states, target_index, round == 0,
                                 degree, scorer, next_states[i]);
    });
    commit();
    std::swap(states, next_states);
    // A round that brought no new neighbour into any list leaves the next
    // one nothing to score: every later round would keep the lists as they
    // are. Stopping here gives the same lists for any count of rounds, and
    // a huge count cannot keep the build busy for ever.
    const bool settled = std::ranges::none_of(states, [](const TargetState& s) {
      return std::ranges::find(s.fresh, std::uint8_t{1}) != s.fresh.end();
    });
    if (settled) break;
  }
  for (std::size_t i = 0; i < targets.size(); ++i) out[i].list_scores = std::move(states[i].scores);
  return out;
}

void build_and_mend_level(std::vector<NodeList>& lists, std::span<const std::uint32_t> pool,
                          std::span<const std::uint32_t> targets, std::size_t degree,
                          const BuildParams& params, const BuildScorer& scorer) {
  const std::vector<MendInput> built =
      build_level_lists(lists, pool, targets, degree, params, scorer);
  mend_level_lists(lists, targets, built, degree, params.alpha, scorer);
}

GraphData build_graph(std::size_t n_nodes, const BuildParams& params, const BuildScorer& scorer) {
  if (n_nodes > UINT32_MAX) panic("graph of " + std::to_string(n_nodes) + " nodes exceeds u32 ids");
  const GraphDegrees degrees(params.max_degree);
  BuildParams seeded = params;
  seeded.seed = params.resolved_seed();
  GraphData graph;
  graph.resize(n_nodes);
  std::mt19937_64 level_rng = level_draw_rng(*seeded.seed);
  draw_levels(graph, 0, degrees, level_rng);
  for (std::uint32_t level = 0; level <= graph.max_level; ++level) {
    const std::vector<std::uint32_t> pool = nodes_at_level(graph.levels, 0, n_nodes, level);
    if (pool.size() < 2) continue;
    build_and_mend_level(graph.lists[level], pool, pool, degrees.at(level),
                         seeded.at_level(level), scorer);
  }
  return graph;
}

}  // namespace velq
