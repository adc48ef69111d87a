#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/bytes.h"
#include "common/error.h"
#include "storage/metadata.h"

namespace norvex::storage {
namespace {

// metadata.bin bytes holding the given JSON texts under slots 0, 1, 2, ...
Bytes file_of(const std::vector<std::string>& texts) {
  Bytes out = {'M', '2', 'S', '1'};
  append_le<std::uint64_t>(out, texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) {
    append_le<std::uint32_t>(out, static_cast<std::uint32_t>(i));
    append_le<std::uint32_t>(out, static_cast<std::uint32_t>(texts[i].size()));
    out.insert(out.end(), texts[i].begin(), texts[i].end());
  }
  return out;
}

std::string error_of(const Bytes& file) {
  try {
    MetadataStore::decode("m", file);
  } catch (const Error& e) {
    return e.what();
  }
  return "no error";
}

// Large files are parsed in parallel chunks; the error reported is still the one of the first
// bad entry, and a truncation is reported only when every readable entry parsed.
TEST(MetadataDecode, LargeFileReportsTheFirstFailureInFileOrder) {
  const std::string good = R"({"properties":{"n":1},"document":null})";
  std::vector<std::string> texts(20000, good);
  texts[9000] = R"({"document":null})";  // missing properties, in a later chunk
  texts[15000] = "{";                    // bad syntax, later still
  EXPECT_EQ(error_of(file_of(texts)), "missing field `properties`");

  texts[9000] = good;
  texts[15000] = good;
  texts[500] = R"({"document":null})";
  Bytes cut = file_of(texts);
  cut.resize(cut.size() - 3);  // the last entry is truncated
  EXPECT_EQ(error_of(cut), "missing field `properties`");

  texts[500] = good;
  cut = file_of(texts);
  cut.resize(cut.size() - 3);
  EXPECT_EQ(error_of(cut), "failed to fill whole buffer");

  // A later entry for a slot still replaces an earlier one.
  Bytes twice = file_of({good, R"({"properties":{"n":2},"document":"d"})"});
  twice[12] = 0;  // first entry: slot 0
  const std::size_t second = 12 + 8 + good.size();
  twice[second] = 0;  // second entry: slot 0 too
  const auto entries = MetadataStore::decode("m", twice);
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries.at(0).document, std::optional<std::string>("d"));
}

}  // namespace
}  // namespace norvex::storage
