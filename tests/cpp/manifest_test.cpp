#include "storage/manifest.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

const char* const kRequiredOnly =
    R"({"version": 2, "d": 64, "b": 4, "seed": 42, "vector_count": 0, "storage_uri": "/db"})";

Manifest fresh_manifest() {
  Manifest m;
  m.version = 2;
  m.d = 128;
  m.b = 4;
  m.seed = 42;
  m.vector_count = 0;
  m.storage_uri = "/tmp/db";
  m.metric = DistanceMetric::kCosine;
  m.rerank_enabled = true;
  m.rerank_precision = RerankPrecision::kF16;
  return m;
}

TEST(Manifest, FreshManifestText) {
  EXPECT_EQ(fresh_manifest().encode(),
            "{\n"
            "  \"version\": 2,\n"
            "  \"d\": 128,\n"
            "  \"b\": 4,\n"
            "  \"seed\": 42,\n"
            "  \"vector_count\": 0,\n"
            "  \"storage_uri\": \"/tmp/db\",\n"
            "  \"metric\": \"cosine\",\n"
            "  \"index_state\": null,\n"
            "  \"fast_mode\": false,\n"
            "  \"rerank_enabled\": true,\n"
            "  \"rerank_precision\": \"f16\",\n"
            "  \"normalize\": false\n"
            "}");
}

TEST(Manifest, IndexStateTextAndRoundTrip) {
  Manifest m = fresh_manifest();
  m.index_state = IndexState{32, 200, 64, 1.2, 1000};
  m.quantizer = Json::object();  // accepted on read, never written
  const std::string text = m.encode();
  EXPECT_NE(text.find("  \"index_state\": {\n"
                      "    \"max_degree\": 32,\n"
                      "    \"ef_construction\": 200,\n"
                      "    \"search_list_size\": 64,\n"
                      "    \"alpha\": 1.2,\n"
                      "    \"indexed_nodes\": 1000\n"
                      "  },\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find("quantizer"), std::string::npos);
  m.index_state->alpha = 1.0;
  EXPECT_NE(m.encode().find("\"alpha\": 1.0,"), std::string::npos);

  const Manifest back = Manifest::decode(m.encode());
  EXPECT_EQ(back.index_state, m.index_state);
  EXPECT_EQ(back.metric, DistanceMetric::kCosine);
  EXPECT_EQ(back.rerank_precision, RerankPrecision::kF16);
  EXPECT_FALSE(back.quantizer.has_value());
  EXPECT_EQ(back.encode(), m.encode());
}

TEST(Manifest, RequiredKeysAloneLoadWithDefaults) {
  const Manifest m = Manifest::decode(kRequiredOnly);
  EXPECT_EQ(m.version, 2u);
  EXPECT_EQ(m.d, 64u);
  EXPECT_EQ(m.b, 4u);
  EXPECT_EQ(m.seed, 42u);
  EXPECT_EQ(m.storage_uri, "/db");
  EXPECT_EQ(m.metric, DistanceMetric::kIp);
  EXPECT_FALSE(m.index_state.has_value());
  EXPECT_FALSE(m.fast_mode);
  EXPECT_TRUE(m.rerank_enabled);
  EXPECT_EQ(m.rerank_precision, RerankPrecision::kDisabled);
  EXPECT_FALSE(m.normalize);
  EXPECT_FALSE(m.quantizer.has_value());
}

TEST(Manifest, AcceptsUnknownKeysAQuantizerAndADefaultedEfConstruction) {
  const Manifest m = Manifest::decode(
      R"({"version": 1, "d": 8, "b": 3, "seed": 1, "vector_count": 5, "storage_uri": "x",
          "future": [1, {"a": 2}], "quantizer": {"d": 8, "anything": true},
          "index_state": {"max_degree": 16, "search_list_size": 50, "alpha": 1,
                          "indexed_nodes": 5, "extra": null}})");
  ASSERT_TRUE(m.index_state.has_value());
  EXPECT_EQ(m.index_state->ef_construction, 200u);
  EXPECT_EQ(m.index_state->alpha, 1.0);
  ASSERT_TRUE(m.quantizer.has_value());
  EXPECT_EQ((*m.quantizer)["d"], 8);
}

TEST(Manifest, RefusesMalformedManifests) {
  const std::string base =
      R"("version": 2, "d": 64, "b": 4, "seed": 42, "vector_count": 0, "storage_uri": "/db")";
  const std::string state = R"("max_degree": 1, "search_list_size": 2, "alpha": 1.5)";
  struct Case {
    std::string text;
    std::string error;  // exact text, or a fragment when `fragment` is set
    bool fragment = false;
  };
  const Case cases[] = {
      {R"({"version": 2, "d": 64, "b": 4, "vector_count": 0, "storage_uri": "/db"})",
       "missing field `seed`"},
      {"{" + base + R"(, "d": 65})", "duplicate field `d`"},
      {"{" + base + R"(, "index_state": {)" + state + R"(, "alpha": 2, "indexed_nodes": 3}})",
       "duplicate field `alpha`"},
      {"{" + base + R"(, "index_state": {)" + state + "}}", "missing field `indexed_nodes`"},
      {"{" + base + R"(, "metric": "dot"})", "unknown variant `dot`", true},
      {"{" + base + R"(, "rerank_precision": "f64"})", "unknown variant `f64`", true},
      {"{" + base + R"(, "metric": 1})", "metric", true},
      {"{" + base + R"(, "fast_mode": "yes"})", "fast_mode", true},
      {"{" + base + R"(, "normalize": null})", "normalize", true},
      {"{" + base + R"(, "quantizer": [1]})", "quantizer", true},
      {"{" + base + R"(, "index_state": 3})", "index_state", true},
      {R"({"version": 2, "d": -1, "b": 4, "seed": 42, "vector_count": 0, "storage_uri": "/db"})",
       "`d`", true},
      {R"({"version": 2, "d": 1.5, "b": 4, "seed": 42, "vector_count": 0, "storage_uri": "/"})",
       "`d`", true},
      {R"({"version": 4294967296, "d": 1, "b": 4, "seed": 1, "vector_count": 0,
           "storage_uri": "/"})",
       "`version`", true},
      {R"({"version": 2, "d": 1, "b": 4, "seed": 1, "vector_count": 0, "storage_uri": 7})",
       "`storage_uri`", true},
      {"[]", "expected a manifest object", true},
      {"", "", true},
      {"{" + base, "", true},
  };
  for (const Case& c : cases) {
    const std::string error = error_of([&] { Manifest::decode(c.text); });
    ASSERT_NE(error, "<no error>") << c.text;
    if (c.fragment) {
      EXPECT_NE(error.find(c.error), std::string::npos) << c.text << " -> " << error;
    } else {
      EXPECT_EQ(error, c.error) << c.text;
    }
  }
}

TEST(Manifest, SaveReplacesTheFileAndPersistMirrorsIt) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  Manifest m = fresh_manifest();
  m.save(tmp.file("manifest.json"));
  EXPECT_EQ(Manifest::load(tmp.file("manifest.json")).encode(), m.encode());
  m.vector_count = 7;
  persist_manifest(m, tmp.path(), *backend);
  EXPECT_EQ(Manifest::load(tmp.file("manifest.json")).vector_count, 7u);
  EXPECT_EQ(read_file(tmp.file("remote/manifest.json")), read_file(tmp.file("manifest.json")));
  EXPECT_FALSE(path_exists(tmp.file("manifest.json.tmp")));
  EXPECT_NE(error_of([&] { Manifest::load(tmp.file("missing.json")); }).find("No such file"),
            std::string::npos);
}

TEST(IndexIds, Text) {
  EXPECT_EQ(serialize_index_ids({3, 7}), "[\n  3,\n  7\n]");
  EXPECT_EQ(serialize_index_ids({}), "[]");
  EXPECT_EQ(serialize_index_ids({4294967295u}), "[\n  4294967295\n]");
}

TEST(IndexIds, SaveLoadAndMissingFile) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  EXPECT_TRUE(load_index_ids(tmp.path()).empty());
  save_index_ids({3, 7, 0}, tmp.path(), *backend);
  EXPECT_EQ(load_index_ids(tmp.path()), (std::vector<std::uint32_t>{3, 7, 0}));
  EXPECT_EQ(read_file(tmp.file("remote/graph_ids.json")), read_file(tmp.file("graph_ids.json")));
  save_index_ids({}, tmp.path(), *backend);
  EXPECT_TRUE(load_index_ids(tmp.path()).empty());

  for (const char* bad : {"[1, -1]", "[4294967296]", "[1.0]", "{}", "[\"1\"]", "[1,", ""}) {
    write_file(tmp.file("graph_ids.json"), as_bytes(bad));
    EXPECT_THROW(load_index_ids(tmp.path()), Error) << bad;
  }
}

// Every prefix and every single-byte corruption either decodes or fails with an Error.
void expect_clean_failures(const std::string& good,
                           const std::function<void(std::string_view)>& decode) {
  auto attempt = [&](std::string_view text) {
    try {
      decode(text);
    } catch (const Error&) {
    }
  };
  for (std::size_t cut = 0; cut < good.size(); ++cut)
    attempt(std::string_view(good).substr(0, cut));
  for (std::size_t i = 0; i < good.size(); ++i) {
    for (const unsigned char mask : {0x01, 0x20, 0x80, 0xFF}) {
      std::string bad = good;
      bad[i] = static_cast<char>(static_cast<unsigned char>(bad[i]) ^ mask);
      attempt(bad);
    }
  }
}

TEST(Manifest, DamagedTextDecodesOrFailsCleanly) {
  Manifest m = fresh_manifest();
  m.index_state = IndexState{32, 200, 64, 1.2, 1000};
  expect_clean_failures(m.encode(), [](std::string_view text) {
    const Manifest back = Manifest::decode(text);
    back.encode();
  });
}

TEST(IndexIds, DamagedTextDecodesOrFailsCleanly) {
  expect_clean_failures(serialize_index_ids({3, 7, 4294967295u, 0, 12}),
                        [](std::string_view text) { decode_index_ids(text); });
}

}  // namespace
}  // namespace norvex::storage
