#include "package/write_batch.h"

#include <atomic>
#include <cstdio>
#include <system_error>
#include <thread>

namespace {

// Two writers take 0.5 to 0.6 of one writer's time on two cores. The kernel
// creates one file at a time in a directory, so more writers would mostly
// wait for that lock.
constexpr unsigned kWriters = 2;
// Below this many entries a helper thread costs more than it saves.
constexpr std::size_t kEntriesWorthAHelper = 8;
// Entries with no content, or skipped ones, take no room in the data, so
// their number is bounded on its own: a package of nothing but empty names
// must not grow the list without end.
constexpr std::size_t kMaxEntries = 1024;

bool isPlainByte(unsigned char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
         (c >= '0' && c <= '9') || c == '_' || c == '-' || c == '.';
}

// Windows opens a device, not a file, for these names whatever follows the
// first dot.
bool isDeviceName(const std::string& stem) {
  if (stem == "CON" || stem == "PRN" || stem == "AUX" || stem == "NUL") {
    return true;
  }
  return stem.size() == 4 &&
         (stem.compare(0, 3, "COM") == 0 || stem.compare(0, 3, "LPT") == 0) &&
         stem[3] >= '0' && stem[3] <= '9';
}

}  // namespace

// Windows and some Linux directories ignore case; Windows drops trailing dots
// and spaces and answers to 8.3 short names (with a '~'); bytes above 127 may
// fold in ways that depend on the code page. A name made only of letters,
// digits, '_', '-' and '.', not ending in a dot and naming no device, is one
// file under every spelling that differs only in case; any other name may be
// another name's file and gets a batch of its own.
std::string fileIdentity(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name.back() == '.') return std::string();
  for (char& c : name) {
    const unsigned char byte = static_cast<unsigned char>(c);
    if (!isPlainByte(byte)) return std::string();
    if (byte >= 'a' && byte <= 'z') c = static_cast<char>(byte - 'a' + 'A');
  }
  if (isDeviceName(name.substr(0, name.find('.')))) return std::string();
  return name;
}

std::FILE* createWorkFile(const std::string& path) {
  std::FILE* out = std::fopen(path.c_str(), "wb");
  if (out != nullptr) std::setvbuf(out, nullptr, _IONBF, 0);
  return out;
}

bool closeWorkFile(std::FILE* out, bool written, const std::string& path) {
  const bool closed = std::fclose(out) == 0;
  if (written && closed) return true;
  std::remove(path.c_str());
  return false;
}

bool writeWholeFile(const std::string& path, const unsigned char* data,
                    std::size_t size) {
  std::FILE* out = createWorkFile(path);
  if (out == nullptr) return false;
  const bool written = size == 0 || std::fwrite(data, 1, size, out) == size;
  return closeWorkFile(out, written, path);
}

WriteBatch::WriteBatch(std::size_t capacity) : capacity_(capacity) {}

bool WriteBatch::canTake(const std::string& prePath,
                         const std::string& shaderPath,
                         std::size_t bytes) const {
  if (entries_.empty()) return bytes <= capacity_;
  if (alone_ || full() || bytes > capacity_ - used_) return false;
  const std::string pre = fileIdentity(prePath);
  const std::string shader = fileIdentity(shaderPath);
  if (pre.empty() || shader.empty()) return false;
  return files_.count(pre) == 0 && files_.count(shader) == 0;
}

unsigned char* WriteBatch::space(std::size_t bytes) {
  if (bytes > capacity_ - used_) return nullptr;
  // Grows with what it holds, so a small package never pays for the whole
  // capacity.
  if (data_.size() < used_ + bytes) {
    std::size_t size = data_.size() * 2;
    if (size < used_ + bytes) size = used_ + bytes;
    if (size > capacity_) size = capacity_;
    data_.resize(size);
  }
  return data_.data() + used_;
}

void WriteBatch::add(const std::string& name, const std::string& prePath,
                     const std::string& shaderPath, std::size_t headerSize,
                     std::int32_t contentSize, std::size_t contentBytes) {
  BatchEntry entry;
  entry.name = name;
  entry.prePath = prePath;
  entry.shaderPath = shaderPath;
  entry.contentSize = contentSize;
  entry.offset = used_;
  entry.headerSize = headerSize;
  entry.contentBytes = contentBytes;
  used_ += headerSize + contentBytes;
  const std::string pre = fileIdentity(prePath);
  const std::string shader = fileIdentity(shaderPath);
  if (pre.empty() || shader.empty()) alone_ = true;
  files_.insert(pre);
  files_.insert(shader);
  entries_.push_back(std::move(entry));
}

void WriteBatch::addSkipped(const std::string& name) {
  BatchEntry entry;
  entry.name = name;
  entry.skipped = true;
  entries_.push_back(std::move(entry));
}

bool WriteBatch::full() const { return entries_.size() >= kMaxEntries; }

void WriteBatch::writeEntry(BatchEntry& entry) const {
  if (entry.skipped) return;
  const unsigned char* header = data_.data() + entry.offset;
  entry.preWritten = writeWholeFile(entry.prePath, header, entry.headerSize);
  entry.shaderWritten = writeWholeFile(
      entry.shaderPath, header + entry.headerSize, entry.contentBytes);
}

const std::vector<BatchEntry>& WriteBatch::write() {
  // Each entry is taken by exactly one writer; the entries share no file, so
  // the order in which the writers finish them changes nothing on disk.
  std::atomic<std::size_t> next(0);
  auto writer = [this, &next] {
    for (std::size_t i = next++; i < entries_.size(); i = next++) {
      writeEntry(entries_[i]);
    }
  };
  std::vector<std::thread> helpers;
  // Asked once: the C library reads the count of cores from the system.
  static const unsigned writers =
      std::thread::hardware_concurrency() == 1 ? 1 : kWriters;
  if (entries_.size() >= kEntriesWorthAHelper) {
    for (unsigned i = 1; i < writers; ++i) {
      // Without a thread (the system is out of them) this thread writes all.
      try {
        helpers.emplace_back(writer);
      } catch (const std::system_error&) {
        break;
      }
    }
  }
  writer();
  for (std::thread& helper : helpers) helper.join();
  return entries_;
}

void WriteBatch::clear() {
  entries_.clear();
  files_.clear();
  used_ = 0;
  alone_ = false;
}
