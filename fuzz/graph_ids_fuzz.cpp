// graph_ids.json: decoding the node-to-slot list; what decodes is written again and reads
// back equal.
#include "fuzz_util.h"
#include "storage/manifest.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<std::uint32_t> ids;
  if (fuzz::refused([&] { ids = storage::decode_index_ids(fuzz::text_of(data, size)); })) return 0;
  FUZZ_REQUIRE(storage::decode_index_ids(storage::serialize_index_ids(ids)) == ids);
  return 0;
}
