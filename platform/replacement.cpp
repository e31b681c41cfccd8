// The package's replacement, written once over the steps of
// platform/replace_steps.h. For the package P the user named, which may be
// a link to the file T it leads to: lock T itself; once the listing is
// done, judge what a killed merge left; write T.new~tag beside T; keep the
// first package with entries as P.orig; then either give T a second name
// P.bak~tag, rename T.new~tag over T and P.bak~tag over P.bak, or, where a
// rename would lose T's other names or access, copy T to P.guard~tag, mark
// T's first bytes, write the new bytes, the first ones last, and make the
// guard P.bak. docs/DEVELOPING.md tells each step and what a kill leaves.
#include "platform/replacement.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <vector>

#include "package/format.h"
#include "platform/listing.h"
#include "platform/replace_steps.h"

namespace platform {

namespace {

using steps::Cause;
using steps::Look;

constexpr int kTries = 3;
// The files a replacement writes beside the package, each under a name of
// its own.
enum class Role { kNew, kBackup, kOriginal, kGuard };
const char* const kRoleNames[] = {"new", "bak", "orig", "guard"};
const char* const kEarlierNames[] = {".lock", ".tmp", ".bak.tmp", ".undo"};

using format::hashMore;
using format::kHashStart;
using format::readLe64;
using format::writeLe64;

std::string folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

std::string baseOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string workingName(const std::string& beside, Role role) {
  static std::mt19937 random{std::random_device{}()};
  char tag[9];
  std::snprintf(tag, sizeof tag, "%08x", static_cast<unsigned>(random()));
  return beside + "." + kRoleNames[static_cast<int>(role)] + "~" + tag;
}

// What a rewrite in place puts over the package's first bytes: the old
// and new sizes and hashes, and the guard's base name.
struct Mark {
  enum { kOldSize, kOldHash, kNewSize, kNewHash };
  std::uint64_t word[4] = {0, kHashStart, 0, kHashStart};
  std::string guard;
};

std::vector<unsigned char> encode(const Mark& mark) {
  const std::size_t g = mark.guard.size();
  std::vector<unsigned char> out(format::kMarkFixedSize + g + 8);
  std::memcpy(out.data(), format::kRewriteMark, 4);
  format::writeLe32(&out[format::kEntryCountOffset], 0xFFFFFFFFu);
  for (int i = 0; i < 4; ++i) writeLe64(&out[8 + 8 * i], mark.word[i]);
  out[40] = static_cast<unsigned char>(g);
  out[41] = static_cast<unsigned char>(g >> 8);
  std::memcpy(&out[42], mark.guard.data(), g);
  writeLe64(&out[42 + g], hashMore(kHashStart, out.data(), 42 + g));
  return out;
}

// kUnfinished when `file` starts with a mark; `mark` is filled when it is
// a whole one. A package whose first bytes merely look like one is still
// refused, and one whose first bytes cannot be read is judged by nobody.
Cause readMark(const File& file, Mark* mark) {
  unsigned char in[format::kMaxMarkSize];
  std::size_t got = 0;
  if (!readAt(file, 0, in, sizeof in, &got)) return steps::lastCause();
  if (got < format::kPackageHeaderSize ||
      std::memcmp(in, format::kRewriteMark, 4) != 0 ||
      format::readLe32Signed(in + format::kEntryCountOffset) != -1) {
    return Cause::kNone;
  }
  const std::size_t g = in[40] | (in[41] << 8);
  const std::size_t size = format::kMarkFixedSize + g;
  if (got >= size + 8 && size + 8 <= sizeof in &&
      readLe64(in + size) == hashMore(kHashStart, in, size)) {
    for (int i = 0; i < 4; ++i) mark->word[i] = readLe64(in + 8 + 8 * i);
    mark->guard.assign(reinterpret_cast<const char*>(in + 42), g);
  }
  return Cause::kUnfinished;
}

// Whether `name` still leads to `file`; `named` gets what is there.
bool stillNamed(const File& file, const std::string& name,
                Look* named = nullptr) {
  Look found;
  if (named == nullptr) named = &found;
  FileId opened;  // empty where the system has no ids, as in look()
  identify(file, &opened);
  return steps::look(name, named) && named->id == opened;
}

// Gives the file `from` the free name `to`, never replacing a file there:
// a second name, or where there are none a rename. False with kChanged
// when `to` was taken.
bool placeNew(const std::string& from, const std::string& to) {
  if (steps::linkName(from, to)) {
    steps::removeName(from);
    return true;
  }
  return steps::lastCause() != Cause::kChanged &&
         steps::moveName(from, to, false);
}

bool isWorkingName(const std::string& name, const std::string& packageName,
                   Role* role) {
  for (int r = 0; r < 4; ++r) {
    const std::string prefix = packageName + "." + kRoleNames[r] + "~";
    if (name.size() == prefix.size() + 8 &&
        name.compare(0, prefix.size(), prefix) == 0 &&
        name.find_first_not_of("0123456789abcdef", prefix.size()) ==
            std::string::npos) {
      *role = static_cast<Role>(r);
      return true;
    }
  }
  return false;
}

}  // namespace

bool isReplacementName(const std::string& name,
                       const std::string& packageName) {
  Role role;
  const std::string suffix = name.compare(0, packageName.size(), packageName)
                                 ? std::string()
                                 : name.substr(packageName.size());
  return isWorkingName(name, packageName, &role) || suffix == ".bak" ||
         suffix == ".orig" ||
         std::count(std::begin(kEarlierNames), std::end(kEarlierNames),
                    suffix) != 0;
}

struct Replacement::State {
  explicit State(const std::string& package)
      : path(package),
        folder(folderOf(package)),
        backup(package + ".bak"),
        orig(package + ".orig"),
        buffer(256 * 1024) {}

  // False, with the cause; true for kNone, a cause cleared.
  bool fail(Cause why, const std::string& name = std::string()) {
    cause = why;
    causeName = name;
    return why == Cause::kNone;
  }
  bool failWithLast() { return fail(steps::lastCause()); }
  // A file that could not be made: denied is the folder's refusal.
  bool failToCreate() {
    const Cause why = steps::lastCause();
    return fail(why == Cause::kDenied ? Cause::kFolderRefuses : why);
  }

  bool lockPackage();
  bool trusted(const std::string& name);
  bool checkPackage();
  bool chooseWay();
  bool judgeLeftovers(const std::string& in, const std::string& beside);
  bool judge(const std::string& name, Role role);
  bool rewrite(const File& into, const Mark& mark, const File& from,
               std::uint64_t bytesOf);
  bool pass(const File& from, std::uint64_t begin, std::uint64_t end,
            const File* to, std::uint64_t* hash);
  bool copyOld(const std::string& name, File* copy, std::uint64_t* hash);
  bool keepOriginal();
  bool byRename(bool wantBackup);
  bool inPlace(bool wantBackup);

  const std::string path, folder, backup, orig;
  std::string target, targetFolder, freshPath;
  File old;       // T, locked for the whole merge
  File fresh;     // the new package, until it is T
  File origCopy;  // P.orig when this merge made it
  Look oldLook;
  std::uint64_t size = 0;  // of the new package
  bool oldExists = false;
  bool rewriteInPlace = false;
  Cause cause = Cause::kNone;
  std::string causeName;
  Commit outcome = Commit::kDone;  // when the package is in place
  std::vector<unsigned char> buffer;
};

// One pass over the bytes [begin, end) of `from`: copied to `to` at the
// same offsets, hashed into `hash` (which compares them). False when a read
// or write fails or `from` ends early.
bool Replacement::State::pass(const File& from, std::uint64_t begin,
                              std::uint64_t end, const File* to,
                              std::uint64_t* hash) {
  for (std::uint64_t at = begin; at < end;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), end - at));
    std::size_t got = 0;
    if (!readAt(from, at, buffer.data(), want, &got) || got != want ||
        (to != nullptr && !platform::writeAt(*to, at, buffer.data(), got))) {
      return false;
    }
    if (hash != nullptr) *hash = hashMore(*hash, buffer.data(), got);
    at += got;
  }
  return true;
}

// Locks the file P leads to, and tries again when P leads elsewhere by
// the time the lock is granted.
bool Replacement::State::lockPackage() {
  for (int attempt = 0; attempt < kTries; ++attempt) {
    old.close();
    oldExists = false;
    const Cause why = steps::resolveLinks(path, &target);
    if (why != Cause::kNone) return fail(why, folder);
    targetFolder = folderOf(target);
    // A link to one of the tool's own files would lose the package the
    // user had under the backup's name.
    if (isReplacementName(baseOf(target), format::kPackageFileName)) {
      return fail(Cause::kOwnName, target);
    }
    old = steps::openExisting(target, false);
    if (!old.isOpen()) {
      if (!steps::lastWasMissing()) return failWithLast();
      // No package: a new one is published without replacing. (Windows
      // says a name below a file is missing.)
      Look found;
      if (steps::look(targetFolder, &found)) {
        return !found.regular || fail(Cause::kNotFolder, targetFolder);
      }
      return steps::lastWasMissing() ? fail(Cause::kNoFolder, targetFolder)
                                     : failWithLast();
    }
    if (!fail(steps::lockFile(old, true))) return false;
    oldExists = stillNamed(old, target, &oldLook);
    if (oldExists) return fail(Cause::kNone);
  }
  return fail(Cause::kChanged);
}

// The user's .bak and .orig, which the merge may write over or beside: the
// user's own files, or none.
bool Replacement::State::trusted(const std::string& name) {
  Look found;
  if (!steps::look(name, &found)) {
    return steps::lastWasMissing() || failWithLast();
  }
  if (oldExists && found.id == oldLook.id) return fail(Cause::kOwnName, name);
  return (found.regular && found.ours && found.links == 1) ||
         fail(Cause::kUntrusted, name);
}

// The package as it is now.
bool Replacement::State::checkPackage() {
  if (!trusted(backup) || !trusted(orig)) return false;
  if (!oldExists) return true;
  Mark mark;
  const Cause marked = readMark(old, &mark);
  if (marked != Cause::kNone) {
    return fail(marked, mark.guard.empty() ? target : mark.guard);
  }
  // Renaming over a package its user may not write would go around its
  // protection.
  return !oldLook.readOnly || fail(Cause::kReadOnly);
}

// By rename where a new file can be all the old one was; otherwise in
// place, which keeps T's other names, owner and access as they are.
bool Replacement::State::chooseWay() {
  const Cause kept = oldLook.links > 1 || folderOf(freshPath) != targetFolder
                         ? Cause::kDenied
                         : steps::keepMetadata(old, fresh, false);
  rewriteInPlace = kept == Cause::kDenied;
  return rewriteInPlace || fail(kept);
}

// Writes the first `bytesOf` bytes of `from` over `into` under `mark`: the
// mark, the bytes after it, the first bytes, and a cut below the mark's size
// last, each step synced, so that every reader refuses `into` until its
// first bytes are real.
bool Replacement::State::rewrite(const File& into, const Mark& mark,
                                 const File& from, std::uint64_t bytesOf) {
  const std::vector<unsigned char> bytes = encode(mark);
  const std::uint64_t marked = bytes.size();
  const std::uint64_t head = std::min(bytesOf, marked);
  return platform::writeAt(into, 0, bytes.data(), bytes.size()) &&
         steps::syncFile(into) && pass(from, head, bytesOf, &into, nullptr) &&
         truncateTo(into, std::max(bytesOf, marked)) && steps::syncFile(into) &&
         pass(from, 0, head, &into, nullptr) && steps::syncFile(into) &&
         (bytesOf >= marked ||
          (truncateTo(into, bytesOf) && steps::syncFile(into)));
}

// A working file a killed merge left: ours, with one name (a backup in
// waiting may be the package's second one, an original's copy the
// original's), and held by no running merge.
bool Replacement::State::judge(const std::string& name, Role role) {
  Look found;
  Look named;
  if (!steps::look(name, &found) || !found.regular || !found.ours) return true;
  const bool packagesOwn = oldExists && found.id == oldLook.id;
  if (found.links != 1 && !(role == Role::kBackup && packagesOwn) &&
      !(role == Role::kOriginal && steps::look(orig, &named) &&
        named.id == found.id)) {
    return true;
  }
  const File file = steps::openExisting(name, false);
  if (!file.isOpen() || !stillNamed(file, name) ||
      (!packagesOwn && steps::lockFile(file, true) != Cause::kNone)) {
    return true;
  }
  Mark mark;
  if (role == Role::kGuard && oldExists &&
      readMark(old, &mark) != Cause::kNone) {
    std::uint64_t hash = kHashStart;
    if (mark.guard != baseOf(name) || found.size != mark.word[Mark::kOldSize] ||
        !pass(file, 0, found.size, nullptr, &hash) ||
        hash != mark.word[Mark::kOldHash]) {
      return true;  // not this guard's package: refused below
    }
    const File into = steps::openExisting(target, true);
    if (!into.isOpen() || !stillNamed(into, target) ||
        !rewrite(into, mark, file, found.size)) {
      return failWithLast();
    }
  } else if (role == Role::kBackup || role == Role::kGuard) {
    // The package in place, or a first part of it (a guard: all of it), is
    // no backup; anything else is the package a merge replaced.
    std::uint64_t mine = kHashStart;
    std::uint64_t theirs = kHashStart;
    const bool copy =
        packagesOwn ||
        (oldExists && found.size <= oldLook.size &&
         (role == Role::kBackup || found.size == oldLook.size) &&
         pass(file, 0, found.size, nullptr, &mine) &&
         pass(old, 0, found.size, nullptr, &theirs) && mine == theirs);
    if (!copy) {
      return trusted(backup) &&
             (steps::moveName(name, backup, true) || failWithLast());
    }
  }
  return steps::removeName(name) || failWithLast();
}

bool Replacement::State::judgeLeftovers(const std::string& in,
                                        const std::string& beside) {
  std::deque<std::string> names;
  const auto tagged = [](const std::string& name) {
    return name.find('~') != std::string::npos;
  };
  if (!listDirectory(in + "/*", tagged, &names)) return true;
  for (const std::string& name : names) {
    Role role;
    if (isWorkingName(name, beside, &role) && !judge(in + "/" + name, role)) {
      return false;
    }
  }
  return true;
}

bool Replacement::State::copyOld(const std::string& name, File* copy,
                                 std::uint64_t* hash) {
  *copy = steps::createNew(name);
  if (!copy->isOpen()) return failToCreate();
  Cause why = Cause::kNone;
  if (steps::lockFile(*copy, true) == Cause::kNone &&
      pass(old, 0, oldLook.size, copy, hash) &&
      (why = steps::keepMetadata(old, *copy, true)) == Cause::kNone &&
      steps::syncFile(*copy)) {
    return true;
  }
  if (why == Cause::kNone) why = steps::lastCause();
  if (stillNamed(*copy, name)) steps::removeName(name);
  return fail(why);
}

// The first package with entries the tool replaces stays, for good, as
// P.orig; one that is there already is never replaced.
bool Replacement::State::keepOriginal() {
  Look found;
  if (steps::look(orig, &found)) return true;
  if (!steps::lastWasMissing()) return failWithLast();
  const std::string name = workingName(path, Role::kOriginal);
  if (!copyOld(name, &origCopy, nullptr) || placeNew(name, orig)) {
    return cause == Cause::kNone;
  }
  // An original someone put there meanwhile stays.
  const Cause why = steps::lastCause();
  steps::removeName(name);
  return fail(why == Cause::kChanged ? Cause::kNone : why);
}

// The new file renamed over T, or where there was none given its name
// without replacing one someone made meanwhile.
bool Replacement::State::byRename(bool wantBackup) {
  // A program that holds T refuses the rename: nothing is made yet.
  if (!steps::syncFile(fresh) || (oldExists && !steps::mayReplace(target))) {
    return failWithLast();
  }
  const std::string waiting = workingName(path, Role::kBackup);
  Look kept;  // the file waiting holds
  if (wantBackup) {
    // A second name of the old file costs nothing; where there is none to
    // be had, a copy.
    File copy;
    const bool made = steps::linkName(target, waiting);
    if (!made && !copyOld(waiting, &copy, nullptr)) return false;
    if (!stillNamed(made ? old : copy, waiting, &kept) ||
        ((!made || folder != targetFolder) && !steps::syncFolder(folder))) {
      steps::removeName(waiting);
      return fail(Cause::kIo);
    }
  }
  if (!stillNamed(fresh, freshPath) ||
      !(oldExists ? steps::publish(fresh, freshPath, target, &old)
                  : placeNew(freshPath, target))) {
    failWithLast();
    if (wantBackup) steps::removeName(waiting);
    return false;
  }
  freshPath.clear();
  if (!steps::syncFolder(targetFolder)) outcome = Commit::kUnsynced;
  // Only now the older backup goes; should the rename fail or the process
  // die first, the next merge rolls it forward.
  Look now;
  if (wantBackup && !(steps::look(waiting, &now) && now.id == kept.id &&
                      steps::moveName(waiting, backup, true))) {
    fail(steps::lastCause(), waiting);
    outcome = Commit::kNoBackup;
  }
  return true;
}

bool Replacement::State::inPlace(bool wantBackup) {
  const File into = steps::openExisting(target, true);
  if (!into.isOpen() || !stillNamed(into, target)) {
    return fail(into.isOpen() ? Cause::kChanged : steps::lastCause());
  }
  const std::string guardPath = workingName(path, Role::kGuard);
  Mark mark{{oldLook.size, kHashStart, size, kHashStart}, baseOf(guardPath)};
  File guard;
  if (!pass(fresh, 0, size, nullptr, &mark.word[Mark::kNewHash])) {
    return failWithLast();
  }
  if (!copyOld(guardPath, &guard, &mark.word[Mark::kOldHash])) return false;
  if (!steps::syncFolder(folder)) {
    steps::removeName(guardPath);
    return fail(Cause::kIo);
  }
  if (!rewrite(into, mark, fresh, size)) {
    failWithLast();
    // The old bytes go back now; should that fail too, the next merge puts
    // them back from the guard.
    if (rewrite(into, mark, guard, oldLook.size)) steps::removeName(guardPath);
    return false;
  }
  if (!wantBackup) {
    steps::removeName(guardPath);
  } else if (!stillNamed(guard, guardPath) ||
             !steps::moveName(guardPath, backup, true)) {
    fail(steps::lastCause(), guardPath);
    outcome = Commit::kNoBackup;
  }
  return true;
}

Replacement::Replacement(const std::string& path) : state_(new State(path)) {}

Replacement::~Replacement() {
  State& s = *state_;
  if (!s.freshPath.empty() && stillNamed(s.fresh, s.freshPath)) {
    s.fresh.close();
    steps::removeName(s.freshPath);
  }
}

bool Replacement::lock() { return state_->lockPackage(); }

bool Replacement::open() {
  State& s = *state_;
  // An earlier release's files hold what its user may still need.
  for (const char* suffix : kEarlierNames) {
    Look found;
    for (const std::string& name : {s.path + suffix, s.target + suffix}) {
      if (steps::look(name, &found)) {
        return s.fail(Cause::kEarlierRelease, name);
      }
    }
  }
  // Before the package's names are counted: a backup in waiting is one.
  if (!s.judgeLeftovers(s.folder, baseOf(s.path)) ||
      (s.targetFolder != s.folder &&
       !s.judgeLeftovers(s.targetFolder, baseOf(s.target))) ||
      (s.oldExists && !stillNamed(s.old, s.target, &s.oldLook)) ||
      !s.checkPackage()) {
    if (s.cause == Cause::kNone) s.fail(Cause::kChanged);  // T swapped
    return false;
  }
  s.freshPath = workingName(s.target, Role::kNew);
  s.fresh = steps::createNew(s.freshPath);
  if (!s.fresh.isOpen() && steps::lastCause() == Cause::kDenied &&
      s.oldExists) {
    // T's folder refuses new files: T takes the new bytes itself, which
    // are kept meanwhile beside P.
    s.freshPath = workingName(s.path, Role::kNew);
    s.fresh = steps::createNew(s.freshPath);
  }
  if (!s.fresh.isOpen()) {
    s.freshPath.clear();
    return s.failToCreate();
  }
  return s.fail(steps::lockFile(s.fresh, true)) &&
         (!s.oldExists || s.chooseWay());
}

bool Replacement::write(const unsigned char* data, std::size_t size) {
  State& s = *state_;
  if (!s.fresh.isOpen() || !platform::writeAt(s.fresh, s.size, data, size)) {
    return s.failWithLast();
  }
  s.size += size;
  // At every 8 MiB the disk is asked to start on what it was handed, so the
  // sync at the end finds little left to wait for.
  if ((s.size - size) >> 23 != s.size >> 23) steps::syncFile(s.fresh, false);
  return true;
}

bool Replacement::writeAt(std::uint64_t offset, const unsigned char* data,
                          std::size_t size) {
  State& s = *state_;
  return (s.fresh.isOpen() && offset + size <= s.size &&
          platform::writeAt(s.fresh, offset, data, size)) ||
         s.failWithLast();
}

Replacement::Commit Replacement::commit(bool replaceBackup) {
  State& s = *state_;
  // P must still lead to the file locked and judged; if it was swapped
  // meanwhile, the merge starts over from the lock with what it built.
  for (int attempt = 0; s.oldExists && !stillNamed(s.old, s.target);
       ++attempt) {
    if (attempt == kTries || !s.lockPackage() || !s.oldExists ||
        !s.checkPackage() || !s.chooseWay()) {
      if (s.cause == Cause::kNone || !s.oldExists) s.fail(Cause::kChanged);
      return Commit::kFailed;
    }
  }
  Look found;
  const bool wantBackup =
      s.oldExists && (replaceBackup || (!steps::look(s.backup, &found) &&
                                        steps::lastWasMissing()));
  const bool done =
      (!s.oldExists || !replaceBackup || s.keepOriginal()) &&
      (s.rewriteInPlace ? s.inPlace(wantBackup) : s.byRename(wantBackup));
  // A merge that failed leaves the original as it was: none.
  if (!done && s.origCopy.isOpen() && stillNamed(s.origCopy, s.orig)) {
    steps::removeName(s.orig);
  }
  return done ? s.outcome : Commit::kFailed;
}

const File& Replacement::old() const { return state_->old; }
bool Replacement::folderOpenToOthers() const {
  Look found;  // through "." the folder a link may name
  return steps::look(state_->folder + "/.", &found) && found.openToOthers;
}
Replacement::Cause Replacement::cause() const { return state_->cause; }
const std::string& Replacement::causeName() const { return state_->causeName; }

Replacement::Cause checkReadable(const std::string& path, const File& file,
                                 std::string* name) {
  Look found;
  *name = path + ".undo";
  if (steps::look(*name, &found)) return Cause::kEarlierRelease;
  if (steps::lockFile(file, false) == Cause::kBusy) return Cause::kBusy;
  Mark mark;
  const Cause marked = readMark(file, &mark);
  *name = mark.guard.empty() ? path : mark.guard;
  return marked;
}

}  // namespace platform
