// Exhaustive search: score every candidate's code in place in the slot file against a query
// prepared once, keep the best in a bounded heap, rerank them with raw or reconstructed
// vectors, and return the best top_k with ids and metadata.
#include <algorithm>
#include <cmath>
#include <limits>
#include <optional>
#include <vector>

#include "common/error.h"
#include "common/thread_pool.h"
#include "quantizer/fast_scan.h"
#include "storage/engine/engine.h"
#include "storage/engine/filter.h"
#include "storage/engine/internal.h"

namespace norvex::storage::engine {

using namespace internal;

namespace {

// What the scan reads, fixed for one search.
struct ScanContext {
  const quantizer::ProdQuantizer* quantizer = nullptr;
  const quantizer::ScanQuery* scan = nullptr;  // ip and cosine
  std::span<const double> query;               // l2
  DistanceMetric metric = DistanceMetric::kIp;
  double query_norm = 0.0;
  const std::uint8_t* records = nullptr;  // the codes mapping
  std::size_t record_size = 0;
  std::size_t packed_bytes = 0;
  std::size_t qjl_bytes = 0;
};

// The scoring loop: out[i] = the code score of slots[i], read straight from the mapping.
// `code_scores` is the caller's scratch of slots.size() floats (ip and cosine); `rebuilt` its
// scratch of d values (l2).
void score_code_records(const ScanContext& ctx, std::span<const std::uint32_t> slots,
                        std::span<double> out, std::span<float> code_scores,
                        std::span<double> rebuilt) {
  const quantizer::ProdQuantizer& q = *ctx.quantizer;
  if (ctx.metric != DistanceMetric::kL2) {
    // The fast scan gives score_ip_encoded's value up to float rounding (see fast_scan.h).
    ctx.scan->score_slots({ctx.records, ctx.record_size}, slots, code_scores);
    const std::size_t norm_at = ctx.packed_bytes + ctx.qjl_bytes + 4;
    for (std::size_t i = 0; i < slots.size(); ++i) {
      const double score = code_scores[i];
      if (ctx.metric == DistanceMetric::kIp) {
        const std::uint8_t* rec =
            ctx.records + static_cast<std::size_t>(slots[i]) * ctx.record_size;
        out[i] = score * load_le<float>(rec + norm_at);
      } else {
        out[i] = ctx.query_norm > 0.0 ? score / ctx.query_norm : 0.0;
      }
    }
    return;
  }
  for (std::size_t i = 0; i < slots.size(); ++i) {
    const std::uint8_t* rec = ctx.records + static_cast<std::size_t>(slots[i]) * ctx.record_size;
    out[i] = filter::l2_code_score(q, rec, ctx.packed_bytes, ctx.qjl_bytes, ctx.query, rebuilt);
  }
}

// Scores on the calling thread up to kParallelScanThreshold slots; above, in chunks of
// kScanChunk on the worker pool. Every score depends on its slot alone, so both give the
// same list.
std::vector<double> score_all(const ScanContext& ctx, std::span<const std::uint32_t> slots) {
  std::vector<double> scores(slots.size());
  const std::size_t d = ctx.query.size();
  if (slots.size() <= kParallelScanThreshold) {
    std::vector<double> rebuilt(ctx.metric == DistanceMetric::kL2 ? d : 0);
    std::vector<float> code_scores(slots.size());
    score_code_records(ctx, slots, scores, code_scores, rebuilt);
    return scores;
  }
  const std::size_t chunks = (slots.size() + kScanChunk - 1) / kScanChunk;
  parallel_for(chunks, 1, [&](std::size_t c) {
    const std::size_t begin = c * kScanChunk;
    const std::size_t len = std::min(kScanChunk, slots.size() - begin);
    std::vector<double> rebuilt(ctx.metric == DistanceMetric::kL2 ? d : 0);
    std::vector<float> code_scores(len);
    score_code_records(ctx, slots.subspan(begin, len), std::span(scores).subspan(begin, len),
                       code_scores, rebuilt);
  });
  return scores;
}

// Orders scores so that NaN (possible only from damaged records) ranks below everything.
double rank_key(double score) {
  return std::isnan(score) ? -std::numeric_limits<double>::infinity() : score;
}

struct Candidate {
  double score = 0.0;
  std::uint32_t slot = 0;
  std::size_t position = 0;  // in the scanned list: the tie rule prefers earlier slots
};

bool better(const Candidate& a, const Candidate& b) {
  const double ka = rank_key(a.score);
  const double kb = rank_key(b.score);
  if (ka != kb) return ka > kb;
  return a.position < b.position;
}

// The best `keep` candidates, best first. The heap's front is its worst member.
std::vector<Candidate> select_best(std::span<const std::uint32_t> slots,
                                   std::span<const double> scores, std::uint64_t keep) {
  std::vector<Candidate> heap;
  heap.reserve(static_cast<std::size_t>(std::min<std::uint64_t>(keep, slots.size())));
  // Once the heap is full, a score must beat its worst key outright: on a tie the later
  // position loses. Most scores fail this one comparison.
  bool full = false;
  double worst = 0.0;
  for (std::size_t i = 0; i < slots.size(); ++i) {
    if (full && !(rank_key(scores[i]) > worst)) continue;
    Candidate c{scores[i], slots[i], i};
    if (heap.size() < keep) {
      heap.push_back(c);
      std::push_heap(heap.begin(), heap.end(), better);
    } else {
      std::pop_heap(heap.begin(), heap.end(), better);
      heap.back() = c;
      std::push_heap(heap.begin(), heap.end(), better);
    }
    full = heap.size() == keep;
    if (full) worst = rank_key(heap.front().score);
  }
  std::sort(heap.begin(), heap.end(), better);
  return heap;
}

}  // namespace

std::vector<SearchResult> NorvaneEngine::exhaustive_search_simd(
    std::span<const double> query, std::uint64_t top_k, const std::optional<PropertyMap>& filter,
    const std::vector<std::uint32_t>* candidates) const {
  if (query.size() != d_) {
    throw Error("query dimension mismatch: expected " + std::to_string(d_) + ", got " +
                std::to_string(query.size()));
  }
  if (top_k == 0) return {};
  const std::uint64_t keep = rerank_ ? saturating_mul(10, top_k) : top_k;
  double query_norm = 0.0;
  for (double x : query) query_norm += x * x;
  query_norm = std::sqrt(query_norm);

  std::vector<std::uint32_t> slots = candidates ? *candidates : live_slots();
  if (filter) slots = filter_slots(std::move(slots), *filter);
  if (slots.empty()) return {};
  if (!codes_->is_mapped()) throw Error("mmap not initialized");
  for (std::uint32_t slot : slots) {
    NVX_CHECK(slot < codes_->len(), "search slot " + std::to_string(slot) + " out of range");
  }

  ScanContext ctx;
  ctx.quantizer = quantizer_.get();
  std::optional<quantizer::ScanQuery> scan;
  if (metric_ != DistanceMetric::kL2) {
    scan.emplace(*quantizer_, quantizer_->prepare_ip_query_lite(query));
    ctx.scan = &*scan;
  }
  ctx.query = query;
  ctx.metric = metric_;
  ctx.query_norm = query_norm;
  ctx.records = codes_->data();
  ctx.record_size = code_slot_size_;
  ctx.packed_bytes = packed_bytes_;
  ctx.qjl_bytes = qjl_bytes_;
  const std::vector<double> scores = score_all(ctx, slots);
  std::vector<Candidate> best = select_best(slots, scores, keep);

  std::vector<std::uint32_t> best_slots(best.size());
  std::vector<double> best_scores(best.size());
  for (std::size_t i = 0; i < best.size(); ++i) {
    best_slots[i] = best[i].slot;
    best_scores[i] = best[i].score;
  }
  if (rerank_) rerank_scores(query, best_slots, best_scores);
  std::vector<SearchResult> results = results_for(best_slots, best_scores);
  std::stable_sort(results.begin(), results.end(),
                   [](const SearchResult& a, const SearchResult& b) {
                     return rank_key(a.score) > rank_key(b.score);
                   });
  if (results.size() > top_k) results.resize(static_cast<std::size_t>(top_k));
  return results;
}

void NorvaneEngine::rerank_scores(std::span<const double> query,
                                  std::span<const std::uint32_t> slots,
                                  std::span<double> out) const {
  if (raw_vectors_) {
    score_raw_vectors(query, slots, out);
    return;
  }
  std::vector<SlotCode> codes;
  codes.reserve(slots.size());
  std::vector<quantizer::ProdQuantizer::CodeView> views;
  views.reserve(slots.size());
  for (const std::uint32_t slot : slots) {
    codes.push_back(live_codes_at_slot(slot));
    views.push_back({codes.back().mse_indices, codes.back().qjl_bits, codes.back().gamma});
  }
  std::vector<std::vector<double>> rebuilt = quantizer_->dequantize_batch(views);
  NVX_CHECK(rebuilt.size() == slots.size(), "reconstruction count mismatch");
  for (std::size_t i = 0; i < slots.size(); ++i) {
    for (double& v : rebuilt[i]) v *= codes[i].norm;
    out[i] = filter::score_vectors_with_metric(metric_, query, rebuilt[i]);
  }
}

std::vector<SearchResult> NorvaneEngine::results_for(std::span<const std::uint32_t> slots,
                                                     std::span<const double> scores) const {
  MetadataStore::Entries metadata = metadata_->get_many(slots);
  std::vector<SearchResult> results(slots.size());
  for (std::size_t i = 0; i < slots.size(); ++i) {
    results[i].id = std::string(id_pool_.id_of(slots[i]).value_or(""));
    results[i].score = scores[i];
    if (auto it = metadata.find(slots[i]); it != metadata.end()) {
      results[i].metadata = std::move(it->second);
    }
  }
  return results;
}

}  // namespace norvex::storage::engine
