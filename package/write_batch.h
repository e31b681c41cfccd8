// Small entries of a package wait here and are then written to the work
// directory by two threads at once. Creating a file is nearly all kernel
// time, and the kernel creates two files side by side in little more than
// the time of one, so a package of many small shaders extracts in about half
// the time it takes one file after the other.
//
// The result must be the one a walk front to back gives: a later entry that
// writes a file an earlier one wrote wins. So no two entries in a batch may
// write the same file, under any spelling the file system takes for it.
#ifndef QUILLMERE_PACKAGE_WRITE_BATCH_H_
#define QUILLMERE_PACKAGE_WRITE_BATCH_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <unordered_set>
#include <vector>

// One entry of the package as the batch keeps it.
struct BatchEntry {
  std::string name;      // the working name, for the messages
  bool skipped = false;  // an unsafe name: no file is written
  std::string prePath;
  std::string shaderPath;
  std::int32_t contentSize = 0;  // as stored, for the messages
  std::size_t offset = 0;        // of the header bytes in the batch's data
  std::size_t headerSize = 0;
  std::size_t contentBytes = 0;  // follow the header bytes
  bool preWritten = false;
  bool shaderWritten = false;
};

class WriteBatch {
 public:
  // Holds up to `capacity` bytes of headers and contents.
  explicit WriteBatch(std::size_t capacity);

  // Whether an entry of `bytes` header and content bytes writing these two
  // files can join without breaking the package's order.
  bool canTake(const std::string& prePath, const std::string& shaderPath,
               std::size_t bytes) const;
  // Room for the next entry's `bytes`; they join only through add().
  unsigned char* space(std::size_t bytes);
  // Adds the entry whose bytes were read into space().
  void add(const std::string& name, const std::string& prePath,
           const std::string& shaderPath, std::size_t headerSize,
           std::int32_t contentSize, std::size_t contentBytes);
  // Adds an entry that writes nothing, so its messages keep their place.
  void addSkipped(const std::string& name);
  // No entry of any kind may join before write() and clear().
  bool full() const;

  // Writes every file of the batch and returns its entries in package
  // order, each saying which of its files were written.
  const std::vector<BatchEntry>& write();
  // Empties the batch for the next entries.
  void clear();
  bool empty() const { return entries_.empty(); }

 private:
  void writeEntry(BatchEntry& entry) const;

  std::size_t capacity_;
  std::vector<unsigned char> data_;
  std::size_t used_ = 0;
  std::vector<BatchEntry> entries_;
  std::unordered_set<std::string> files_;  // fileIdentity of every file
  bool alone_ = false;  // holds an entry that may share no batch
};

// The name under which two paths of one directory are compared: equal for
// every pair of paths that can be one file. Empty for a path that cannot be
// compared safely; its entry is written on its own.
std::string fileIdentity(const std::string& path);

// Opens a new work file for writing. Unbuffered: every write is one large
// block anyway, and a small file then costs one system call to write, not a
// copy into a buffer and a flush.
std::FILE* createWorkFile(const std::string& path);
// Closes a work file; one that did not get all its bytes (`written` false, or
// a failed close on a full disk) is removed, so no half file is left to be
// merged. True when the file is complete.
bool closeWorkFile(std::FILE* out, bool written, const std::string& path);
// Creates `path` with exactly `size` bytes from `data`, or removes it.
bool writeWholeFile(const std::string& path, const unsigned char* data,
                    std::size_t size);

#endif  // QUILLMERE_PACKAGE_WRITE_BATCH_H_
