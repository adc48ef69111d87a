// Micro-benchmark of the code scan: ns per record for scoring 100000 slot records (random
// codes, live codes slot layout) against one query, with the plain per-record reference
// (unpack_mse_indices + score_ip_encoded) and with each available fast-scan kernel, next to
// the memory floor (one streaming read of the same bytes).
//
//   cmake -S . -B build/bench -G Ninja -DNORVEX_BUILD_BENCH=ON -DNORVEX_BUILD_PYTHON=OFF
//   cmake --build build/bench --target fast_scan_bench && ./build/bench/fast_scan_bench [bits]
//
// Single thread. Figures are the best of a few repetitions, in thread CPU time.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <random>
#include <span>
#include <vector>

#include "quantizer/fast_scan.h"
#include "quantizer/prod.h"

namespace {

using norvex::quantizer::ProdQuantizer;
using norvex::quantizer::ScanKernel;
using norvex::quantizer::ScanQuery;

constexpr std::size_t kRecords = 100000;
constexpr int kRepeats = 7;

// CPU time of the calling thread: the machine is shared, and time spent descheduled is not
// the kernel's.
double thread_seconds() {
  timespec ts;
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
}

template <typename Fn>
double best_seconds(Fn&& fn, int repeats = kRepeats) {
  double best = 1e300;
  for (int r = 0; r < repeats; ++r) {
    const double start = thread_seconds();
    fn();
    best = std::min(best, thread_seconds() - start);
  }
  return best;
}

void bench(std::size_t d, std::uint64_t bits) {
  const ProdQuantizer pq = ProdQuantizer::create(d, bits, 42, false);
  const std::size_t m = pq.packed_mse_bytes();
  const std::size_t q = pq.qjl_bytes();
  const std::size_t slot = m + q + 9;
  std::mt19937_64 rng(99);
  std::vector<std::uint8_t> store(kRecords * slot);
  for (auto& b : store) b = static_cast<std::uint8_t>(rng());
  std::uniform_real_distribution<float> gamma_dist(0.05f, 0.5f);
  for (std::size_t i = 0; i < kRecords; ++i) {
    std::uint8_t* rec = store.data() + i * slot;
    const float gamma = gamma_dist(rng), norm = 1.0f;
    std::memcpy(rec + m + q, &gamma, 4);
    std::memcpy(rec + m + q + 4, &norm, 4);
    rec[m + q + 8] = 0;
    // Indices past the codebook cannot occur for w < 16; nothing to fix up.
  }
  std::normal_distribution<double> gauss;
  std::vector<double> query(d);
  for (double& v : query) v = gauss(rng);
  const auto prepared = pq.prepare_ip_query(query);
  const ScanQuery sq(pq, prepared);

  std::printf("d=%zu b=%llu: %zu records of %zu bytes (%.1f MB)\n", d,
              static_cast<unsigned long long>(bits), kRecords, slot, kRecords * slot / 1e6);
  const double per = 1e9 / static_cast<double>(kRecords);

  // Memory floor: read every byte once.
  std::uint64_t sink = 0;
  const double floor_s = best_seconds([&] {
    const std::uint64_t* words = reinterpret_cast<const std::uint64_t*>(store.data());
    std::uint64_t a = 0, b = 0, c = 0, e = 0;
    const std::size_t count = store.size() / 8;
    for (std::size_t i = 0; i + 4 <= count; i += 4) {
      a ^= words[i];
      b ^= words[i + 1];
      c ^= words[i + 2];
      e ^= words[i + 3];
    }
    sink += a ^ b ^ c ^ e;
  });
  std::printf("  memory floor (streaming read):   %8.1f ns/record  %7.2f ms/scan  %5.1f GB/s\n",
              floor_s * per, floor_s * 1e3, store.size() / floor_s / 1e9);

  std::vector<std::uint16_t> indices(pq.n);
  double dsink = 0;
  const std::size_t ref_count = kRecords / 10;
  const double ref_s = best_seconds(
      [&] {
        for (std::size_t i = 0; i < ref_count; ++i) {
          const std::uint8_t* rec = store.data() + i * slot;
          pq.unpack_mse_indices({rec, m}, indices);
          float gamma;
          std::memcpy(&gamma, rec + m + q, 4);
          dsink += pq.score_ip_encoded(prepared, indices, {rec + m, q}, gamma);
        }
      },
      3);
  std::printf("  reference (unpack + score):      %8.1f ns/record  %7.2f ms/scan\n",
              ref_s * 1e9 / ref_count, ref_s * 1e9 / ref_count * kRecords / 1e6);

  std::vector<float> out(kRecords);
  std::vector<const std::uint8_t*> recs(kRecords);
  for (std::size_t i = 0; i < kRecords; ++i) recs[i] = store.data() + i * slot;
  for (ScanKernel kernel : {ScanKernel::kScalar, ScanKernel::kAvx2, ScanKernel::kAvx512}) {
    if (!norvex::quantizer::scan_kernel_available(kernel)) continue;
    const double s = best_seconds([&] { sq.score_records(recs, out, kernel); });
    std::printf("  fast scan, %-6s kernel:         %8.1f ns/record  %7.2f ms/scan\n",
                norvex::quantizer::scan_kernel_name(kernel), s * per, s * 1e3);
  }
  const double range_s = best_seconds([&] { sq.score_range({store.data(), slot}, 0, out); });
  std::printf("  fast scan, score_range (best):   %8.1f ns/record  %7.2f ms/scan\n", range_s * per,
              range_s * 1e3);
  // Per-query set-up: the prepared query (with and without its n * k table), the scan query
  // (what a graph walk or a few-record check needs) and the tile tables it fills on first use
  // by a tile (the graph build makes a scan query per node it checks).
  {
    constexpr int kPrepares = 2000;
    const double prep_s = best_seconds([&] {
      for (int i = 0; i < kPrepares; ++i) dsink += pq.prepare_ip_query(query).qjl_scale;
    });
    const double lite_s = best_seconds([&] {
      for (int i = 0; i < kPrepares; ++i) dsink += pq.prepare_ip_query_lite(query).qjl_scale;
    });
    const double scan_s = best_seconds([&] {
      for (int i = 0; i < kPrepares; ++i) dsink += ScanQuery(pq, prepared).has_one_record_kernel();
    });
    const std::uint8_t* first = recs[0];
    float one_out = 0.0f;
    const double tiles_s = best_seconds([&] {
      for (int i = 0; i < kPrepares; ++i) {
        ScanQuery(pq, prepared).score_records({&first, 1}, {&one_out, 1});
        dsink += one_out;
      }
    });
    // The tile tables alone: less the scan query and one tile's scoring.
    const double tile_s = best_seconds([&] {
      for (int i = 0; i < kPrepares; ++i) {
        sq.score_records({&first, 1}, {&one_out, 1});
        dsink += one_out;
      }
    });
    std::printf(
        "  query set-up: prepare %6.2f us (without table %6.2f), scan query %6.2f us, tile "
        "tables %6.2f us\n",
        prep_s * 1e6 / kPrepares, lite_s * 1e6 / kPrepares, scan_s * 1e6 / kPrepares,
        (tiles_s - scan_s - tile_s) * 1e6 / kPrepares);
  }
  // A graph walk scores a node's few new neighbours at a time (score_few): groups of 5
  // records from one small cached block (the compute) and from random places (with misses).
  if (sq.has_one_record_kernel()) {
    constexpr std::size_t kGroup = 5;
    std::vector<const std::uint8_t*> picked(kRecords);
    std::uniform_int_distribution<std::size_t> any(0, kRecords - 1);
    for (const bool cached : {true, false}) {
      for (std::size_t i = 0; i < kRecords; ++i) picked[i] = recs[cached ? i % 512 : any(rng)];
      const double few_s = best_seconds([&] {
        for (std::size_t i = 0; i + kGroup <= kRecords; i += kGroup) {
          sq.score_few(std::span(picked).subspan(i, kGroup), std::span(out).subspan(i, kGroup));
        }
      });
      std::printf("  few records at a time, %-8s  %8.1f ns/record\n",
                  cached ? "cached:" : "random:", few_s * per);
    }
  }
  // Several queries per pass over the records.
  constexpr std::size_t kBatch = 8;
  std::vector<ScanQuery> batch;
  for (std::size_t j = 0; j < kBatch; ++j) {
    for (double& v : query) v = gauss(rng);
    batch.emplace_back(pq, pq.prepare_ip_query(query));
  }
  std::vector<const ScanQuery*> batch_ptrs;
  for (const ScanQuery& b : batch) batch_ptrs.push_back(&b);
  std::vector<float> batch_out(kBatch * kRecords);
  const double multi_s = best_seconds(
      [&] {
        ScanQuery::score_range_multi(batch_ptrs, {store.data(), slot}, 0, kRecords, batch_out);
      },
      3);
  std::printf("  fast scan, %zu queries per pass:   %8.1f ns/record/query %5.2f ms/query\n", kBatch,
              multi_s * per / kBatch, multi_s * 1e3 / kBatch);
  if (sink == 42 && dsink == 0.5) std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  const std::uint64_t bits = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 4;
  std::printf("best kernel: %s\n",
              norvex::quantizer::scan_kernel_name(norvex::quantizer::best_scan_kernel()));
  for (std::size_t d : {128, 768, 1536}) bench(d, bits);
}
