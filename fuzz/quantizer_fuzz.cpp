// quantizer.bin: decoding the product quantizer record; a record that loads must be usable by
// everything an open database does with it (encode, pack, unpack, score, reconstruct) and must
// survive its binary and JSON forms.
#include <cmath>
#include <vector>

#include "fuzz_util.h"
#include "quantizer/prod.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  quantizer::ProdQuantizer q;
  if (fuzz::refused([&] { q = quantizer::ProdQuantizer::decode(fuzz::bytes_of(data, size)); }))
    return 0;
  FUZZ_REQUIRE(q.invalid_reason().empty());

  Bytes encoded = q.encode();
  FUZZ_REQUIRE(quantizer::ProdQuantizer::decode(encoded).encode() == encoded);
  FUZZ_REQUIRE(quantizer::ProdQuantizer::from_json(q.to_json()).encode() == encoded);

  // Large dimensions are valid but slow; the record checks above cover them.
  if (q.d > 1024) return 0;
  std::vector<float> x(q.d);
  for (std::size_t i = 0; i < x.size(); ++i) x[i] = std::sin(0.7 * static_cast<double>(i) + 0.1);
  quantizer::Code code = q.quantize(x);
  FUZZ_REQUIRE(code.mse_indices.size() == q.n);
  FUZZ_REQUIRE(code.qjl_bits.size() == q.qjl_bytes());
  Bytes packed = q.pack_mse_indices(code.mse_indices);
  FUZZ_REQUIRE(packed.size() == q.packed_mse_bytes());
  std::vector<std::uint16_t> unpacked(q.n);
  q.unpack_mse_indices(packed, unpacked);
  FUZZ_REQUIRE(unpacked == code.mse_indices);

  std::vector<double> query(x.begin(), x.end());
  auto prepared = q.prepare_ip_query(query);
  double score = q.score_ip_encoded(prepared, unpacked, code.qjl_bits, code.gamma);
  auto back = q.dequantize(unpacked, code.qjl_bits, code.gamma);
  FUZZ_REQUIRE(back.size() == q.d);
  (void)score;
  return 0;
}
