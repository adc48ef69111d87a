// metadata.bin: decoding a whole file; every entry that loads must serialize again (a flush
// writes it back) and read back equal.
#include "fuzz_util.h"
#include "storage/metadata.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::MetadataStore::Entries entries;
  if (fuzz::refused([&] {
        entries = storage::MetadataStore::decode("metadata.bin", fuzz::bytes_of(data, size));
      }))
    return 0;
  for (const auto& [slot, m] : entries) {
    std::string json = m.to_json();
    FUZZ_REQUIRE(storage::VectorMetadata::from_json(json) == m);
  }
  return 0;
}
