#include "storage/backend.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "common/error.h"
#include "common/file_util.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;

std::string error_of(const std::string& uri) {
  try {
    StorageBackend::from_uri(uri);
  } catch (const Error& e) {
    return e.what();
  }
  return "";
}

TEST(Backend, ResolvesFileUrisToTheirRoot) {
  TempDir tmp;
  for (const std::string& uri : {"file://" + tmp.file("a"), "file://localhost" + tmp.file("a"),
                                 "file://LOCALHOST" + tmp.file("a")}) {
    auto backend = StorageBackend::from_uri(uri);
    backend->write("x.bin", as_bytes("hi"));
    EXPECT_TRUE(path_exists(tmp.file("a/x.bin"))) << uri;
    EXPECT_EQ(backend->uri(), uri);
  }
  StorageBackend::from_uri("file://" + tmp.path() + "/with%20space");
  EXPECT_TRUE(path_exists(tmp.file("with space")));
}

TEST(Backend, RefusesForeignHostsAndCloudSchemes) {
  EXPECT_EQ(error_of("file://server/tmp/db"), "Invalid file URI path");
  const std::string cloud =
      "gs:// and az:// cloud storage are not yet supported. Use s3:// (requires the `cloud` "
      "feature) or a local path.";
  EXPECT_EQ(error_of("gs://bucket/db"), cloud);
  EXPECT_EQ(error_of("az://x/y"), cloud);
  const std::string s3 = error_of("s3://bucket/db");
  EXPECT_NE(s3.find("cloud"), std::string::npos);
  EXPECT_NE(s3.find("rebuild"), std::string::npos);
}

TEST(Backend, PlainPathIsTheRootAndIsCreated) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("nested/root"));
  EXPECT_TRUE(path_exists(tmp.file("nested/root")));
  backend->write("sub/f.txt", as_bytes("abc"));
  EXPECT_EQ(backend->read("sub/f.txt"), (Bytes{'a', 'b', 'c'}));
  EXPECT_EQ(backend->size("sub/f.txt"), 3u);
  EXPECT_TRUE(backend->exists("sub/f.txt"));
  EXPECT_THROW(backend->size("missing"), Error);
  EXPECT_THROW(backend->read("missing"), Error);
  backend->remove("missing");  // deleting a missing file succeeds
  backend->remove("sub/f.txt");
  EXPECT_FALSE(backend->exists("sub/f.txt"));
}

TEST(Backend, ListsByPrefix) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.path());
  backend->write("seg-1.bin", as_bytes("1"));
  backend->write("seg-2.bin", as_bytes("2"));
  backend->write("other", as_bytes("3"));
  backend->write("dir/inner", as_bytes("4"));
  auto sorted = [](std::vector<std::string> v) {
    std::sort(v.begin(), v.end());
    return v;
  };
  EXPECT_EQ(sorted(backend->list("")),
            (std::vector<std::string>{"dir", "other", "seg-1.bin", "seg-2.bin"}));
  EXPECT_EQ(sorted(backend->list("seg-")), (std::vector<std::string>{"seg-1.bin", "seg-2.bin"}));
  EXPECT_EQ(backend->list("dir"), (std::vector<std::string>{"dir/inner"}));
  EXPECT_EQ(backend->list("dir/in"), (std::vector<std::string>{"dir/inner"}));
}

TEST(Backend, SkipsMirroringAFileOntoItself) {
  TempDir tmp;
  auto same = StorageBackend::from_uri(tmp.path());
  write_file(tmp.file("manifest.json"), as_bytes("local"));
  EXPECT_FALSE(same->needs_mirror("manifest.json", tmp.file("manifest.json")));
  // Through a different spelling of the same directory too.
  auto dotted = StorageBackend::from_uri(tmp.path() + "/./");
  EXPECT_FALSE(dotted->needs_mirror("manifest.json", tmp.file("manifest.json")));
  EXPECT_FALSE(same->needs_mirror("graph.bin", tmp.file("graph.bin")));  // not yet written

  auto other = StorageBackend::from_uri(tmp.file("mirror"));
  EXPECT_TRUE(other->needs_mirror("manifest.json", tmp.file("manifest.json")));
  other->mirror("manifest.json", tmp.file("manifest.json"), as_bytes("local"));
  EXPECT_EQ(read_file(tmp.file("mirror/manifest.json")), (Bytes{'l', 'o', 'c', 'a', 'l'}));
}

}  // namespace
}  // namespace norvex::storage
