// The graph index side of the engine: loading it, building it over the live vectors, and the
// single search entry that walks it when asked for and usable, else searches exhaustively.
#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <memory>
#include <optional>

#include "common/error.h"
#include "common/half_bulk.h"
#include "common/prefetch.h"
#include "common/thread_pool.h"
#include "quantizer/fast_scan.h"
#include "storage/engine/engine.h"
#include "storage/engine/filter.h"
#include "storage/engine/internal.h"

namespace norvex::storage::engine {

using namespace internal;

namespace {

// Reads a raw vector record (f32 or f16, little-endian) widened to f64 into `out`.
void read_raw(const LiveCodesFile& file, RerankPrecision precision, std::uint32_t slot,
              std::span<double> out) {
  const std::span<const std::uint8_t> rec = file.slot(slot);
  if (precision == RerankPrecision::kF16) {
    halves_to_doubles(rec.data(), out.size(), out.data());
  } else {
    for (std::size_t i = 0; i < out.size(); ++i) out[i] = load_le<float>(rec.data() + 4 * i);
  }
}

// Every node's code decoded once into memory, so that the build never touches the mapping or
// unpacks bits again: the codebook level of each coordinate (floats, so that products of two
// codes are plain dot products), the sign bytes, gamma and the stored norm.
struct CodeCopies {
  std::size_t n = 0;          // coordinates per code
  std::size_t qjl_bytes = 0;  // sign bytes per code
  std::vector<float> levels;
  std::vector<std::uint8_t> bits;
  std::vector<float> gamma;
  std::vector<float> norm;

  const float* levels_of(std::uint32_t node) const {
    return levels.data() + static_cast<std::size_t>(node) * n;
  }
  const std::uint8_t* bits_of(std::uint32_t node) const {
    return bits.data() + static_cast<std::size_t>(node) * qjl_bytes;
  }
  // Fraction of the n sign bits on which two codes agree.
  double sign_agreement(std::uint32_t a, std::uint32_t b) const {
    const std::uint8_t* x = bits_of(a);
    const std::uint8_t* y = bits_of(b);
    std::size_t differ = 0;
    std::size_t i = 0;
    for (; i + 8 <= n / 8; i += 8)
      differ += bit_count(load_le<std::uint64_t>(x + i) ^ load_le<std::uint64_t>(y + i));
    for (; i < n / 8; ++i) differ += bit_count(x[i] ^ y[i]);
    if (i < qjl_bytes) {  // n < 8: only the low n bits count
      differ += bit_count((x[i] ^ y[i]) & ((1u << (n % 8)) - 1u));
    }
    return static_cast<double>(n - differ) / static_cast<double>(n);
  }

  // Without a popcount instruction in the baseline target, std::popcount calls into libgcc.
  static unsigned bit_count(std::uint64_t v) {
    v = v - ((v >> 1) & 0x5555555555555555ULL);
    v = (v & 0x3333333333333333ULL) + ((v >> 2) & 0x3333333333333333ULL);
    v = (v + (v >> 4)) & 0x0F0F0F0F0F0F0F0FULL;
    return static_cast<unsigned>((v * 0x0101010101010101ULL) >> 56);
  }
};

// Dot product with eight partial sums, which the compiler turns into vector code.
float dot(const float* a, const float* b, std::size_t n) {
  float acc[8] = {};
  std::size_t i = 0;
  for (; i + 8 <= n; i += 8) {
    for (std::size_t j = 0; j < 8; ++j) acc[j] += a[i + j] * b[i + j];
  }
  float sum = 0.0f;
  for (; i < n; ++i) sum += a[i] * b[i];
  for (const float x : acc) sum += x;
  return sum;
}

// Sum over the n sketch positions of +q[p] where the sign bit is set and -q[p] where it is
// clear; `total` is the sum of all q[p].
float sign_sum(const std::uint8_t* bits, const float* q, std::size_t n, float total) {
  float acc[8] = {};
  std::size_t p = 0;
  for (; p + 8 <= n; p += 8) {
    const unsigned v = bits[p / 8];
    for (std::size_t j = 0; j < 8; ++j) {
      acc[j] += static_cast<float>((v >> j) & 1u) * q[p + j];
    }
  }
  float set = 0.0f;
  for (; p < n; ++p) set += static_cast<float>((bits[p / 8] >> (p % 8)) & 1u) * q[p];
  for (const float x : acc) set += x;
  return 2.0f * set - total;
}

// Orders scores with NaN (possible only from damaged records) below every number.
double rank_key(double score) {
  return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
}

void sort_best_first(std::vector<SearchResult>& results) {
  std::stable_sort(results.begin(), results.end(),
                   [](const SearchResult& a, const SearchResult& b) {
                     return rank_key(a.score) > rank_key(b.score);
                   });
}

std::size_t to_size(std::uint64_t v) {
  return static_cast<std::size_t>(
      std::min<std::uint64_t>(v, std::numeric_limits<std::size_t>::max()));
}

}  // namespace

void NorvaneEngine::create_index_with_params(std::uint64_t max_degree,
                                             std::uint64_t ef_construction,
                                             std::uint64_t search_list_size, double alpha,
                                             std::uint64_t n_refinements) {
  create_index_with_options(max_degree, ef_construction, search_list_size, alpha, n_refinements,
                            GraphBuildOptions{});
}

void NorvaneEngine::create_index_with_options(std::uint64_t max_degree,
                                              std::uint64_t ef_construction,
                                              std::uint64_t search_list_size, double alpha,
                                              std::uint64_t n_refinements,
                                              const GraphBuildOptions& options) {
  check_writable();
  // alpha prunes every list and is stored in the manifest: NaN or infinity cannot be written
  // to JSON (the database would no longer open), and below 1 the rule drops the links that
  // keep the graph connected.
  if (!(alpha >= 1.0 && std::isfinite(alpha))) {
    throw Error("alpha must be a finite number of at least 1, got " + std::to_string(alpha));
  }
  // Without level-0 links no walk leaves its entry point.
  if (max_degree == 0) throw Error("max_degree must be at least 1");
  flush_wal_to_segment();
  std::vector<std::pair<std::string, std::uint32_t>> live = id_pool_.iter_active();
  if (live.empty()) return;
  // Byte order: std::string compares its characters as unsigned char, a proper prefix first.
  std::stable_sort(live.begin(), live.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<std::uint32_t> slots(live.size());
  for (std::size_t i = 0; i < live.size(); ++i) slots[i] = live[i].second;
  live.clear();
  live.shrink_to_fit();

  graph_->build(slots.size(), max_degree, ef_construction, n_refinements, alpha,
                graph_similarity(slots), options);

  const std::uint64_t nodes = slots.size();
  index_ids_ = std::move(slots);
  manifest_.index_state = IndexState{max_degree, ef_construction, search_list_size, alpha, nodes};
  index_ids_dirty_ = true;
  maybe_persist_state(true);
}

GraphSimilarity NorvaneEngine::graph_similarity(const std::vector<std::uint32_t>& slots) const {
  if (!codes_->is_mapped()) throw Error("mmap not initialized");
  for (const std::uint32_t slot : slots) {
    NVX_CHECK(slot < codes_->len(), "index slot " + std::to_string(slot) + " out of range");
  }
  const quantizer::ProdQuantizer* q = quantizer_.get();
  const std::size_t d = d_;

  if (metric_ == DistanceMetric::kL2) {
    if (raw_vectors_) {
      // Raw vectors are read from the file when needed.
      const LiveCodesFile* raw = &*raw_vectors_;
      const RerankPrecision precision = raw_precision_;
      auto nodes = std::make_shared<std::vector<std::uint32_t>>(slots);
      return {metric_,
              [raw, precision, nodes, d](std::uint32_t u, std::span<const std::uint32_t> cand,
                                         std::span<double> out) {
                thread_local std::vector<double> a, b;
                a.resize(d);
                b.resize(d);
                read_raw(*raw, precision, (*nodes)[u], a);
                for (std::size_t i = 0; i < cand.size(); ++i) {
                  read_raw(*raw, precision, (*nodes)[cand[i]], b);
                  out[i] = filter::score_vectors_with_metric(DistanceMetric::kL2, a, b);
                }
              }};
    }
    // Every node's vector reconstructed from its code, scaled by its stored norm.
    auto rebuilt = std::make_shared<std::vector<double>>(slots.size() * d);
    parallel_for(slots.size(), 64, [&](std::size_t i) {
      const SlotCode code = live_codes_at_slot(slots[i]);
      const std::vector<double> x = q->dequantize(code.mse_indices, code.qjl_bits, code.gamma);
      double* row = rebuilt->data() + i * d;
      for (std::size_t j = 0; j < d; ++j) row[j] = x[j] * code.norm;
    });
    return {metric_, [rebuilt, d](std::uint32_t u, std::span<const std::uint32_t> cand,
                                  std::span<double> out) {
              const std::span<const double> a(rebuilt->data() + std::size_t{u} * d, d);
              for (std::size_t i = 0; i < cand.size(); ++i) {
                const std::span<const double> b(rebuilt->data() + std::size_t{cand[i]} * d, d);
                out[i] = filter::score_vectors_with_metric(DistanceMetric::kL2, a, b);
              }
            }};
  }

  // Inner product and cosine score codes, decoded once.
  auto codes = std::make_shared<CodeCopies>();
  const std::size_t n = static_cast<std::size_t>(q->n);
  codes->n = n;
  codes->qjl_bytes = qjl_bytes_;
  codes->levels.resize(slots.size() * n);
  codes->bits.resize(slots.size() * qjl_bytes_);
  codes->gamma.resize(slots.size());
  codes->norm.resize(slots.size());
  const bool signs = !manifest_.fast_mode;
  const std::vector<float>& centroids = q->mse_quantizer.centroids;
  parallel_for(slots.size(), 256, [&](std::size_t i) {
    thread_local std::vector<std::uint16_t> indices;
    indices.resize(n);
    const std::uint8_t* rec = codes_->slot(slots[i]).data();
    q->unpack_mse_indices(ByteView(rec, packed_bytes_), indices);
    float* levels = codes->levels.data() + i * n;
    for (std::size_t j = 0; j < n; ++j) {
      NVX_CHECK(indices[j] < centroids.size(), "scalar index outside the codebook");
      levels[j] = centroids[indices[j]];
    }
    if (signs) {
      std::copy_n(rec + packed_bytes_, qjl_bytes_, codes->bits.data() + i * qjl_bytes_);
    }
    codes->gamma[i] = load_le<float>(rec + packed_bytes_ + qjl_bytes_);
    codes->norm[i] = load_le<float>(rec + packed_bytes_ + qjl_bytes_ + 4);
  });
  const bool cosine = metric_ == DistanceMetric::kCosine;

  if (raw_vectors_) {
    // u's raw vector as the query, each candidate's code scored against it: a short list with
    // the light scoring (its levels against the rotated query plus the sketch term), a longer
    // one with the fast scan straight from the mapping, whose table costs about as much to
    // build as a few light scores. The scan of the last u is kept per thread: the build asks
    // for the same u several times in a row.
    struct RawState {
      const LiveCodesFile* raw;
      RerankPrecision precision;
      std::vector<std::uint32_t> nodes;
      const std::uint8_t* records;
      std::size_t record_size;
      std::uint64_t generation;
    };
    static std::atomic<std::uint64_t> generations{0};
    auto state = std::make_shared<RawState>(RawState{
        &*raw_vectors_, raw_precision_, slots, codes_->data(), code_slot_size_, ++generations});
    constexpr std::size_t kScanFrom = 8;
    // Where a few records are scored one at a time with SIMD, the scan costs little to set up
    // and beats the light scoring for any count.
    const bool simd_few = quantizer::ScanQuery::few_records_simd(*q);
    return {
        metric_, [=](std::uint32_t u, std::span<const std::uint32_t> cand, std::span<double> out) {
          struct Cached {
            std::uint64_t generation = 0;
            std::uint32_t u = 0;
            std::vector<double> a;
            double a_norm = 0.0;
            std::optional<quantizer::PreparedIpQueryLite> lite;
            std::optional<quantizer::ScanQuery> scan;
          };
          thread_local Cached c;
          if (c.generation != state->generation || c.u != u) {
            c.generation = state->generation;
            c.u = u;
            c.a.resize(d);
            read_raw(*state->raw, state->precision, state->nodes[u], c.a);
            c.lite.reset();
            c.scan.reset();
            c.a_norm = 0.0;
            if (cosine) {
              for (const double x : c.a) c.a_norm += x * x;
              c.a_norm = std::sqrt(c.a_norm);
            }
          }
          const auto finish = [&](std::size_t i, float s) {
            if (cosine) {
              out[i] = c.a_norm > 0.0 ? s / c.a_norm : 0.0;
            } else {
              out[i] = static_cast<double>(s) * codes->norm[cand[i]];
            }
          };
          if (!c.lite) c.lite = q->prepare_ip_query_lite(c.a);
          if (!c.scan && (cand.size() >= kScanFrom || simd_few)) c.scan.emplace(*q, *c.lite);
          if (c.scan) {
            thread_local std::vector<const std::uint8_t*> recs;
            thread_local std::vector<float> scores;
            recs.resize(cand.size());
            scores.resize(cand.size());
            for (std::size_t i = 0; i < cand.size(); ++i) {
              recs[i] = state->records + std::size_t{state->nodes[cand[i]]} * state->record_size;
            }
            c.scan->score_few(recs, scores);
            for (std::size_t i = 0; i < cand.size(); ++i) finish(i, scores[i]);
            return;
          }
          const quantizer::PreparedIpQueryLite& prepared = *c.lite;
          float proj_total = 0.0f;
          for (const float x : prepared.q_proj) proj_total += x;
          for (std::size_t i = 0; i < cand.size(); ++i) {
            const std::uint32_t v = cand[i];
            float s = dot(prepared.q_rot.data(), codes->levels_of(v), n);
            if (signs && codes->gamma[v] != 0.0f) {
              s += sign_sum(codes->bits_of(v), prepared.q_proj.data(), n, proj_total) *
                   (prepared.qjl_scale * codes->gamma[v]);
            }
            finish(i, s);
          }
        }};
  }

  // Code against code: the product of the two scalar codes, plus how far their sign sketches
  // agree beyond chance.
  return {metric_,
          [=](std::uint32_t u, std::span<const std::uint32_t> cand, std::span<double> out) {
            const float* levels_u = codes->levels_of(u);
            for (std::size_t i = 0; i < cand.size(); ++i) {
              const std::uint32_t v = cand[i];
              double s = dot(levels_u, codes->levels_of(v), n);
              if (signs) s += codes->sign_agreement(u, v) - 0.5;
              out[i] = cosine ? s : s * codes->norm[v];
            }
          }};
}

std::vector<SearchResult> NorvaneEngine::search_with_filter_and_ann(
    std::span<const double> query, std::uint64_t k, const std::optional<PropertyMap>& filter,
    std::optional<std::uint64_t> search_list_size, bool use_ann) const {
  // A query must be a vector the database could store: the scoring works in 32-bit floats,
  // where a larger component or norm turns every score into NaN.
  (void)checked_vector(query, "query");
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
  if (!use_ann || !index_usable()) return exhaustive_search_simd(q, k, filter, nullptr);
  return graph_search(q, k, filter,
                      search_list_size.value_or(manifest_.index_state->search_list_size));
}

std::vector<SearchResult> NorvaneEngine::graph_search(const std::vector<double>& query,
                                                      std::uint64_t k,
                                                      const std::optional<PropertyMap>& filter,
                                                      std::uint64_t search_list_size) const {
  std::vector<std::uint8_t> allowed;
  if (filter) {
    const std::vector<std::uint32_t> matching = filter_slots(live_slots(), *filter);
    if (matching.empty()) return {};
    allowed = GraphManager::allowed_nodes(index_ids_, matching);
  }
  // The walk keeps the best max(k, L) nodes and returns them all; with reranking every one is
  // rescored exactly. L alone sets how deep both go, so it trades speed for recall either way.
  const std::uint64_t ef = std::max(k, search_list_size);

  if (!codes_->is_mapped()) throw Error("mmap not initialized");
  double query_norm = 1.0;
  if (metric_ == DistanceMetric::kCosine) {
    double sum = 0.0;
    for (const double x : query) sum += x * x;
    query_norm = std::sqrt(sum);
  }
  // Nodes are scored straight from their records in the mapping: inner product and cosine with
  // the fast scan (several records per pass), l2 from a reconstruction into a reused buffer.
  std::optional<quantizer::ScanQuery> scan;
  if (metric_ != DistanceMetric::kL2) {
    scan.emplace(*quantizer_, quantizer_->prepare_ip_query_lite(query));
  }
  const std::uint8_t* records = codes_->data();
  const std::uint64_t slot_limit = codes_->len();
  const std::size_t norm_at = packed_bytes_ + qjl_bytes_ + 4;
  std::vector<const std::uint8_t*> recs;
  std::vector<float> code_scores;
  std::vector<double> rebuilt(metric_ == DistanceMetric::kL2 ? d_ : 0);
  const GraphManager::NodeScoresFn node_scores = [&](std::span<const std::uint32_t> nodes,
                                                     std::span<double> out) {
    recs.resize(nodes.size());
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const std::uint32_t slot = index_ids_[nodes[i]];
      NVX_CHECK(slot < slot_limit, "index slot " + std::to_string(slot) + " out of range");
      recs[i] = records + static_cast<std::size_t>(slot) * code_slot_size_;
    }
    for (const std::uint8_t* rec : recs) prefetch_lines(rec, code_slot_size_);
    if (metric_ == DistanceMetric::kL2) {
      for (std::size_t i = 0; i < nodes.size(); ++i) {
        out[i] =
            filter::l2_code_score(*quantizer_, recs[i], packed_bytes_, qjl_bytes_, query, rebuilt);
      }
      return;
    }
    code_scores.resize(nodes.size());
    scan->score_few(recs, code_scores);
    for (std::size_t i = 0; i < nodes.size(); ++i) {
      const double score = code_scores[i];
      if (metric_ == DistanceMetric::kIp) {
        out[i] = score * load_le<float>(recs[i] + norm_at);
      } else {
        out[i] = query_norm > 0.0 ? score / query_norm : 0.0;
      }
    }
  };
  const GraphHits hits =
      graph_->search(to_size(ef), to_size(ef), node_scores,
                     filter ? std::optional<std::span<const std::uint8_t>>(allowed) : std::nullopt);
  // A walk that reaches fewer than k of the nodes it may return (a graph cut apart by
  // damage or built without a first-pass sample, or a filter whose matches lie beyond the walk)
  // would silently return too few hits: such a search is answered exhaustively instead.
  const std::size_t reachable =
      filter ? static_cast<std::size_t>(std::count(allowed.begin(), allowed.end(), 1))
             : index_ids_.size();
  if (hits.size() < std::min<std::size_t>(to_size(k), reachable)) {
    return exhaustive_search_simd(query, k, filter, nullptr);
  }

  // With reranking every graph result is rescored exactly before the best k are kept, as the
  // exhaustive search rescores its 10 * k candidates: the code score orders candidates only
  // roughly (under cosine it ignores the length of the reconstruction altogether).
  struct Hit {
    std::uint32_t slot;
    double score;
  };
  std::vector<Hit> found(rerank_ ? hits.size() : std::min<std::size_t>(to_size(k), hits.size()));
  for (std::size_t i = 0; i < found.size(); ++i) {
    found[i] = {index_ids_[hits[i].first], hits[i].second};
  }
  if (rerank_) {
    std::vector<std::uint32_t> slots(found.size());
    for (std::size_t i = 0; i < found.size(); ++i) slots[i] = found[i].slot;
    std::vector<double> exact(found.size());
    rerank_scores(query, slots, exact);
    for (std::size_t i = 0; i < found.size(); ++i) found[i].score = exact[i];
  }
  std::stable_sort(found.begin(), found.end(), [](const Hit& a, const Hit& b) {
    return rank_key(a.score) > rank_key(b.score);
  });
  if (found.size() > k) found.resize(to_size(k));

  std::vector<std::uint32_t> slots(found.size());
  std::vector<double> scores(found.size());
  for (std::size_t i = 0; i < found.size(); ++i) {
    slots[i] = found[i].slot;
    scores[i] = found[i].score;
  }
  std::vector<SearchResult> results = results_for(slots, scores);

  // Live vectors the graph does not hold are searched exhaustively and merged in.
  if (index_ids_.size() != id_pool_.live_count()) {
    std::vector<std::uint8_t> in_graph(id_pool_.slot_count(), 0);
    for (const std::uint32_t slot : index_ids_) {
      if (slot < in_graph.size()) in_graph[slot] = 1;
    }
    std::vector<std::uint32_t> outside;
    for (const std::uint32_t slot : live_slots()) {
      if (in_graph[slot] == 0) outside.push_back(slot);
    }
    if (!outside.empty()) {
      std::vector<SearchResult> more = exhaustive_search_simd(query, k, filter, &outside);
      std::move(more.begin(), more.end(), std::back_inserter(results));
      sort_best_first(results);
      if (results.size() > k) results.resize(to_size(k));
    }
  }
  return results;
}

}  // namespace norvex::storage::engine
