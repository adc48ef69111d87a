// The graph index side of the engine: building the index and the single search entry.
//
// Not built yet: building an index is refused, so no index is ever usable and every search
// is exhaustive.
#include <cmath>

#include "common/error.h"
#include "storage/engine/engine.h"
#include "storage/engine/internal.h"

namespace norvex::storage::engine {

using namespace internal;

void NorvaneEngine::create_index_with_params(std::uint64_t, std::uint64_t, std::uint64_t, double,
                                             std::uint64_t) {
  check_writable();
  throw Error("graph index not available yet");
}

std::vector<SearchResult> NorvaneEngine::search_with_filter_and_ann(
    std::span<const double> query, std::uint64_t k, const std::optional<PropertyMap>& filter,
    std::optional<std::uint64_t> /*search_list_size*/, bool use_ann) const {
  if (query.size() != d_) {
    throw Error("query dimension mismatch: expected " + std::to_string(d_) + ", got " +
                std::to_string(query.size()));
  }
  for (double x : query) {
    if (!std::isfinite(x)) throw Error("query holds a value that is not finite");
  }
  if (k == 0 || id_pool_.live_count() == 0) return {};
  std::vector<double> q(query.begin(), query.end());
  if (normalize_) {
    double sum = 0.0;
    for (double x : q) sum += x * x;
    const double norm = std::sqrt(sum);
    if (norm > 1e-10) {
      for (double& x : q) x /= norm;
    }
  }
  if (use_ann && index_usable()) {
    // The graph search goes here (steps 4 to 11 of the approximate path).
  }
  return exhaustive_search_simd(q, k, filter, nullptr);
}

}  // namespace norvex::storage::engine
