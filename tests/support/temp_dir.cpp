#include "support/temp_dir.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <system_error>

// Tests may use std::filesystem for their own housekeeping; the tool itself
// never does, since it must hand byte-string paths to the system unchanged.
namespace fs = std::filesystem;

TempDir::TempDir() {
  std::random_device seed;
  std::mt19937_64 rng(seed());
  std::error_code ec;
  fs::path base = fs::temp_directory_path(ec);
  if (ec) base = ".";
  for (int attempt = 0; attempt < 100; ++attempt) {
    fs::path candidate =
        base / ("quillmere-test-" + std::to_string(rng() % 1000000000ULL));
    if (fs::create_directory(candidate, ec)) {
      path_ = candidate.generic_string();
      return;
    }
  }
  std::fprintf(stderr, "cannot create a temporary directory\n");
  std::abort();
}

TempDir::~TempDir() {
  std::error_code ec;
  fs::remove_all(path_, ec);
}

std::string TempDir::file(const std::string& name) const {
  return path_ + "/" + name;
}

bool readFile(const std::string& path, std::string* contents) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (f == nullptr) return false;
  contents->clear();
  char buffer[65536];
  std::size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, f)) > 0) {
    contents->append(buffer, got);
  }
  std::fclose(f);
  return true;
}

bool writeFile(const std::string& path, const std::string& contents) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  bool ok =
      std::fwrite(contents.data(), 1, contents.size(), f) == contents.size();
  return std::fclose(f) == 0 && ok;
}

bool makeDirectory(const std::string& path) {
  std::error_code ec;
  return fs::create_directory(fs::u8path(path), ec);
}

FileTree listTree(const std::string& root) {
  FileTree files;
  std::error_code ec;
  for (fs::recursive_directory_iterator it(fs::u8path(root), ec), end;
       !ec && it != end; it.increment(ec)) {
    std::string name = it->path().lexically_relative(root).generic_string();
    const fs::file_type type = it->symlink_status(ec).type();
    if (type == fs::file_type::directory) {
      files[name] = "<dir>";
    } else if (type == fs::file_type::regular) {
      readFile(it->path().generic_string(), &files[name]);
    } else {
      files[name] = "<other>";  // never opened: a FIFO would block
    }
  }
  return files;
}
