#include "storage/metadata.h"

#include <gtest/gtest.h>

#include "common/error.h"
#include "common/file_util.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

template <typename F>
std::string error_of(F&& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

VectorMetadata make(PropertyMap props, std::optional<std::string> doc = std::nullopt) {
  return VectorMetadata{std::move(props), std::move(doc)};
}

Bytes entry(std::uint32_t slot, const std::string& json) {
  Bytes out;
  out.reserve(8 + json.size());
  append_le<std::uint32_t>(out, slot);
  append_le<std::uint32_t>(out, static_cast<std::uint32_t>(json.size()));
  out.insert(out.end(), json.begin(), json.end());
  return out;
}

Bytes file_of(std::uint64_t count, const std::vector<Bytes>& entries) {
  Bytes out = {'M', '2', 'S', '1'};
  append_le<std::uint64_t>(out, count);
  for (const Bytes& e : entries) out.insert(out.end(), e.begin(), e.end());
  return out;
}

TEST(VectorMetadataJson, WritesPropertiesBeforeDocumentCompactly) {
  struct Case {
    VectorMetadata md;
    const char* json;
  };
  const Case cases[] = {
      {make({}), R"({"properties":{},"document":null})"},
      {make({{"k", 1}}), R"({"properties":{"k":1},"document":null})"},
      {make({{"b", "x"}, {"a", Json::array({1.5, nullptr})}}, "doc \"q\""),
       R"({"properties":{"a":[1.5,null],"b":"x"},"document":"doc \"q\""})"},
      {make({{"n", Json::object({{"z", -1}, {"y", true}})}}, ""),
       R"({"properties":{"n":{"y":true,"z":-1}},"document":""})"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(c.md.to_json(), c.json);
    EXPECT_EQ(VectorMetadata::from_json(c.json), c.md) << c.json;
  }
}

// Whatever to_json accepts reads back; deeper values are refused when written.
TEST(VectorMetadataJson, RefusesValuesTooDeepToReadBack) {
  auto nested = [](std::size_t depth) {
    Json v = 1;
    for (std::size_t i = 0; i < depth; ++i) v = Json::array({v});
    return v;
  };
  const VectorMetadata deepest = make({{"a", nested(kMaxPropertyDepth)}});
  EXPECT_EQ(VectorMetadata::from_json(deepest.to_json()), deepest);
  EXPECT_NE(error_of([&] { make({{"a", nested(kMaxPropertyDepth + 1)}}).to_json(); }),
            "<no error>");
}

TEST(VectorMetadataJson, ReadsLeniently) {
  struct Case {
    const char* json;
    VectorMetadata expected;
  };
  const Case cases[] = {
      {R"({"properties":{}})", make({})},                                   // document absent
      {R"({"document":"d","properties":{"a":2}})", make({{"a", 2}}, "d")},  // any key order
      {R"({"properties":{},"extra":[1,2],"document":null})", make({})},     // unknown key
      {R"({"properties":{"k":1,"k":2}})", make({{"k", 2}})},                // inner map: last wins
  };
  for (const auto& c : cases) EXPECT_EQ(VectorMetadata::from_json(c.json), c.expected) << c.json;
}

TEST(VectorMetadataJson, RefusesMalformedRecords) {
  struct Case {
    const char* json;
    const char* message;  // nullptr: any clear Error
  };
  const Case cases[] = {
      {R"({"document":null})", "missing field `properties`"},
      {R"({"properties":{},"properties":{}})", "duplicate field `properties`"},
      {R"({"properties":{},"document":"a","document":"b"})", "duplicate field `document`"},
      {R"({"properties":[]})", nullptr},
      {R"({"properties":{},"document":5})", nullptr},
      {R"([1])", nullptr},
      {R"("text")", nullptr},
      {R"({"properties":{})", nullptr},
      {"", nullptr},
  };
  for (const auto& c : cases) {
    const std::string err = error_of([&] { VectorMetadata::from_json(c.json); });
    if (c.message != nullptr) {
      EXPECT_EQ(err, c.message) << c.json;
    } else {
      EXPECT_NE(err, "<no error>") << c.json;
    }
  }
}

TEST(MetadataStore, EmptyMetadataForSlotFiveIsByteExact) {
  TempDir tmp;
  auto store = MetadataStore::open(tmp.file("metadata.bin"));
  store.put(5, make({}));
  store.flush();
  const std::string json = R"({"properties":{},"document":null})";
  // The length field holds the text's 33 bytes.
  Bytes expected = {'M', '2', 'S', '1', 1, 0, 0, 0, 0, 0, 0, 0, 5, 0, 0, 0, 33, 0, 0, 0};
  expected.insert(expected.end(), json.begin(), json.end());
  EXPECT_EQ(read_file(tmp.file("metadata.bin")), expected);
  EXPECT_FALSE(path_exists(tmp.file("metadata.tmp")));
  EXPECT_FALSE(store.dirty());
}

TEST(MetadataStore, StoreWithoutFileCreatesParentButWritesNoFile) {
  TempDir tmp;
  const std::string path = tmp.file("a/b/metadata.bin");
  auto store = MetadataStore::open(path);
  EXPECT_TRUE(path_exists(tmp.file("a/b")));
  EXPECT_EQ(store.size(), 0u);
  store.flush();
  EXPECT_FALSE(path_exists(path));
}

TEST(MetadataStore, RoundTripsThroughFlushAndOpen) {
  TempDir tmp;
  const std::string path = tmp.file("metadata.bin");
  auto store = MetadataStore::open(path);
  store.put_many({{0, make({{"k", "v"}})}, {7, make({{"n", 1}}, "doc")}, {0, make({}, "x")}});
  // Larger than the write buffer, among small entries.
  const std::string long_doc(20000, 'z');
  for (std::uint32_t s = 100; s < 400; ++s)
    store.put(s, make({{"s", s}}, s == 250 ? long_doc : ""));
  store.flush();
  const auto again = MetadataStore::open(path);
  EXPECT_EQ(again.size(), 302u);
  EXPECT_EQ(again.get(250), make({{"s", 250}}, long_doc));
  EXPECT_EQ(again.get(399), make({{"s", 399}}, ""));
  EXPECT_FALSE(again.dirty());
  EXPECT_EQ(again.get(0), make({}, "x"));
  EXPECT_EQ(again.get(7), make({{"n", 1}}, "doc"));
  EXPECT_EQ(again.get(3), std::nullopt);
  const std::uint32_t asked[] = {7, 3, 7};
  const auto many = again.get_many(asked);
  ASSERT_EQ(many.size(), 1u);
  EXPECT_EQ(many.at(7), make({{"n", 1}}, "doc"));
}

TEST(MetadataStore, LaterEntryForTheSameSlotWins) {
  TempDir tmp;
  const std::string path = tmp.file("metadata.bin");
  write_file(path, file_of(2, {entry(3, R"({"properties":{"v":1}})"),
                               entry(3, R"({"properties":{"v":2}})")}));
  const auto store = MetadataStore::open(path);
  EXPECT_EQ(store.size(), 1u);
  EXPECT_EQ(store.get(3), make({{"v", 2}}));
}

TEST(MetadataStore, RemoveAndRekeyFollowSlotCompaction) {
  TempDir tmp;
  auto store = MetadataStore::open(tmp.file("metadata.bin"));
  for (std::uint32_t s : {1u, 4u, 6u, 9u}) store.put(s, make({{"s", s}}));
  store.flush();
  EXPECT_TRUE(store.remove(9));
  EXPECT_FALSE(store.remove(9));
  EXPECT_TRUE(store.dirty());
  // Slot 1 did not survive; 4 -> 0, 6 -> 1; 2 -> 2 has no entry.
  store.rekey({{4, 0}, {6, 1}, {2, 2}});
  EXPECT_EQ(store.size(), 2u);
  EXPECT_EQ(store.get(0), make({{"s", 4}}));
  EXPECT_EQ(store.get(1), make({{"s", 6}}));
  EXPECT_EQ(store.get(4), std::nullopt);
  store.flush();
  const auto again = MetadataStore::open(tmp.file("metadata.bin"));
  EXPECT_EQ(again.get(1), make({{"s", 6}}));
  // Identity keeps a clean store clean; mapping two slots onto one is a programming error.
  auto copy = MetadataStore::open(tmp.file("metadata.bin"));
  copy.rekey({{0, 0}, {1, 1}});
  EXPECT_FALSE(copy.dirty());
  EXPECT_THROW(copy.rekey({{0, 5}, {1, 5}}), Fault);
  EXPECT_EQ(copy.size(), 2u);
}

TEST(MetadataStore, FailedFlushKeepsTheOldFileAndStaysDirty) {
  TempDir tmp;
  const std::string path = tmp.file("metadata.bin");
  auto store = MetadataStore::open(path);
  store.put(1, make({{"old", true}}));
  store.flush();
  const Bytes before = read_file(path);
  create_dirs(tmp.file("metadata.tmp"));  // the temporary file cannot be created
  store.put(1, make({{"new", true}}));
  EXPECT_THROW(store.flush(), Error);
  EXPECT_TRUE(store.dirty());
  EXPECT_EQ(read_file(path), before);
}

TEST(MetadataStore, TempPathReplacesTheExtension) {
  EXPECT_EQ(temp_path_for("/d/metadata.bin"), "/d/metadata.tmp");
  EXPECT_EQ(temp_path_for("metadata.bin"), "metadata.tmp");
  EXPECT_EQ(temp_path_for("/d.x/meta"), "/d.x/meta.tmp");
  EXPECT_EQ(temp_path_for("/d/.hidden"), "/d/.hidden.tmp");
}

TEST(MetadataStore, RefusesDamagedHeaders) {
  TempDir tmp;
  const std::string path = tmp.file("metadata.bin");
  struct Case {
    const char* name;
    Bytes data;
    std::string message;
  };
  Bytes huge_count = file_of(~std::uint64_t{0}, {});
  Bytes huge_len = file_of(1, {});
  append_le<std::uint32_t>(huge_len, 0);
  append_le<std::uint32_t>(huge_len, 0xFFFFFFFFu);
  const std::string short_file = "failed to fill whole buffer";
  const Case cases[] = {
      {"Empty", {}, short_file},
      {"ThreeBytes", {'M', '2', 'S'}, short_file},
      {"OldMagic",
       {'M', '2', 'S', '0', 0, 0, 0, 0, 0, 0, 0, 0},
       "invalid metadata magic in " + path + ": expected [77, 50, 83, 49], found [77, 50, 83, 48]"},
      {"NoCount", {'M', '2', 'S', '1', 0, 0}, short_file},
      {"HugeCount", huge_count, short_file},
      {"HugeLength", huge_len, short_file},
      {"BadJson", file_of(1, {entry(0, "{oops")}), ""},
  };
  for (const auto& c : cases) {
    write_file(path, c.data);
    const std::string err = error_of([&] { MetadataStore::open(path); });
    if (c.message.empty()) {
      EXPECT_NE(err, "<no error>") << c.name;
    } else {
      EXPECT_EQ(err, c.message) << c.name;
    }
  }
}

// Every truncation and every single-byte change of a valid file either opens or fails with an
// Error; nothing crashes, faults or allocates wildly.
TEST(MetadataStore, SurvivesEveryCutAndFlippedByte) {
  const Bytes valid = file_of(3, {entry(1, R"({"properties":{"a":[1,{"b":null}]},"document":"d"})"),
                                  entry(2, R"({"properties":{},"document":null})"),
                                  entry(9, R"({"properties":{"x":"\u00e9"}})")});
  ASSERT_EQ(MetadataStore::decode("m", valid).size(), 3u);
  for (std::size_t cut = 0; cut < valid.size(); ++cut) {
    EXPECT_THROW(MetadataStore::decode("m", ByteView(valid.data(), cut)), Error) << cut;
  }
  for (std::size_t at = 0; at < valid.size(); ++at) {
    for (const std::uint8_t mask : {0x01, 0x80, 0xFF}) {
      Bytes damaged = valid;
      damaged[at] ^= mask;
      try {
        MetadataStore::decode("m", damaged);
      } catch (const Error&) {
      }
    }
  }
}

}  // namespace
}  // namespace norvex::storage
