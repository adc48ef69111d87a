// manifest.json: decoding the manifest text; what decodes is written again and reads back to
// the same text.
#include "fuzz_util.h"
#include "storage/manifest.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  storage::Manifest m;
  if (fuzz::refused([&] { m = storage::Manifest::decode(fuzz::text_of(data, size)); })) return 0;
  std::string text = m.encode();
  FUZZ_REQUIRE(storage::Manifest::decode(text).encode() == text);
  return 0;
}
