#include "storage/quantizer_state.h"

#include <gtest/gtest.h>

#include <functional>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/backend.h"
#include "test_util.h"

namespace norvex::storage {
namespace {

using norvex::testing::TempDir;
using quantizer::ProdQuantizer;

std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const Error& e) {
    return e.what();
  }
  return "<no error>";
}

TEST(QuantizerState, SavedLocallyAndInTheBackend) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  const ProdQuantizer q = ProdQuantizer::create(20, 4, 7, false);
  save_quantizer_state(q, tmp.path(), *backend);
  EXPECT_EQ(read_file(tmp.file("quantizer.bin")), q.encode());
  EXPECT_EQ(read_file(tmp.file("remote/quantizer.bin")), q.encode());
  EXPECT_FALSE(path_exists(tmp.file("quantizer.bin.tmp")));
  EXPECT_EQ(load_quantizer_state(tmp.path(), *backend).encode(), q.encode());
}

TEST(QuantizerState, MissingLocalFileIsRestoredFromTheBackend) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  const ProdQuantizer q = ProdQuantizer::create(20, 3, 9, true);
  save_quantizer_state(q, tmp.path(), *backend);
  remove_file(tmp.file("quantizer.bin"));
  EXPECT_EQ(load_quantizer_state(tmp.path(), *backend).encode(), q.encode());
  EXPECT_EQ(read_file(tmp.file("quantizer.bin")), q.encode());
}

TEST(QuantizerState, NotFoundAnywhere) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  EXPECT_EQ(error_of([&] { load_quantizer_state(tmp.path(), *backend); }),
            "Quantizer state not found");
  EXPECT_FALSE(path_exists(tmp.file("quantizer.bin")));
}

TEST(QuantizerState, TruncatedLocalFileFailsToDecode) {
  TempDir tmp;
  auto backend = StorageBackend::from_uri(tmp.file("remote"));
  save_quantizer_state(ProdQuantizer::create(20, 4, 7, false), tmp.path(), *backend);
  Bytes data = read_file(tmp.file("quantizer.bin"));
  data.resize(data.size() / 2);
  write_file(tmp.file("quantizer.bin"), data);
  EXPECT_THROW(load_quantizer_state(tmp.path(), *backend), DecodeError);
}

TEST(QuantizerState, DamagedFilesDecodeOrFailCleanly) {
  // Every prefix and single-byte corruption of a small record; a dense sample of a larger one.
  struct Case {
    std::uint64_t d, b;
    std::size_t stride;
  };
  for (const Case c : {Case{5, 3, 1}, Case{100, 5, 7}}) {
    const Bytes good = ProdQuantizer::create(c.d, c.b, 11, false).encode();
    auto attempt = [](const Bytes& data) {
      try {
        const ProdQuantizer q = ProdQuantizer::decode(data);
        q.encode();
      } catch (const Error&) {
      }
    };
    for (std::size_t cut = 0; cut < good.size(); cut += c.stride) {
      attempt(Bytes(good.begin(), good.begin() + cut));
    }
    for (std::size_t i = 0; i < good.size(); i += c.stride) {
      for (const std::uint8_t mask : {0x01, 0x80, 0xFF}) {
        Bytes bad = good;
        bad[i] ^= mask;
        attempt(bad);
      }
    }
  }
}

}  // namespace
}  // namespace norvex::storage
