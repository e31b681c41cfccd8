#ifndef QUILLMERE_TESTS_SUPPORT_TEMP_DIR_H_
#define QUILLMERE_TESTS_SUPPORT_TEMP_DIR_H_

#include <map>
#include <string>

// A real directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string file(const std::string& name) const;

 private:
  std::string path_;
};

// Whole-file helpers for tests; readFile returns false for a missing file.
bool readFile(const std::string& path, std::string* contents);
bool writeFile(const std::string& path, const std::string& contents);
bool makeDirectory(const std::string& path);

// Every file and directory under `root` by relative path ("sub/a.hlsl"); a
// directory maps to "<dir>", a regular file to its bytes, anything else to
// "<other>". Compared whole, two listings catch stray, missing and changed
// files.
using FileTree = std::map<std::string, std::string>;
FileTree listTree(const std::string& root);

#endif  // QUILLMERE_TESTS_SUPPORT_TEMP_DIR_H_
