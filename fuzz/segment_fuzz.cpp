// Segment files: decoding a whole file; what decodes is written again and reads back equal.
#include "fuzz_util.h"
#include "storage/segment.h"

using namespace norvex;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::vector<storage::SegmentRecord> records;
  if (fuzz::refused([&] { records = storage::Segment::decode_file(fuzz::bytes_of(data, size)); }))
    return 0;
  Bytes again = storage::Segment::encode_file(records);
  FUZZ_REQUIRE(storage::Segment::decode_file(again) == records);
  return 0;
}
