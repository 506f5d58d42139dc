// Bulk construction of the proximity graph in memory. Each level is built
// at once: every node gets a random initial candidate set from which its
// best `degree` neighbours are kept, then synchronous neighbour-of-neighbour
// rounds improve all lists of the level together, and a last pass adds
// reverse links and prunes each list for diversity (graph_mend.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "storage/graph/graph_data.h"
#include "index/graph_levels.h"
#include "index/graph_mend.h"
#include "index/scored_node.h"

namespace velq {

// The engine's default relaxation of the diversity rule (see covers()).
inline constexpr double kDefaultAlpha = 1.2;

struct BuildParams {
  std::size_t max_degree;
  std::size_t ef_construction;  // size of each random initial candidate set
  std::size_t n_refinements;    // refinement rounds per level
  double alpha = kDefaultAlpha;  // relaxation of the diversity rule, see covers()
  // Every random draw of a build derives from this seed (level draws, and
  // per level and node the initial candidates), so one seed gives one graph
  // whatever the pool's size or the order it runs nodes in. Unset: a seed
  // from the thread's entropy-seeded generator, so builds differ.
  std::optional<std::uint64_t> seed = std::nullopt;

  // The seed, drawn when unset.
  std::uint64_t resolved_seed() const;
  // These parameters with the seed of one level's draws.
  BuildParams at_level(std::uint32_t level) const;
};

// Nodes in [begin, end) whose level is at least `level`, ascending.
std::vector<std::uint32_t> nodes_at_level(std::span<const std::uint32_t> levels, std::size_t begin,
                                          std::size_t end, std::uint32_t level);

// The stream of a build's level draws.
std::mt19937_64 level_draw_rng(std::uint64_t seed);

// Draws the levels of nodes first .. size-1 in order from `rng`. A node whose level
// reaches the running max_level becomes the entry point (ties go to the
// later node); max_level grows to the largest level drawn.
void draw_levels(GraphData& graph, std::size_t first, const GraphDegrees& degrees,
                 std::mt19937_64& rng);

// Sets the lists of `targets` at one level: initial lists drawn from `pool`,
// then the refinement rounds, each reading only the previous round's lists.
// Runs on the worker pool; lists of nodes outside `targets` are read, never
// written. `params.seed` seeds the level's draws (see BuildParams::at_level).
// Returns, in `targets` order, what the mending pass needs.
std::vector<MendInput> build_level_lists(std::vector<NodeList>& lists,
                                         std::span<const std::uint32_t> pool,
                                         std::span<const std::uint32_t> targets,
                                         std::size_t degree, const BuildParams& params,
                                         const BuildScorer& scorer);

// One level's lists of `targets`: build_level_lists, then the mending pass.
void build_and_mend_level(std::vector<NodeList>& lists, std::span<const std::uint32_t> pool,
                          std::span<const std::uint32_t> targets, std::size_t degree,
                          const BuildParams& params, const BuildScorer& scorer);

// A complete graph over nodes 0 .. n_nodes-1.
GraphData build_graph(std::size_t n_nodes, const BuildParams& params, const BuildScorer& scorer);

// Adds nodes graph.size() .. n_total-1 to a graph whose lists are all
// within range. New nodes get lists as in the full build (reverse links
// among new nodes only). Old nodes keep their levels and lists, except that
// an old node listed by a new one links back to it; a list that overflows
// its degree is pruned by the diversity rule.
void extend_graph(GraphData& graph, std::size_t n_total, const BuildParams& params,
                  const BuildScorer& scorer);

}  // namespace velq
