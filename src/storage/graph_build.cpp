#include "storage/graph_build.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <unordered_set>
#include <vector>

#include "common/error.h"
#include "common/thread_pool.h"
#include "storage/node_marks.h"

namespace norvex::storage {
namespace {

constexpr std::size_t kGrain = 8;
constexpr std::uint64_t kLevelStream = std::numeric_limits<std::uint64_t>::max();

std::uint64_t mix64(std::uint64_t z) {
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

// SplitMix64: small, fast and plenty for sampling.
class Rng {
 public:
  explicit Rng(std::uint64_t seed) : state_(seed) {}
  std::uint64_t next() { return mix64(state_ += 0x9e3779b97f4a7c15ULL); }
  // Uniform in [0, 1).
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  // Uniform in [0, bound), bound > 0.
  std::uint64_t below(std::uint64_t bound) {
    return static_cast<std::uint64_t>((static_cast<unsigned __int128>(next()) * bound) >> 64);
  }

 private:
  std::uint64_t state_;
};

// Each thread's own generator, seeded from the operating system's random source.
Rng& thread_rng() {
  thread_local Rng rng = [] {
    std::random_device source;
    return Rng((std::uint64_t{source()} << 32) ^ source());
  }();
  return rng;
}

// Where a task's random numbers come from: with a seed, a generator derived from the seed
// and the task's stream number (the same draws whichever thread runs the task); without,
// the running thread's generator.
class Draws {
 public:
  explicit Draws(std::optional<std::uint64_t> seed) : seed_(seed) {}

  template <typename Fn>
  void with(std::uint64_t stream, Fn&& fn) const {
    if (seed_) {
      Rng rng(mix64(*seed_ ^ mix64(stream)));
      fn(rng);
    } else {
      fn(thread_rng());
    }
  }

 private:
  std::optional<std::uint64_t> seed_;
};

// NaN ranks below every number.
bool score_less(double a, double b) { return std::isnan(a) ? !std::isnan(b) : a < b; }

// The nodes that link to each node of a level, as one flat table.
struct ReverseLists {
  std::vector<std::uint64_t> start;
  std::vector<std::uint32_t> ids;

  std::span<const std::uint32_t> of(std::size_t i) const {
    return {ids.data() + start[i], static_cast<std::size_t>(start[i + 1] - start[i])};
  }
};

ReverseLists reverse_of(const std::vector<std::vector<std::uint32_t>>& lists) {
  ReverseLists r;
  r.start.assign(lists.size() + 1, 0);
  for (const auto& list : lists) {
    for (const std::uint32_t v : list) ++r.start[v + 1];
  }
  for (std::size_t i = 0; i < lists.size(); ++i) r.start[i + 1] += r.start[i];
  r.ids.resize(r.start.back());
  std::vector<std::uint64_t> fill(r.start.begin(), r.start.end() - 1);
  for (std::uint32_t u = 0; u < lists.size(); ++u) {
    for (const std::uint32_t v : lists[u]) r.ids[fill[v]++] = u;
  }
  return r;
}

class LevelBuilder {
 public:
  LevelBuilder(const GraphSimilarity& similarity, double alpha, const std::vector<double>& self,
               const Draws& draws)
      : similarity_(similarity), alpha_(alpha), self_(self), draws_(draws) {}

  // Builds the lists of one level whose nodes are `nodes` (global numbers, ascending).
  // Returns each node's list as ascending global numbers.
  std::vector<std::vector<std::uint32_t>> build(std::uint32_t level,
                                                const std::vector<std::uint32_t>& nodes,
                                                std::size_t limit, bool diverse, bool diverse_last,
                                                std::uint64_t ef_construction,
                                                std::uint64_t n_refinements,
                                                const GraphBuildOptions& options) {
    nodes_ = &nodes;
    limit_ = limit;
    const double share =
        options.long_link_share > 0.0 ? std::min(options.long_link_share, 1.0) : 0.0;
    reserve_ = static_cast<std::size_t>(std::ceil(static_cast<double>(limit) * share));
    diverse_ = diverse;
    const std::size_t count = nodes.size();
    std::vector<std::vector<std::uint32_t>> lists(count);
    if (count >= 2) {
      const std::uint64_t sample = std::min<std::uint64_t>(ef_construction, count - 1);
      lists = run_pass(count, [&](std::size_t i) { return random_sample(level, i, sample); });
      for (std::uint64_t r = 0; r < n_refinements; ++r) {
        ReverseLists reverse;
        if (options.reverse_candidates) reverse = reverse_of(lists);
        auto next = run_pass(count, [&](std::size_t i) {
          std::vector<std::uint32_t> cand(lists[i]);
          for (const std::uint32_t j : lists[i])
            cand.insert(cand.end(), lists[j].begin(), lists[j].end());
          if (options.reverse_candidates) {
            const auto rev = reverse.of(i);
            cand.insert(cand.end(), rev.begin(), rev.end());
          }
          return without(std::move(cand), i);
        });
        // A pass is a function of the lists alone: once it changes nothing, neither would
        // the passes left.
        const bool settled = next == lists;
        lists = std::move(next);
        if (settled) break;
      }
      if (options.reverse_pass) {
        diverse_ = diverse_last;
        const ReverseLists reverse = reverse_of(lists);
        lists = run_pass(count, [&](std::size_t i) {
          std::vector<std::uint32_t> cand(lists[i]);
          const auto rev = reverse.of(i);
          cand.insert(cand.end(), rev.begin(), rev.end());
          return without(std::move(cand), i);
        });
      }
      if (options.link_orphans) link_orphans(lists);
    }
    for (auto& list : lists) {
      for (std::uint32_t& v : list) v = nodes[v];  // local order is global order
    }
    return lists;
  }

 private:
  // A node that no list names can never be reached. Each such node (in node order) is added
  // to the list of the most similar of its neighbours and their neighbours that has room, or
  // else that can give up its least similar entry without orphaning it in turn. Such links
  // are exempt from the diversity rule.
  void link_orphans(std::vector<std::vector<std::uint32_t>>& lists) const {
    const std::vector<std::uint32_t>& nodes = *nodes_;
    std::vector<std::uint32_t> in_degree(lists.size(), 0);
    for (const auto& list : lists) {
      for (const std::uint32_t v : list) ++in_degree[v];
    }
    std::vector<std::uint32_t> global;
    std::vector<double> scores;
    // Scores node `from` (local) against the local nodes of `list`.
    auto score_list = [&](std::uint32_t from, const std::vector<std::uint32_t>& list) {
      global.resize(list.size());
      for (std::size_t k = 0; k < list.size(); ++k) global[k] = nodes[list[k]];
      scores.resize(list.size());
      similarity_.score(nodes[from], global, scores);
    };
    for (std::uint32_t v = 0; v < lists.size(); ++v) {
      if (in_degree[v] != 0 || lists[v].empty()) continue;
      // v's neighbours and theirs.
      std::vector<std::uint32_t> own = lists[v];
      for (const std::uint32_t w : lists[v])
        own.insert(own.end(), lists[w].begin(), lists[w].end());
      own = without(std::move(own), v);
      score_list(v, own);
      std::vector<std::size_t> order(own.size());
      std::iota(order.begin(), order.end(), 0);
      std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        return score_less(scores[b], scores[a]);
      });
      for (const std::size_t k : order) {
        std::vector<std::uint32_t>& list = lists[own[k]];
        if (list.size() >= limit_) {
          score_list(own[k], list);
          std::size_t drop = list.size();
          for (std::size_t j = 0; j < list.size(); ++j) {
            if (in_degree[list[j]] >= 2 &&
                (drop == list.size() || score_less(scores[j], scores[drop]))) {
              drop = j;
            }
          }
          if (drop == list.size()) continue;
          --in_degree[list[drop]];
          list.erase(list.begin() + static_cast<std::ptrdiff_t>(drop));
        }
        list.insert(std::lower_bound(list.begin(), list.end(), v), v);
        ++in_degree[v];
        break;
      }
    }
  }

  // Sorted, duplicate-free candidates without node i itself. Duplicates go first, by marks,
  // so that only the distinct ones (about half of a refinement pass's candidates) are sorted.
  std::vector<std::uint32_t> without(std::vector<std::uint32_t> cand, std::size_t i) const {
    thread_local NodeMarks marks;
    marks.start(nodes_->size());
    marks.mark(static_cast<std::uint32_t>(i));
    std::size_t kept = 0;
    for (const std::uint32_t v : cand) {
      if (marks.mark(v)) cand[kept++] = v;
    }
    cand.resize(kept);
    std::sort(cand.begin(), cand.end());
    return cand;
  }

  // `sample` distinct level nodes other than i, uniformly at random (Floyd's algorithm over
  // the count - 1 other positions).
  std::vector<std::uint32_t> random_sample(std::uint32_t level, std::size_t i,
                                           std::uint64_t sample) const {
    const std::uint64_t others = nodes_->size() - 1;
    std::vector<std::uint32_t> cand;
    cand.reserve(sample);
    draws_.with((std::uint64_t{level} << 32) | i, [&](Rng& rng) {
      std::unordered_set<std::uint64_t> taken;
      taken.reserve(sample * 2);
      for (std::uint64_t j = others - sample; j < others; ++j) {
        std::uint64_t t = rng.below(j + 1);
        if (!taken.insert(t).second) {
          t = j;
          taken.insert(t);
        }
        cand.push_back(static_cast<std::uint32_t>(t >= i ? t + 1 : t));
      }
    });
    return cand;
  }

  template <typename CandidatesOf>
  std::vector<std::vector<std::uint32_t>> run_pass(std::size_t count,
                                                   CandidatesOf&& candidates_of) const {
    std::vector<std::vector<std::uint32_t>> next(count);
    parallel_for(count, kGrain, [&](std::size_t i) {
      const std::vector<std::uint32_t> cand = candidates_of(i);
      next[i] = select(i, cand);
    });
    return next;
  }

  // The diversity rule compares alpha * dist(a, b) with other distances. It works on keys that
  // order like the distances, with alpha_key() in place of alpha: for inner products the
  // squared distance (self_a + self_b - 2 s, no square root per pair) and alpha squared; for
  // l2 the distance and alpha.
  double distance_key(double s, std::uint32_t a, std::uint32_t b) const {
    return distance_key_of(s, self_of(a), self_of(b));
  }
  // Node a's self-similarity; only inner-product distances use them (none are kept for l2).
  double self_of(std::uint32_t a) const { return self_.empty() ? 0.0 : self_[a]; }
  // The same from the two self-similarities, for callers that have them at hand.
  double distance_key_of(double s, double self_a, double self_b) const {
    if (similarity_.metric == DistanceMetric::kL2) return -s;
    return std::max(0.0, self_a + self_b - 2.0 * s);
  }
  double alpha_key() const {
    return similarity_.metric == DistanceMetric::kL2 ? alpha_ : alpha_ * alpha_;
  }

  // Scores the candidates (local numbers) against node i and keeps at most limit_ of them.
  // Returns ascending local numbers.
  //
  // The list has two parts. The near part, the first limit_ - reserve_ kept, is taken best
  // first, through the diversity rule when it is on. The long part, up to reserve_ more, takes
  // the best of the remaining candidates that lie beyond the near part: farther from u than
  // alpha times its farthest near neighbour, and always through the diversity rule, so that
  // they lead to different regions. Where distances concentrate (high-dimensional clusters)
  // the rule refuses nothing inside a cluster, and without this part every list fills with
  // nodes of its own cluster. Slots the long part cannot fill go to the next best candidates.
  std::vector<std::uint32_t> select(std::size_t i, const std::vector<std::uint32_t>& cand) const {
    if (cand.empty() || limit_ == 0) return {};
    const std::vector<std::uint32_t>& nodes = *nodes_;
    const std::uint32_t u = nodes[i];
    std::vector<std::uint32_t> global(cand.size());
    for (std::size_t k = 0; k < cand.size(); ++k) global[k] = nodes[cand[k]];
    std::vector<double> scores(cand.size());
    similarity_.score(u, global, scores);
    // Best first: higher score, then earlier candidate. Only the head of this order is
    // needed, so it is sorted a block at a time, each block twice the one before.
    struct Ranked {
      double score;  // NaN as -infinity
      std::uint32_t k;
    };
    std::vector<Ranked> order(cand.size());
    for (std::uint32_t k = 0; k < cand.size(); ++k) {
      order[k] = {std::isnan(scores[k]) ? -std::numeric_limits<double>::infinity() : scores[k], k};
    }
    const auto better = [](const Ranked& a, const Ranked& b) {
      return a.score > b.score || (a.score == b.score && a.k < b.k);
    };
    std::size_t taken = 0, sorted = 0;
    const auto exhausted = [&] { return taken == order.size(); };
    auto next_best = [&] {
      if (taken == sorted) {
        const std::size_t end = std::min(order.size(), sorted + std::max<std::size_t>(64, sorted));
        const auto from = order.begin() + static_cast<std::ptrdiff_t>(sorted);
        const auto to = order.begin() + static_cast<std::ptrdiff_t>(end);
        if (to != order.end()) std::nth_element(from, to - 1, order.end(), better);
        std::sort(from, to, better);
        sorted = end;
      }
      return order[taken++].k;
    };

    const std::size_t reserve = std::min(reserve_, limit_ - 1);
    const bool track = diverse_ || reserve > 0;  // pairwise checks need the kept nodes
    std::vector<std::uint32_t> kept;             // candidate positions
    kept.reserve(std::min(limit_, cand.size()));
    // The kept nodes, near and long apart, with their distance keys to u.
    std::vector<std::uint32_t> near_global, long_global;
    std::vector<double> near_dist, long_dist;
    std::vector<double> near_self, long_self;  // their self-similarities
    std::vector<double> pair_scores;
    // Whether v is covered by one of `group`: a kept w closer to v than u is, by the factor
    // alpha; with `both_ways`, also a w that v would cover in turn.
    auto covered = [&](std::uint32_t v, double d_uv, const std::vector<std::uint32_t>& group,
                       const std::vector<double>& group_dist, const std::vector<double>& group_self,
                       bool both_ways) {
      if (group.empty()) return false;
      pair_scores.resize(group.size());
      similarity_.score(v, group, pair_scores);
      const double self_v = self_of(v);
      const double alpha = alpha_key();
      for (std::size_t j = 0; j < group.size(); ++j) {
        const double d_vw = distance_key_of(pair_scores[j], self_v, group_self[j]);
        if (alpha * d_vw <= d_uv || (both_ways && alpha * d_vw <= group_dist[j])) return true;
      }
      return false;
    };
    // Long links are checked first: they are few, and a candidate refused at all is mostly
    // refused by one.
    auto refused = [&](std::uint32_t v, double d_uv, bool long_both_ways) {
      return covered(v, d_uv, long_global, long_dist, long_self, long_both_ways) ||
             covered(v, d_uv, near_global, near_dist, near_self, false);
    };
    auto keep = [&](std::uint32_t k, double d_uv, bool is_long) {
      kept.push_back(k);
      if (!track) return;
      (is_long ? long_global : near_global).push_back(global[k]);
      (is_long ? long_dist : near_dist).push_back(d_uv);
      (is_long ? long_self : near_self).push_back(self_of(global[k]));
    };
    auto try_near = [&](std::uint32_t k, bool both_ways) {
      const double d_uv = track ? distance_key(scores[k], u, global[k]) : 0.0;
      if (diverse_ && !kept.empty() && refused(global[k], d_uv, both_ways)) return;
      keep(k, d_uv, false);
    };

    while (!exhausted() && kept.size() < limit_ - reserve) try_near(next_best(), false);
    if (reserve == 0 || kept.size() < limit_ - reserve) {
      std::sort(kept.begin(), kept.end());
      for (std::uint32_t& k : kept) k = cand[k];
      return kept;
    }

    const double radius = alpha_key() * *std::max_element(near_dist.begin(), near_dist.end());
    std::vector<std::uint32_t> deferred;  // candidates within the radius, best first
    // Long links are diverse among themselves; in passes that apply the rule, also against
    // the near part. Where the near part covers the far candidates (data of low intrinsic
    // dimension), long links are not needed and hard to find: after 2 * reserve candidates
    // refused by near neighbours the search for them stops.
    std::size_t near_refusals = 0;
    while (!exhausted() && long_global.size() < reserve && near_refusals < 2 * reserve) {
      const std::uint32_t k = next_best();
      const std::uint32_t v = global[k];
      const double d_uv = distance_key(scores[k], u, v);
      if (!(d_uv > radius)) {
        deferred.push_back(k);
        continue;
      }
      if (covered(v, d_uv, long_global, long_dist, long_self, false)) continue;
      if (diverse_ && covered(v, d_uv, near_global, near_dist, near_self, false)) {
        ++near_refusals;
        continue;
      }
      keep(k, d_uv, true);
    }
    // Too few long candidates: the next best near ones take the rest.
    for (std::size_t j = 0; j < deferred.size() && kept.size() < limit_; ++j) {
      try_near(deferred[j], true);
    }
    while (!exhausted() && kept.size() < limit_) try_near(next_best(), true);
    std::sort(kept.begin(), kept.end());
    for (std::uint32_t& k : kept) k = cand[k];
    return kept;
  }

  const GraphSimilarity& similarity_;
  double alpha_;
  const std::vector<double>& self_;
  const Draws& draws_;
  const std::vector<std::uint32_t>* nodes_ = nullptr;
  std::size_t limit_ = 0;
  std::size_t reserve_ = 0;
  bool diverse_ = false;
};

}  // namespace

Bytes build_graph_bytes(std::uint64_t n, std::uint64_t max_degree, std::uint64_t ef_construction,
                        std::uint64_t n_refinements, double alpha,
                        const GraphSimilarity& similarity, const GraphBuildOptions& options) {
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    throw Error("graph too large: " + std::to_string(n) + " nodes");
  }
  const auto count = static_cast<std::uint32_t>(n);
  const std::uint64_t upper_degree = std::max<std::uint64_t>(max_degree / 2, 4);
  const std::size_t level0_limit = std::min(max_degree, kGraphMaxLevel0Degree);
  const double ml = 1.0 / std::log(static_cast<double>(upper_degree));
  const Draws draws(options.seed);

  std::vector<std::uint8_t> levels(count, 0);
  draws.with(kLevelStream, [&](Rng& rng) {
    for (std::uint32_t i = 0; i < count; ++i) {
      const double u = rng.uniform();
      const double drawn = u == 0.0 ? kGraphMaxLevel : std::floor(-std::log(u) * ml);
      levels[i] = static_cast<std::uint8_t>(std::min<double>(drawn, kGraphMaxLevel));
    }
  });
  std::uint32_t max_level = 0;
  std::uint32_t entry_point = 0;
  for (std::uint32_t i = 0; i < count; ++i) {
    if (levels[i] >= max_level) {
      max_level = levels[i];
      entry_point = i;
    }
  }

  // Self-similarities turn inner products into distances for the diversity rule.
  const bool level0_diverse = options.level0 != Level0Rule::kNearest;
  const bool long_links = options.long_link_share > 0.0;
  std::vector<double> self;
  if (similarity.metric != DistanceMetric::kL2 &&
      (level0_diverse || long_links || (options.diverse_upper_levels && max_level > 0))) {
    self.assign(count, 0.0);
    parallel_for(count, 64, [&](std::size_t i) {
      if (!level0_diverse && !long_links && levels[i] == 0) return;
      const std::uint32_t node = static_cast<std::uint32_t>(i);
      similarity.score(node, {&node, 1}, {&self[i], 1});
    });
  }

  LevelBuilder builder(similarity, alpha, self, draws);
  std::array<std::vector<std::vector<std::uint32_t>>, kGraphMaxLevel + 1> lists;
  for (std::uint32_t level = 0; level <= max_level; ++level) {
    std::vector<std::uint32_t> nodes;
    for (std::uint32_t i = 0; i < count; ++i) {
      if (levels[i] >= level) nodes.push_back(i);
    }
    const bool diverse =
        level == 0 ? options.level0 == Level0Rule::kDiverse : options.diverse_upper_levels;
    const bool diverse_last = level == 0 ? level0_diverse : options.diverse_upper_levels;
    lists[level] = builder.build(level, nodes, level == 0 ? level0_limit : upper_degree, diverse,
                                 diverse_last, ef_construction, n_refinements, options);
  }

  GraphFileWriter writer;
  std::array<std::size_t, kGraphMaxLevel + 1> cursor{};
  for (std::uint32_t i = 0; i < count; ++i) {
    writer.begin_node(levels[i] + 1u);
    for (std::uint32_t level = 0; level <= levels[i]; ++level) {
      writer.add_list(lists[level][cursor[level]++]);
    }
  }
  return writer.finish(entry_point, max_level);
}

}  // namespace norvex::storage
