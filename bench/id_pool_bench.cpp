// Id pool at scale: insert, encode, load (decode + lookup rebuild), listing and lookups of
// 1,000,000 ids. Build with -DNORVEX_BUILD_BENCH=ON and run ./id_pool_bench [ids].
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "storage/id_pool.h"

using norvex::storage::IdPool;

namespace {

double ms_since(std::chrono::steady_clock::time_point& t) {
  const auto now = std::chrono::steady_clock::now();
  const double ms = std::chrono::duration<double, std::milli>(now - t).count();
  t = now;
  return ms;
}

std::string id_of(long i) { return "doc-" + std::to_string(i * 7919L); }

}  // namespace

int main(int argc, char** argv) {
  const long n = argc > 1 ? std::atol(argv[1]) : 1000000;
  auto t = std::chrono::steady_clock::now();
  IdPool pool;
  for (long i = 0; i < n; ++i) pool.insert(id_of(i));
  std::printf("insert        %8.1f ms\n", ms_since(t));
  for (long i = 0; i < n; i += 10) pool.delete_by_id(id_of(i));
  std::printf("delete 10%%    %8.1f ms\n", ms_since(t));
  const auto bytes = pool.encode();
  std::printf("encode        %8.1f ms (%zu bytes)\n", ms_since(t), bytes.size());
  const IdPool loaded = IdPool::decode(bytes);
  std::printf("decode        %8.1f ms\n", ms_since(t));
  const auto listing = loaded.iter_active();
  std::printf("iter_active   %8.1f ms (%zu ids)\n", ms_since(t), listing.size());
  long found = 0;
  for (long i = 0; i < n; ++i) found += loaded.get_slot(id_of(i)).has_value();
  std::printf("get_slot      %8.1f ms (%ld found)\n", ms_since(t), found);
  return found == static_cast<long>(listing.size()) ? 0 : 1;
}
