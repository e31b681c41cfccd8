// The files an extraction has written, by identity, so that no entry writes
// the package, the tool's files beside it or a file an earlier entry wrote,
// whatever spelling, case or link leads there.
#ifndef QUILLMERE_PACKAGE_WRITTEN_FILES_H_
#define QUILLMERE_PACKAGE_WRITTEN_FILES_H_

#include <set>
#include <string>
#include <vector>

#include "platform/platform.h"

class WrittenFiles {
 public:
  // kOthersLink is the writer's own: another user's link at the name.
  enum class Clash { kNone, kPackage, kToolFile, kEarlierEntry, kOthersLink };

  WrittenFiles(const platform::File& package, const std::string& pksPath,
               const std::string& workPath);

  // Whether the work file `name` would be one of the files the package's
  // replacement keeps beside it, whether or not it exists: the work
  // directory is the package directory and the name is one of theirs in
  // any ASCII case. Any case on every system, so a package gives the same
  // files on Linux as on Windows, where case does not tell files apart.
  bool besidePackage(const std::string& name) const;

  // An entry of which this run created a file. Its files are known by the
  // entry's name until an existing file turns up: a file that did not exist
  // cannot be the package or an earlier entry's, so a fresh extraction never
  // asks who a file is.
  void addCreated(const std::string& name) { created_.push_back(name); }
  // An existing file this run is writing.
  void addExisting(const platform::FileId& id) { ids_.insert(id); }

  // Whether the existing file `id` is the package, its backup or original,
  // or one this run wrote.
  Clash clashOf(const platform::FileId& id);

 private:
  const std::string& pksPath_;
  const std::string& workPath_;
  platform::FileId package_;
  bool havePackage_;  // set from package_, so declared after it
  bool inPackageDir_;
  bool toolFilesKnown_ = false;
  std::set<platform::FileId> toolFiles_;  // the backup and the original
  std::set<platform::FileId> ids_;
  std::vector<std::string> created_;  // entry names, one per entry
};

#endif  // QUILLMERE_PACKAGE_WRITTEN_FILES_H_
