// The package's replacement, written once over the steps of
// platform/replace_steps.h. The names it keeps, for the package the user
// named P, which may be a link to the file T it leads to:
//
//   T.lock      beside T: the lock; it stays, empty.
//   T.tmp       beside T: the new package, renamed over T.
//   P.bak.tmp   the backup or the kept original while it is made.
//   P.bak       the backup, replaced only once the new package is in place.
//   P.orig      the first package replaced; never touched again.
//   P.tmp       for a rewrite in place: the new package, followed by the
//               proof of what P.undo guards.
//   P.undo      for a rewrite in place: the old bytes, exactly.
//
// A file under one of these names that the tool did not make (another
// user's, a link, a directory, one that guards another file) is never used;
// the merge refuses and names it.
#include "platform/replacement.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/replace_steps.h"

namespace platform {

std::string steps::folderOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash == std::string::npos) return ".";
  return path.substr(0, slash == 0 ? 1 : slash);
}

namespace {

using steps::Cause;
using steps::folderOf;
using steps::Look;

constexpr std::size_t kBufferSize = 256 * 1024;
constexpr unsigned char kProofMark[8] = {'Q', 'M', '-', 'U',
                                         'N', 'D', 'O', '1'};
// The mark, the guarded file's id (3), the old and new sizes and hashes, the
// backup flag, and the hash of all of that.
constexpr std::size_t kProofWords = 3 + 4 + 1 + 1;
constexpr std::size_t kProofSize = sizeof kProofMark + 8 * kProofWords;

// FNV-1a: enough to tell a copy from a file that changed, not a defence
// against a forger, who would have to be this user anyway.
constexpr std::uint64_t kHashStart = 14695981039346656037ull;
std::uint64_t hashMore(std::uint64_t hash, const unsigned char* data,
                       std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) {
    hash = (hash ^ data[i]) * 1099511628211ull;
  }
  return hash;
}

void putWord(unsigned char* at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i)
    at[i] = static_cast<unsigned char>(value >> (8 * i));
}
std::uint64_t getWord(const unsigned char* at) {
  std::uint64_t value = 0;
  for (int i = 7; i >= 0; --i) value = (value << 8) | at[i];
  return value;
}

std::string baseOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// What a rewrite in place records before it touches the package.
struct Proof {
  FileId guarded;
  std::uint64_t oldSize = 0;
  std::uint64_t oldHash = 0;
  std::uint64_t newSize = 0;
  std::uint64_t newHash = 0;
  bool backup = false;  // whether the old bytes become the backup
};

void encode(const Proof& proof, unsigned char* out) {
  std::memcpy(out, kProofMark, sizeof kProofMark);
  const std::uint64_t words[kProofWords - 1] = {
      proof.guarded.volume, proof.guarded.high,    proof.guarded.index,
      proof.oldSize,        proof.oldHash,         proof.newSize,
      proof.newHash,        proof.backup ? 1u : 0u};
  unsigned char* at = out + sizeof kProofMark;
  for (std::uint64_t word : words) {
    putWord(at, word);
    at += 8;
  }
  putWord(at, hashMore(kHashStart, out, kProofSize - 8));
}

bool decode(const unsigned char* in, Proof* proof) {
  if (std::memcmp(in, kProofMark, sizeof kProofMark) != 0 ||
      getWord(in + kProofSize - 8) !=
          hashMore(kHashStart, in, kProofSize - 8)) {
    return false;
  }
  const unsigned char* at = in + sizeof kProofMark;
  proof->guarded.volume = getWord(at);
  proof->guarded.high = getWord(at + 8);
  proof->guarded.index = getWord(at + 16);
  proof->oldSize = getWord(at + 24);
  proof->oldHash = getWord(at + 32);
  proof->newSize = getWord(at + 40);
  proof->newHash = getWord(at + 48);
  proof->backup = getWord(at + 56) == 1;
  return true;
}

// The hash of the first `size` bytes of `file`; false when it has fewer.
bool hashOf(const File& file, std::uint64_t size,
            std::vector<unsigned char>* buffer, std::uint64_t* hash) {
  *hash = kHashStart;
  for (std::uint64_t at = 0; at < size;) {
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer->size(), size - at));
    std::size_t got = 0;
    if (!steps::readAt(file, at, buffer->data(), want, &got) || got != want) {
      return false;
    }
    *hash = hashMore(*hash, buffer->data(), got);
    at += got;
  }
  return true;
}

// A file of the tool's names that it may have made: a regular file of this
// user's with no other name.
bool lookOurs(const std::string& path, Look* found) {
  return steps::look(path, found) && found->regular && found->ours &&
         found->links == 1;
}

// Reads the proof a rewrite in place left at the end of `temp`, and checks
// that the new bytes before it are whole.
bool readProof(const std::string& temp, Proof* proof, File* file,
               std::vector<unsigned char>* buffer) {
  Look found;
  if (!lookOurs(temp, &found) || found.size < kProofSize) return false;
  *file = steps::openNoFollow(temp, false);
  Look opened;
  if (!file->isOpen() || !steps::lookOpen(*file, &opened) ||
      !(opened.id == found.id)) {
    return false;
  }
  unsigned char record[kProofSize];
  std::size_t got = 0;
  std::uint64_t hash = 0;
  return steps::readAt(*file, found.size - kProofSize, record, kProofSize,
                       &got) &&
         got == kProofSize && decode(record, proof) &&
         proof->newSize == found.size - kProofSize &&
         hashOf(*file, proof->newSize, buffer, &hash) && hash == proof->newHash;
}

// Opens `undo` when it holds exactly the old bytes `proof` guards.
bool openProvenUndo(const std::string& undo, const Proof& proof, File* file,
                    std::vector<unsigned char>* buffer) {
  Look found;
  std::uint64_t hash = 0;
  if (!lookOurs(undo, &found) || found.size != proof.oldSize) return false;
  *file = steps::openNoFollow(undo, false);
  Look opened;
  return file->isOpen() && steps::lookOpen(*file, &opened) &&
         opened.id == found.id && hashOf(*file, proof.oldSize, buffer, &hash) &&
         hash == proof.oldHash;
}

}  // namespace

struct Replacement::State {
  explicit State(const std::string& package)
      : path(package),
        folder(folderOf(package)),
        backup(package + ".bak"),
        backupTemp(package + ".bak.tmp"),
        undo(package + ".undo"),
        orig(package + ".orig"),
        inPlaceTemp(package + ".tmp"),
        buffer(kBufferSize) {}

  bool fail(Cause why) {
    cause = why;
    causeName.clear();
    return false;
  }
  bool fail(Cause why, const std::string& name) {
    cause = why;
    causeName = name;
    return false;
  }
  bool failWithLast() { return fail(steps::lastCause()); }

  bool lock();
  bool open();
  bool takeLock();
  bool openOld(const Look& found, bool forWriting);
  bool checkOld(Look* found);
  bool startNew(const Look& found);
  bool clearTemp(const std::string& name);
  bool clearBackupTemp();
  bool recoverUndo();
  bool putBack(const File& package, const File& from, std::uint64_t size);
  bool isTorn(const File& package, const File& oldBytes, const File& newBytes,
              const Proof& proof);
  bool copyOld(const std::string& name, std::uint64_t* hash);
  bool keepOriginal();
  Commit commitByRename(bool wantBackup);
  Commit commitInPlace(bool wantBackup);

  std::string path, folder, backup, backupTemp, undo, orig, inPlaceTemp;
  std::string target, targetFolder, temp, lockName;
  File lockFile;   // held from lock() on; the target itself where its folder
                   // refuses new files
  File old;        // the package being replaced, opened once
  File temporary;  // the new package
  Look oldLook;
  std::uint64_t size = 0;  // of the new package
  bool locked = false;
  bool targetLocked = false;
  bool oldExists = false;
  bool inPlace = false;
  bool tempOurs = false;
  bool origMade = false;  // this merge kept the original
  bool openToOthers = false;
  bool sticky = false;
  Cause cause = Cause::kNone;
  std::string causeName;
  std::vector<unsigned char> buffer;
  std::uint64_t sinceWriteback = 0;
};

// Opens and locks the lock file beside the package; false when the merge
// must stop, true with `locked` still false when the file was removed
// meanwhile and a new one is to be taken.
bool Replacement::State::takeLock() {
  bool created = false;
  lockFile = steps::openLockFile(lockName, &created);
  if (!lockFile.isOpen() && created) {
    const Cause why = steps::lastCause();
    steps::removeName(lockName);
    return fail(why);
  }
  if (!lockFile.isOpen()) {
    const bool missing = steps::lastWasMissing();
    const bool denied = steps::lastWasDenied();
    const Cause why = steps::lastCause();
    Look found;
    if (steps::look(lockName, &found)) return fail(Cause::kUntrusted, lockName);
    if (missing) return fail(Cause::kNoFolder, folder);
    if (!denied) return fail(why);
    // A folder that refuses new files: the file itself is the lock, and it
    // is rewritten in place.
    lockFile = steps::openNoFollow(target, false);
    targetLocked = lockFile.isOpen();
    if (!targetLocked) return fail(Cause::kFolderRefuses);
  }
  const steps::Locked taken = steps::lockExclusive(lockFile);
  if (taken == steps::Locked::kYes) {
    Look mine;
    Look named;
    locked =
        targetLocked || (steps::lookOpen(lockFile, &mine) &&
                         steps::look(lockName, &named) && mine.id == named.id);
    if (locked || !created) return true;
  }
  // A lock file we made and could not hold is nobody's.
  const Cause why = steps::lastCause();
  lockFile.close();
  if (created && !targetLocked) steps::removeName(lockName);
  if (taken == steps::Locked::kBusy) return fail(Cause::kBusy);
  return fail(taken == steps::Locked::kFailed ? why : Cause::kIo);
}

// A leftover new package: only a file this user made is removed, and a new
// one is always made afresh.
bool Replacement::State::clearTemp(const std::string& name) {
  Look found;
  if (!steps::look(name, &found)) {
    return steps::lastWasMissing() || failWithLast();
  }
  if (!found.regular || !found.ours || found.links != 1) {
    return fail(Cause::kUntrusted, name);
  }
  return steps::removeName(name) || failWithLast();
}

// A backup or original that a killed merge was making: removed when it is
// (a copy of part of) the package that still stands, made the backup when
// the package it held was replaced.
bool Replacement::State::clearBackupTemp() {
  Look found;
  if (!steps::look(backupTemp, &found)) {
    return steps::lastWasMissing() || failWithLast();
  }
  if (!found.regular || !found.ours) return fail(Cause::kUntrusted, backupTemp);
  Look packageLook;
  Look original;
  const bool package = steps::look(target, &packageLook) && packageLook.regular;
  if ((steps::look(orig, &original) && original.id == found.id) ||
      (package && packageLook.id == found.id)) {
    return steps::removeName(backupTemp) || failWithLast();
  }
  if (found.links != 1) return fail(Cause::kUntrusted, backupTemp);
  bool copyOfPackage = false;
  if (package) {
    const File mine = steps::openNoFollow(backupTemp, false);
    const File current = steps::openNoFollow(target, false);
    if (!mine.isOpen() || !current.isOpen()) return failWithLast();
    copyOfPackage = found.size <= packageLook.size;
    std::vector<unsigned char> theirs(buffer.size());
    for (std::uint64_t at = 0; copyOfPackage && at < found.size;) {
      std::size_t got = 0;
      std::size_t gotTheirs = 0;
      if (!steps::readAt(mine, at, buffer.data(), buffer.size(), &got) ||
          !steps::readAt(current, at, theirs.data(), got, &gotTheirs)) {
        return failWithLast();
      }
      if (got == 0) break;
      copyOfPackage = gotTheirs == got &&
                      std::memcmp(buffer.data(), theirs.data(), got) == 0;
      at += got;
    }
  }
  if (copyOfPackage) return steps::removeName(backupTemp) || failWithLast();
  return steps::renameOver(backupTemp, backup) || failWithLast();
}

bool Replacement::State::putBack(const File& package, const File& from,
                                 std::uint64_t oldSize) {
  for (std::uint64_t at = 0; at < oldSize;) {
    std::size_t got = 0;
    if (!steps::readAt(from, at, buffer.data(), buffer.size(), &got) ||
        got == 0 || !steps::writeAt(package, at, buffer.data(), got)) {
      return false;
    }
    at += got;
  }
  return steps::truncateTo(package, oldSize) && steps::syncFile(package);
}

// Whether `package` is what a rewrite in place leaves when stopped: every
// byte either the new package's or the old one's at that place.
bool Replacement::State::isTorn(const File& package, const File& oldBytes,
                                const File& newBytes, const Proof& proof) {
  Look found;
  if (!steps::lookOpen(package, &found) ||
      found.size < std::min(proof.oldSize, proof.newSize) ||
      found.size > std::max(proof.oldSize, proof.newSize)) {
    return false;
  }
  const std::size_t piece = buffer.size() / 4;
  std::vector<unsigned char> was(piece);
  std::vector<unsigned char> next(piece);
  for (std::uint64_t at = 0; at < found.size;) {
    std::size_t got = 0;
    std::size_t gotOld = 0;
    std::size_t gotNew = 0;
    if (!steps::readAt(package, at, buffer.data(), piece, &got) || got == 0 ||
        !steps::readAt(oldBytes, at, was.data(), got, &gotOld) ||
        !steps::readAt(newBytes, at, next.data(),
                       static_cast<std::size_t>(std::min<std::uint64_t>(
                           got, at < proof.newSize ? proof.newSize - at : 0)),
                       &gotNew)) {
      return false;
    }
    for (std::size_t i = 0; i < got; ++i) {
      if (!(i < gotOld && buffer[i] == was[i]) &&
          !(i < gotNew && buffer[i] == next[i])) {
        return false;
      }
    }
    at += got;
  }
  return true;
}

// What a killed rewrite in place left: the package is put back from the
// undo file when it is provably the torn one, and the step is finished when
// the new package was all in.
bool Replacement::State::recoverUndo() {
  Look found;
  if (!steps::look(undo, &found)) {
    return steps::lastWasMissing() || failWithLast();
  }
  Proof proof;
  File newBytes;
  File oldBytes;
  if (!readProof(inPlaceTemp, &proof, &newBytes, &buffer) ||
      !openProvenUndo(undo, proof, &oldBytes, &buffer)) {
    return fail(Cause::kUntrusted, undo);
  }
  File package = steps::openNoFollow(target, true);
  Look current;
  if (!package.isOpen() || !steps::lookOpen(package, &current) ||
      !(current.id == proof.guarded)) {
    return fail(Cause::kUntrusted, undo);
  }
  if (!targetLocked && steps::lockExclusive(package) != steps::Locked::kYes) {
    return fail(Cause::kBusy);
  }
  std::uint64_t hash = 0;
  if (!hashOf(package, current.size, &buffer, &hash)) return failWithLast();
  bool done = false;
  if (current.size == proof.oldSize && hash == proof.oldHash) {
    done = steps::removeName(undo);
  } else if (current.size == proof.newSize && hash == proof.newHash) {
    Look kept;
    const bool backupMissing =
        !steps::look(backup, &kept) && steps::lastWasMissing();
    done = (proof.backup || backupMissing) ? steps::renameOver(undo, backup)
                                           : steps::removeName(undo);
  } else if (isTorn(package, oldBytes, newBytes, proof)) {
    done = putBack(package, oldBytes, proof.oldSize) && steps::removeName(undo);
  } else {
    // Changed since by someone else: a fresh package copied over it is not
    // to be rolled back.
    return fail(Cause::kUntrusted, undo);
  }
  if (!done) return failWithLast();
  steps::removeName(inPlaceTemp);
  return steps::syncFolder(folder) || fail(Cause::kIo);
}

// Copies the old package to the new file `name`, with its mode, on the
// disk; `hash` gets the hash of its bytes.
bool Replacement::State::copyOld(const std::string& name, std::uint64_t* hash) {
  File copy = steps::createNew(name);
  if (!copy.isOpen()) {
    return fail(steps::lastWasDenied() ? Cause::kFolderRefuses
                                       : steps::lastCause());
  }
  *hash = kHashStart;
  bool ok = true;
  for (std::uint64_t at = 0; ok && at < oldLook.size;) {
    std::size_t got = 0;
    ok = steps::readAt(old, at, buffer.data(), buffer.size(), &got) &&
         got > 0 && steps::writeAt(copy, at, buffer.data(), got);
    *hash = hashMore(*hash, buffer.data(), got);
    at += got;
  }
  if (ok && steps::giveModeOf(old, copy) && steps::syncFile(copy)) return true;
  const Cause why = steps::lastCause();
  steps::removeName(name);
  return fail(why);
}

// The first package with entries that the tool replaces stays as it was,
// for good, under its own name.
bool Replacement::State::keepOriginal() {
  Look found;
  if (steps::look(orig, &found) || !steps::lastWasMissing()) return true;
  std::uint64_t hash = 0;
  if (!copyOld(backupTemp, &hash)) return false;
  // A link, so that an original someone put there meanwhile is never
  // replaced.
  if (steps::linkName(backupTemp, orig)) {
    origMade = true;
  } else if (!(steps::look(orig, &found) && found.regular)) {
    // No hard links here: a rename, under the lock.
    origMade = steps::renameOver(backupTemp, orig);
    return origMade || failWithLast();
  }
  // Linked, or someone put an original there meanwhile, which stays.
  steps::removeName(backupTemp);
  return true;
}

Replacement::Commit Replacement::State::commitByRename(bool wantBackup) {
  if (!steps::syncFile(temporary) ||
      (oldExists && !steps::mayReplace(target))) {
    failWithLast();
    return Commit::kFailed;
  }
  if (wantBackup) {
    // A second name for the old file costs nothing; across file systems it
    // is a copy.
    Look linked;
    bool made = steps::linkName(target, backupTemp);
    if (made &&
        !(steps::look(backupTemp, &linked) && linked.id == oldLook.id)) {
      steps::removeName(backupTemp);
      fail(Cause::kChanged);
      return Commit::kFailed;
    }
    std::uint64_t hash = 0;
    if (!made && !copyOld(backupTemp, &hash)) return Commit::kFailed;
    if ((!made || folder != targetFolder) && !steps::syncFolder(folder)) {
      steps::removeName(backupTemp);
      fail(Cause::kIo);
      return Commit::kFailed;
    }
  }
  // Windows renames nothing over a file that is still open here.
  old.close();
  if (!steps::renameOver(temp, target)) {
    failWithLast();
    if (wantBackup) steps::removeName(backupTemp);
    return Commit::kFailed;
  }
  tempOurs = false;
  const bool synced = steps::syncFolder(targetFolder);
  // Only now the older backup goes; should this fail, the next merge
  // finds the old package under backupTemp and does it.
  if (wantBackup) steps::renameOver(backupTemp, backup);
  return synced ? Commit::kDone : Commit::kUnsynced;
}

Replacement::Commit Replacement::State::commitInPlace(bool wantBackup) {
  Proof proof;
  proof.guarded = oldLook.id;
  proof.oldSize = oldLook.size;
  proof.newSize = size;
  proof.backup = wantBackup;
  unsigned char record[kProofSize];
  // The old bytes and their proof on the disk, under their names, before a
  // byte of the package changes.
  if (!hashOf(temporary, size, &buffer, &proof.newHash) ||
      !copyOld(backupTemp, &proof.oldHash)) {
    if (cause == Cause::kNone) failWithLast();
    return Commit::kFailed;
  }
  encode(proof, record);
  if (!steps::writeAt(temporary, size, record, sizeof record) ||
      !steps::syncFile(temporary) || !steps::renameOver(backupTemp, undo)) {
    failWithLast();
    steps::removeName(backupTemp);
    return Commit::kFailed;
  }
  if (!steps::syncFolder(folder)) {
    steps::removeName(undo);
    fail(Cause::kIo);
    return Commit::kFailed;
  }
  bool written = true;
  for (std::uint64_t at = 0; written && at < size;) {
    std::size_t got = 0;
    const std::size_t want = static_cast<std::size_t>(
        std::min<std::uint64_t>(buffer.size(), size - at));
    written = steps::readAt(temporary, at, buffer.data(), want, &got) &&
              got == want && steps::writeAt(old, at, buffer.data(), got);
    at += got;
  }
  written = written && steps::truncateTo(old, size) && steps::syncFile(old);
  if (!written) {
    failWithLast();
    // The old bytes go back now; should that fail too, the next merge
    // puts them back from the undo file.
    if (putBack(old, steps::openNoFollow(undo, false), proof.oldSize)) {
      steps::removeName(undo);
      steps::removeName(temp);
      tempOurs = false;
    } else {
      tempOurs = false;  // the proof must stay with the undo file
    }
    return Commit::kFailed;
  }
  // The guard copy is the backup now; what a kill leaves from here on is
  // rolled forward by the next merge.
  const bool cleared =
      wantBackup ? steps::renameOver(undo, backup) : steps::removeName(undo);
  // Should the undo file stay, its proof stays with it.
  if (!cleared) tempOurs = false;
  return Commit::kDone;
}

Replacement::Replacement(const std::string& path) : state_(new State(path)) {}

Replacement::~Replacement() { abandon(); }

bool Replacement::State::lock() {
  Cause why = Cause::kNone;
  if (!steps::resolveLinks(path, &target, &why)) return fail(why);
  targetFolder = folderOf(target);
  steps::folderAccess(folder, &openToOthers, &sticky);
  // A link to one of the tool's own files would lose the package the user
  // had under the backup's name.
  if (isReplacementName(baseOf(target), "shaders.spk")) {
    return fail(Cause::kOwnName, target);
  }
  // A few tries, for when the merge before us removed the lock file
  // between our open and our lock.
  lockName = target + ".lock";
  for (int attempt = 0; !locked && attempt < 3; ++attempt) {
    if (!takeLock()) return false;
  }
  return locked || fail(Cause::kBusy);
}

// Opens the package being replaced, once, and checks that it is the file
// that was looked at.
bool Replacement::State::openOld(const Look& found, bool forWriting) {
  old = steps::openNoFollow(target, forWriting);
  if (!old.isOpen() || !steps::lookOpen(old, &oldLook)) return failWithLast();
  return oldLook.id == found.id || fail(Cause::kChanged);
}

bool Replacement::State::checkOld(Look* found) {
  if (!steps::look(target, found)) {
    // No package: a new one is made beside where it goes.
    return steps::lastWasMissing() || failWithLast();
  }
  if (!found->regular) return fail(Cause::kNotRegular);
  // Nor a second name of one of the tool's own files.
  for (const std::string* name : {&backup, &undo, &orig}) {
    Look other;
    if (steps::look(*name, &other) && other.id == found->id) {
      return fail(Cause::kOwnName, *name);
    }
  }
  // Renaming over a package its user may not write would go around its
  // protection.
  if (!steps::mayWrite(target)) return fail(Cause::kReadOnly);
  inPlace = found->links > 1 || targetLocked;
  oldExists = openOld(*found, inPlace);
  return oldExists;
}

bool Replacement::State::startNew(const Look& found) {
  if (!inPlace) {
    temp = target + ".tmp";
    temporary = steps::createNew(temp);
    tempOurs = temporary.isOpen();
    if (!tempOurs) return failWithLast();
    if (!oldExists) return true;
    switch (steps::keepMetadata(old, temporary)) {
      case steps::Kept::kYes:
        return true;
      case steps::Kept::kFailed:
        return failWithLast();
      case steps::Kept::kNo:
        break;
    }
    // Only the old file keeps what it has: it takes the new bytes.
    steps::removeName(temp);
    tempOurs = false;
    temporary.close();
    inPlace = true;
    if (!openOld(found, true)) return false;
  }
  // Merges that reach this file by another name meet here.
  if (!targetLocked) {
    switch (steps::lockExclusive(old)) {
      case steps::Locked::kYes:
        break;
      case steps::Locked::kBusy:
        return fail(Cause::kBusy);
      case steps::Locked::kFailed:
        return failWithLast();
    }
  }
  temp = inPlaceTemp;
  temporary = steps::createNew(temp);
  tempOurs = temporary.isOpen();
  return tempOurs || fail(steps::lastWasDenied() ? Cause::kFolderRefuses
                                                 : steps::lastCause());
}

bool Replacement::State::open() {
  Look found;
  const std::string beside = target + ".tmp";
  return locked && recoverUndo() && clearBackupTemp() && checkOld(&found) &&
         clearTemp(beside) &&
         (inPlaceTemp == beside || clearTemp(inPlaceTemp)) && startNew(found);
}

void Replacement::report() {
  cause_ = state_->cause;
  causeName_ = state_->causeName;
}

bool Replacement::lock() {
  const bool ok = state_->lock();
  report();
  return ok;
}

bool Replacement::open() {
  const bool ok = state_->open();
  report();
  return ok;
}

bool Replacement::write(const unsigned char* data, std::size_t size) {
  State& s = *state_;
  if (!s.temporary.isOpen() ||
      !steps::writeAt(s.temporary, s.size, data, size)) {
    s.failWithLast();
    report();
    return false;
  }
  s.size += size;
  s.sinceWriteback += size;
  // Every 8 MiB the disk is asked to start on what it was handed, so the
  // sync at the end finds little left to wait for.
  if (s.sinceWriteback >= 8 * 1024 * 1024) {
    steps::startWriteback(s.temporary);
    s.sinceWriteback = 0;
  }
  return true;
}

bool Replacement::writeAt(std::uint64_t offset, const unsigned char* data,
                          std::size_t size) {
  State& s = *state_;
  if (s.temporary.isOpen() && offset + size <= s.size &&
      steps::writeAt(s.temporary, offset, data, size)) {
    return true;
  }
  s.failWithLast();
  report();
  return false;
}

bool Replacement::readOld(unsigned char* data, std::size_t size,
                          std::size_t* got) {
  return state_->old.isOpen() && steps::readAt(state_->old, 0, data, size, got);
}

bool Replacement::existed() const { return state_->oldExists; }

bool Replacement::folderOpenToOthers() const {
  return state_->openToOthers && !state_->sticky;
}

Replacement::Commit Replacement::commit(bool replaceBackup) {
  State& s = *state_;
  Commit result = Commit::kFailed;
  Look found;
  const bool wantBackup =
      s.oldExists && (replaceBackup || (!steps::look(s.backup, &found) &&
                                        steps::lastWasMissing()));
  if (!s.oldExists || !replaceBackup || s.keepOriginal()) {
    result =
        s.inPlace ? s.commitInPlace(wantBackup) : s.commitByRename(wantBackup);
  }
  if (result != Commit::kFailed && s.tempOurs) {
    steps::removeName(s.temp);
    s.tempOurs = false;
  }
  // A merge that failed leaves everything as it was: an original it made
  // goes with it (the package it copied is still in place).
  if (result == Commit::kFailed && s.origMade) steps::removeName(s.orig);
  report();
  return result;
}

void Replacement::abandon() {
  State& s = *state_;
  if (s.tempOurs) steps::removeName(s.temp);
  s.tempOurs = false;
  s.temporary.close();
  s.old.close();
  // Removed while still held, so only ever our own; the next merge checks
  // that the file it locked still has the name.
  if (s.locked && !s.targetLocked) steps::removeName(s.lockName);
  s.lockFile.close();
  s.locked = false;
}

bool unfinishedRewrite(const std::string& path, std::string* recoveryName) {
  Look found;
  const std::string undo = path + ".undo";
  const std::string temp = path + ".tmp";
  if (!steps::look(undo, &found)) return false;
  std::vector<unsigned char> buffer(kBufferSize);
  Proof proof;
  File newBytes;
  File oldBytes;
  FileId package;
  if (!readProof(temp, &proof, &newBytes, &buffer) ||
      !openProvenUndo(undo, proof, &oldBytes, &buffer) ||
      !identifyPath(path, &package) || !(package == proof.guarded)) {
    return false;
  }
  *recoveryName = undo;
  return true;
}

}  // namespace platform
