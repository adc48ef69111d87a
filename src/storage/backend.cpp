#include "storage/backend.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>

#include "common/error.h"
#include "common/file_util.h"
#include "storage/encoding.h"

namespace norvex::storage {
namespace {

constexpr const char* kCloudNotSupported =
    "gs:// and az:// cloud storage are not yet supported. Use s3:// (requires the `cloud` "
    "feature) or a local path.";
constexpr const char* kS3NeedsFeature =
    "s3:// storage requires the optional `cloud` feature, which this build of norvex does not "
    "include; rebuild the module with the `cloud` feature enabled.";
constexpr const char* kInvalidFileUri = "Invalid file URI path";

bool starts_with(const std::string& s, const char* prefix) { return s.rfind(prefix, 0) == 0; }

int hex_value(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The local path of a file:// URI, or an Error.
std::string file_uri_path(const std::string& uri) {
  std::string rest = uri.substr(7);
  const std::size_t cut = rest.find_first_of("?#");
  if (cut != std::string::npos) rest.resize(cut);
  std::string host;
  std::string path;
  if (rest.empty() || rest.front() == '/') {
    path = rest.empty() ? "/" : rest;
  } else {
    const std::size_t slash = rest.find('/');
    host = rest.substr(0, slash);
    path = slash == std::string::npos ? "/" : rest.substr(slash);
  }
  std::string lower_host;
  for (char c : host) lower_host += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (!lower_host.empty() && lower_host != "localhost") throw Error(kInvalidFileUri);
  std::string decoded;
  for (std::size_t i = 0; i < path.size(); ++i) {
    if (path[i] == '%' && i + 2 < path.size()) {
      const int hi = hex_value(path[i + 1]);
      const int lo = hex_value(path[i + 2]);
      if (hi >= 0 && lo >= 0) {
        decoded += static_cast<char>(hi * 16 + lo);
        i += 2;
        continue;
      }
    }
    decoded += path[i];
  }
  if (decoded.find('\0') != std::string::npos || decoded.empty() || decoded.front() != '/') {
    throw Error(kInvalidFileUri);
  }
  return decoded;
}

std::string to_display_name(const char* raw) {
  std::string name(raw);
  if (is_valid_utf8(name)) return name;
  // Replace every byte that does not start a valid sequence with U+FFFD.
  std::string out;
  std::size_t i = 0;
  while (i < name.size()) {
    std::size_t len = 1;
    const auto c = static_cast<unsigned char>(name[i]);
    if (c >= 0xF0)
      len = 4;
    else if (c >= 0xE0)
      len = 3;
    else if (c >= 0xC0)
      len = 2;
    if (c >= 0x80 && i + len <= name.size() &&
        is_valid_utf8(std::string_view(name).substr(i, len))) {
      out.append(name, i, len);
      i += len;
    } else if (c < 0x80) {
      out += name[i++];
    } else {
      out += "\xEF\xBF\xBD";
      ++i;
    }
  }
  return out;
}

std::vector<std::string> list_dir(const std::string& dir, const std::string& name_prefix,
                                  const std::string& result_prefix) {
  std::vector<std::string> names;
  DIR* d = ::opendir(dir.c_str());
  if (d == nullptr) throw last_os_error(dir);
  errno = 0;
  while (dirent* e = ::readdir(d)) {
    const std::string entry = e->d_name;
    if (entry == "." || entry == "..") continue;
    if (entry.rfind(name_prefix, 0) != 0) continue;
    names.push_back(result_prefix + to_display_name(e->d_name));
  }
  const int err = errno;
  ::closedir(d);
  if (err != 0) throw os_error(err, dir);
  return names;
}

bool same_inode(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return ::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

std::string parent_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string base_of(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

}  // namespace

LocalProvider::LocalProvider(std::string root) : root_(std::move(root)) {}

std::string LocalProvider::path_of(const std::string& name) const { return join_path(root_, name); }

Bytes LocalProvider::read(const std::string& name) const { return read_file(path_of(name)); }

void LocalProvider::write(const std::string& name, ByteView data) {
  const std::string path = path_of(name);
  create_dirs(parent_of(path));
  write_file_atomic(path, data);
}

std::vector<std::string> LocalProvider::list(const std::string& prefix) const {
  if (prefix.empty()) return list_dir(root_, "", "");
  const std::string full = path_of(prefix);
  struct stat st;
  if (::stat(full.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    std::string rel = prefix;
    if (rel.back() != '/') rel += '/';
    return list_dir(full, "", rel);
  }
  const std::size_t slash = prefix.find_last_of('/');
  const std::string dir_rel = slash == std::string::npos ? "" : prefix.substr(0, slash + 1);
  const std::string last = slash == std::string::npos ? prefix : prefix.substr(slash + 1);
  return list_dir(dir_rel.empty() ? root_ : path_of(dir_rel), last, dir_rel);
}

void LocalProvider::remove(const std::string& name) { remove_file(path_of(name)); }

bool LocalProvider::exists(const std::string& name) const { return path_exists(path_of(name)); }

std::uint64_t LocalProvider::size(const std::string& name) const {
  return file_size(path_of(name));
}

std::shared_ptr<StorageBackend> StorageBackend::from_uri(const std::string& uri) {
  if (uri.size() > 4 && (starts_with(uri, "gs://") || starts_with(uri, "az://"))) {
    throw Error(kCloudNotSupported);
  }
  if (starts_with(uri, "s3://")) throw Error(kS3NeedsFeature);
  std::string root = uri;
  if (uri.size() >= 7 && starts_with(uri, "file://")) root = file_uri_path(uri);
  create_dirs(root);
  return std::make_shared<StorageBackend>(uri, std::make_unique<LocalProvider>(root));
}

StorageBackend::StorageBackend(std::string uri, std::unique_ptr<StorageProvider> provider)
    : uri_(std::move(uri)), provider_(std::move(provider)) {}

bool StorageBackend::needs_mirror(const std::string& name, const std::string& local_path) const {
  const auto* local = dynamic_cast<const LocalProvider*>(provider_.get());
  if (local == nullptr) return true;
  const std::string target = local->path_of(name);
  if (same_inode(target, local_path)) return false;
  return !(base_of(target) == base_of(local_path) &&
           same_inode(parent_of(target), parent_of(local_path)));
}

void StorageBackend::mirror(const std::string& name, const std::string& local_path, ByteView data) {
  if (needs_mirror(name, local_path)) write(name, data);
}

}  // namespace norvex::storage
