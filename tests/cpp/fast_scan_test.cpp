#include "quantizer/fast_scan.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <map>
#include <random>
#include <vector>

namespace norvex::quantizer {
namespace {

std::vector<float> random_vector(std::size_t d, std::mt19937& rng) {
  std::normal_distribution<float> gauss;
  std::vector<float> x(d);
  for (float& v : x) v = gauss(rng);
  return x;
}

// Codes laid out as live codes slot records, in a buffer of exactly count * slot_size bytes
// (so that a read past the last record is an error under the address sanitizer).
struct Slots {
  std::size_t m = 0, q = 0, slot_size = 0;
  std::vector<std::uint8_t> bytes;
  std::vector<Code> codes;

  const std::uint8_t* record(std::size_t s) const { return bytes.data() + s * slot_size; }
  SlotRecords view() const { return {bytes.data(), slot_size}; }
  std::size_t count() const { return codes.size(); }
};

Slots encode_slots(const ProdQuantizer& pq, std::size_t count, std::mt19937& rng) {
  Slots s;
  s.m = pq.packed_mse_bytes();
  s.q = pq.qjl_bytes();
  s.slot_size = s.m + s.q + 9;
  s.bytes.assign(count * s.slot_size, 0);
  for (std::size_t i = 0; i < count; ++i) {
    std::vector<float> x = random_vector(pq.d, rng);
    double sq = 0;
    for (float v : x) sq += double(v) * v;
    const float norm = static_cast<float>(std::sqrt(sq));
    for (float& v : x) v /= norm;
    Code code = pq.quantize(x);
    const Bytes packed = pq.pack_mse_indices(code.mse_indices);
    std::uint8_t* rec = s.bytes.data() + i * s.slot_size;
    std::memcpy(rec, packed.data(), s.m);
    std::memcpy(rec + s.m, code.qjl_bits.data(), s.q);
    const float gamma = static_cast<float>(code.gamma);
    std::memcpy(rec + s.m + s.q, &gamma, 4);
    std::memcpy(rec + s.m + s.q + 4, &norm, 4);
    code.gamma = gamma;  // the slot keeps gamma as f32
    s.codes.push_back(std::move(code));
  }
  return s;
}

std::vector<ScanKernel> available_kernels() {
  std::vector<ScanKernel> kernels;
  for (ScanKernel k : {ScanKernel::kScalar, ScanKernel::kAvx2, ScanKernel::kAvx512}) {
    if (scan_kernel_available(k)) kernels.push_back(k);
  }
  return kernels;
}

std::vector<float> score_with(const ScanQuery& sq, const Slots& slots, ScanKernel kernel) {
  std::vector<const std::uint8_t*> recs(slots.count());
  for (std::size_t i = 0; i < recs.size(); ++i) recs[i] = slots.record(i);
  std::vector<float> out(recs.size());
  sq.score_records(recs, out, kernel);
  return out;
}

// A bound on the rounding of both sums: the sum of the absolute values of every term.
double term_magnitude(const ProdQuantizer& pq, const PreparedIpQuery& prepared, double gamma) {
  const std::size_t k = prepared.n_centroids;
  double mse = 0, sketch = 0;
  for (std::size_t i = 0; i < pq.n; ++i) {
    float largest = 0;
    for (std::size_t j = 0; j < k; ++j)
      largest = std::max(largest, std::abs(prepared.lut[i * k + j]));
    mse += largest;
    sketch += std::abs(prepared.q_proj[i]);
  }
  return mse + sketch * std::abs(double(prepared.qjl_scale) * gamma) + 1e-30;
}

struct Width {
  std::uint64_t b;
  std::vector<std::uint64_t> dims;
};

class FastScanAgreement : public ::testing::TestWithParam<bool> {};

// Every kernel matches score_ip_encoded within float rounding, and all kernels give the same
// bits, for every bit width, padded dimensions from 1 to 1024 (non-powers of two among the
// dimensions) and a record count that leaves a short last tile.
TEST_P(FastScanAgreement, KernelsMatchReferenceAndEachOther) {
  const bool fast_mode = GetParam();
  const std::vector<Width> widths = {
      {2, {1, 3, 5, 40, 64, 100, 128, 256, 300, 768}},
      {3, {2, 7, 64, 100, 200, 256, 768}},
      {4, {1, 3, 8, 33, 64, 100, 128, 129, 256, 768, 1000}},
      {5, {4, 64, 100, 200, 300, 768}},
      {6, {16, 100, 300}},
      {7, {64, 257}},
      {8, {100}},
      {9, {64, 200}},
  };
  const auto kernels = available_kernels();
  std::mt19937 rng(7);
  for (const auto& width : widths) {
    for (std::uint64_t d : width.dims) {
      SCOPED_TRACE("b=" + std::to_string(width.b) + " d=" + std::to_string(d));
      const ProdQuantizer pq = ProdQuantizer::create(d, width.b, 11 + d, fast_mode);
      const Slots slots = encode_slots(pq, 70, rng);
      const std::vector<float> query = random_vector(d, rng);
      const PreparedIpQuery prepared =
          pq.prepare_ip_query(std::vector<double>(query.begin(), query.end()));
      const ScanQuery sq(pq, prepared);
      // Built from the query without its n * k table: the same tables, so the same bits.
      const ScanQuery from_lite(
          pq, pq.prepare_ip_query_lite(std::vector<double>(query.begin(), query.end())));

      const std::vector<float> scalar = score_with(sq, slots, ScanKernel::kScalar);
      for (std::size_t i = 0; i < slots.count(); ++i) {
        const Code& c = slots.codes[i];
        const double ref = pq.score_ip_encoded(prepared, c.mse_indices, c.qjl_bits, c.gamma);
        EXPECT_NEAR(scalar[i], ref, 2e-6 * term_magnitude(pq, prepared, c.gamma)) << "record " << i;
      }
      for (ScanKernel kernel : kernels) {
        for (const ScanQuery* query_form : {&sq, &from_lite}) {
          const std::vector<float> got = score_with(*query_form, slots, kernel);
          for (std::size_t i = 0; i < got.size(); ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(got[i]), std::bit_cast<std::uint32_t>(scalar[i]))
                << scan_kernel_name(kernel) << (query_form == &sq ? "" : " from lite") << " record "
                << i << ": " << got[i] << " vs " << scalar[i];
          }
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SketchAndFastMode, FastScanAgreement, ::testing::Bool());

// The scalar-quantizer part is the plain left-to-right sum: with a zero projection (no sketch
// contribution) scores are bit-identical to the reference.
TEST(FastScan, ScalarPartIsBitIdenticalToReference) {
  std::mt19937 rng(3);
  const ProdQuantizer pq = ProdQuantizer::create(768, 4, 5, false);
  const Slots slots = encode_slots(pq, 100, rng);
  const std::vector<float> query = random_vector(768, rng);
  PreparedIpQuery prepared = pq.prepare_ip_query(std::vector<double>(query.begin(), query.end()));
  std::fill(prepared.q_proj.begin(), prepared.q_proj.end(), 0.0f);
  const ScanQuery sq(pq, prepared);
  for (ScanKernel kernel : available_kernels()) {
    const std::vector<float> got = score_with(sq, slots, kernel);
    for (std::size_t i = 0; i < got.size(); ++i) {
      const Code& c = slots.codes[i];
      EXPECT_EQ(got[i], static_cast<float>(pq.score_ip_encoded(prepared, c.mse_indices, {}, 0.0)))
          << scan_kernel_name(kernel) << " record " << i;
    }
  }
}

// A record's score does not depend on which records it is scanned with, in which order, or
// through which entry point: slot lists, ranges and chunks give the same bits.
TEST(FastScan, ScoresDoNotDependOnChunkingOrOrder) {
  std::mt19937 rng(5);
  for (std::uint64_t d : {100, 768}) {
    const ProdQuantizer pq = ProdQuantizer::create(d, 4, 9, false);
    const Slots slots = encode_slots(pq, 300, rng);
    const std::vector<float> query = random_vector(d, rng);
    const ScanQuery sq(pq, pq.prepare_ip_query(std::vector<double>(query.begin(), query.end())));

    std::vector<float> whole(slots.count());
    sq.score_range(slots.view(), 0, whole);

    std::vector<float> chunked(slots.count());
    for (std::size_t start = 0; start < slots.count(); start += 37) {
      const std::size_t len = std::min<std::size_t>(37, slots.count() - start);
      sq.score_range(slots.view(), start, std::span<float>(chunked).subspan(start, len));
    }
    std::vector<std::uint32_t> order(slots.count());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = static_cast<std::uint32_t>(i);
    std::shuffle(order.begin(), order.end(), rng);
    std::vector<float> listed(order.size());
    sq.score_slots(slots.view(), order, listed);

    for (std::size_t i = 0; i < slots.count(); ++i) {
      EXPECT_EQ(std::bit_cast<std::uint32_t>(chunked[i]), std::bit_cast<std::uint32_t>(whole[i]));
      EXPECT_EQ(std::bit_cast<std::uint32_t>(listed[i]),
                std::bit_cast<std::uint32_t>(whole[order[i]]));
    }
  }
}

// Several queries in one pass give each query's own scores, for ranges and slot lists, also
// with a short code (padded path) and a width without a tile kernel.
TEST(FastScan, SeveralQueriesInOnePassMatchOneAtATime) {
  std::mt19937 rng(8);
  for (const auto& [d, b] : {std::pair<std::uint64_t, std::uint64_t>{768, 4}, {100, 3}, {200, 7}}) {
    const ProdQuantizer pq = ProdQuantizer::create(d, b, 2, false);
    const Slots slots = encode_slots(pq, 150, rng);
    std::vector<ScanQuery> queries;
    for (int j = 0; j < 3; ++j) {
      const std::vector<float> query = random_vector(d, rng);
      queries.emplace_back(pq,
                           pq.prepare_ip_query(std::vector<double>(query.begin(), query.end())));
    }
    const std::vector<const ScanQuery*> ptrs = {&queries[0], &queries[1], &queries[2]};
    std::vector<std::uint32_t> listed = {5, 149, 0, 77, 76, 3, 3};
    const std::size_t first = 10, count = 130;
    std::vector<float> range_all(3 * count), list_all(3 * listed.size());
    ScanQuery::score_range_multi(ptrs, slots.view(), first, count, range_all);
    ScanQuery::score_slots_multi(ptrs, slots.view(), listed, list_all);
    for (std::size_t j = 0; j < 3; ++j) {
      std::vector<float> range_one(count), list_one(listed.size());
      queries[j].score_range(slots.view(), first, range_one);
      queries[j].score_slots(slots.view(), listed, list_one);
      for (std::size_t i = 0; i < count; ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(range_all[j * count + i]),
                  std::bit_cast<std::uint32_t>(range_one[i]));
      }
      for (std::size_t i = 0; i < listed.size(); ++i) {
        EXPECT_EQ(std::bit_cast<std::uint32_t>(list_all[j * listed.size() + i]),
                  std::bit_cast<std::uint32_t>(list_one[i]));
      }
    }
  }
}

TEST(FastScan, EmptyInputsScoreNothing) {
  const ProdQuantizer pq = ProdQuantizer::create(300, 4, 1, false);
  const ScanQuery sq(pq, pq.prepare_ip_query(std::vector<double>(300, 0.5)));
  std::vector<float> none;
  sq.score_slots({nullptr, pq.packed_mse_bytes() + pq.qjl_bytes() + 9}, {}, none);
  sq.score_range({nullptr, 1}, 0, none);
}

}  // namespace
}  // namespace norvex::quantizer

namespace norvex::quantizer {
namespace {

TEST(FastScanOneRecord, KernelsAgreeBitForBitAndWithTheReferenceWithinRounding) {
  for (const bool fast : {false, true}) {
    for (const std::uint64_t b : {2u, 3u, 4u, 5u}) {
      for (const std::uint64_t d : {16u, 100u, 300u, 1000u}) {
        const ProdQuantizer pq = ProdQuantizer::create(d, b, 9, fast);
        std::mt19937 rng(static_cast<unsigned>(d * 7 + b));
        const Slots slots = encode_slots(pq, 41, rng);  // odd: pairs and a last single record
        const std::vector<float> qf = random_vector(d, rng);
        const PreparedIpQuery prepared =
            pq.prepare_ip_query(std::vector<double>(qf.begin(), qf.end()));
        const ScanQuery sq(pq, prepared);
        ASSERT_TRUE(sq.has_one_record_kernel());
        std::vector<const std::uint8_t*> recs(slots.count());
        for (std::size_t i = 0; i < recs.size(); ++i) recs[i] = slots.record(i);
        std::vector<float> reference(recs.size()), few(recs.size());
        sq.score_one_record(recs, reference, ScanKernel::kScalar);
        for (const bool vbmi : {false, true}) {
          if (!scan_kernel_available(ScanKernel::kAvx512)) break;
          if (vbmi && !ScanQuery::one_record_vbmi_available()) break;
          std::vector<float> simd(recs.size());
          sq.score_one_record(recs, simd, ScanKernel::kAvx512, vbmi);
          for (std::size_t i = 0; i < recs.size(); ++i) {
            ASSERT_EQ(std::bit_cast<std::uint32_t>(simd[i]),
                      std::bit_cast<std::uint32_t>(reference[i]))
                << "b=" << b << " d=" << d << " vbmi=" << vbmi << " record " << i;
          }
        }
        // A few records take the one-record path, many the tiles: both near the reference.
        std::vector<const std::uint8_t*> many(ScanQuery::kFewBelow + 5);
        for (std::size_t i = 0; i < many.size(); ++i) many[i] = recs[i % recs.size()];
        for (const std::size_t count : {std::size_t{3}, recs.size(), many.size()}) {
          std::vector<float> out(count);
          sq.score_few(std::span(many).first(count), out);
          for (std::size_t i = 0; i < count; ++i) {
            const Code& c = slots.codes[i % recs.size()];
            const double want = pq.score_ip_encoded(prepared, c.mse_indices, c.qjl_bits, c.gamma);
            const double tol = 1e-5 * term_magnitude(pq, prepared, c.gamma);
            ASSERT_NEAR(reference[i % recs.size()], want, tol)
                << "b=" << b << " d=" << d << " record " << i;
            ASSERT_NEAR(out[i], want, tol) << "b=" << b << " d=" << d << " count " << count;
          }
        }
      }
    }
  }
}

TEST(FastScanOneRecord, QueriesWithoutTheRotatedQueryUseTheTiles) {
  const ProdQuantizer pq = ProdQuantizer::create(64, 4, 9, false);
  std::mt19937 rng(4);
  const Slots slots = encode_slots(pq, 5, rng);
  const std::vector<float> qf = random_vector(64, rng);
  PreparedIpQuery prepared = pq.prepare_ip_query(std::vector<double>(qf.begin(), qf.end()));
  prepared.q_rot.clear();
  const ScanQuery sq(pq, prepared);
  EXPECT_FALSE(sq.has_one_record_kernel());
  std::vector<const std::uint8_t*> recs(slots.count());
  for (std::size_t i = 0; i < recs.size(); ++i) recs[i] = slots.record(i);
  std::vector<float> few(recs.size()), tiles(recs.size());
  sq.score_few(recs, few);
  sq.score_records(recs, tiles);
  EXPECT_EQ(few, tiles);
}

}  // namespace
}  // namespace norvex::quantizer
