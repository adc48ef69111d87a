// Construction of the proximity graph written to graph.bin (layout in storage/graph.h).
//
// Each node draws a level min(floor(-ln U * mL), 5) with mL = 1 / ln(max(max_degree / 2, 4));
// the entry point is the last node on the highest level. Every level is built from its own
// nodes by passes that each compute all lists from the previous pass's lists, in parallel:
//   1. a random sample of min(ef_construction, count - 1) other nodes per node;
//   2. up to n_refinements passes over each node's neighbours, their neighbours and the nodes
//      whose lists hold it (reverse neighbours), stopping early once a pass changes nothing;
//   3. one pass over each node's own and reverse neighbours, so every edge is offered back;
//   4. a serial repair that links every node no list names from a nearby node.
// Each pass scores the candidates against the node and keeps at most the level's degree limit
// (min(max_degree, 127) on level 0, max(max_degree / 2, 4) above), best first. On the levels
// above 0 every pass, and on level 0 the closing pass, keeps them through the alpha
// diversity rule: a candidate v is refused when a neighbour w kept before it is closer to v
// than the node u is, by the factor alpha (alpha * dist(v, w) <= dist(u, v)). Refusing the
// near-duplicates of kept neighbours leaves room for the long edges between clusters that
// make the graph navigable on clustered data; level 0 first converges to its nearest
// neighbours, which are what a search finally collects.
//
// The rule alone fails where distances concentrate: inside an isotropic cluster in many
// dimensions every node is about as far from u as from any other, nothing is refused, and
// the lists fill with the node's own cluster. So an eighth of every list (rounded up) is kept
// for long links in every pass: the best candidates farther from u than alpha times its
// farthest near neighbour, diverse among themselves. The random sample supplies them first,
// and as they stay candidates of every later pass they move towards the nearest other
// clusters, which is where a search that entered the wrong cluster has to go.
#pragma once

#include <cstdint>

#include "common/bytes.h"
#include "storage/graph.h"

namespace norvex::storage {

// Builds the graph over nodes 0..n-1 and returns the complete bytes of graph.bin. Throws
// Error when n does not fit a u32; rethrows errors of the similarity.
Bytes build_graph_bytes(std::uint64_t n, std::uint64_t max_degree, std::uint64_t ef_construction,
                        std::uint64_t n_refinements, double alpha,
                        const GraphSimilarity& similarity, const GraphBuildOptions& options);

}  // namespace norvex::storage
