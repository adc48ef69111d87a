// wal.log: replay of a log held in memory, with quantizers of two packing widths (3-bit
// stream and whole bytes) and without one, then the metadata JSON of every replayed entry.
#include <memory>

#include "fuzz_util.h"
#include "quantizer/prod.h"
#include "storage/metadata.h"
#include "storage/wal.h"

using namespace norvex;

namespace {

const quantizer::ProdQuantizer& quantizer_b4() {
  static const auto q = quantizer::ProdQuantizer::create(16, 4, 7, false);
  return q;
}

const quantizer::ProdQuantizer& quantizer_b9() {
  static const auto q = quantizer::ProdQuantizer::create(16, 9, 7, false);
  return q;
}

void replay_with(ByteView log, const quantizer::ProdQuantizer* q) {
  std::vector<storage::WalEntry> entries;
  if (fuzz::refused([&] { entries = storage::Wal::replay_bytes(log, q); })) return;
  for (const auto& e : entries) {
    if (!e.mse_indices.empty()) {
      FUZZ_REQUIRE(q != nullptr);
      FUZZ_REQUIRE(e.mse_indices.size() == q->n);
      FUZZ_REQUIRE(e.qjl_bits.size() == q->qjl_bytes());
      // What open does with a replayed code: pack it into a slot record again.
      FUZZ_REQUIRE(q->pack_mse_indices(e.mse_indices).size() == q->packed_mse_bytes());
    }
    if (e.is_deleted) FUZZ_REQUIRE(e.mse_indices.empty());
    storage::VectorMetadata m;
    if (!fuzz::refused([&] { m = storage::VectorMetadata::from_json(e.metadata_json); })) {
      // Whatever replay accepts must be storable again in metadata.bin.
      std::string again = m.to_json();
      FUZZ_REQUIRE(storage::VectorMetadata::from_json(again) == m);
    }
  }
}

}  // namespace

// The codebooks are fitted once, before inputs are timed.
extern "C" int LLVMFuzzerInitialize(int*, char***) {
  quantizer_b4();
  quantizer_b9();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ByteView log = fuzz::bytes_of(data, size);
  replay_with(log, &quantizer_b4());
  replay_with(log, &quantizer_b9());
  replay_with(log, nullptr);
  return 0;
}
