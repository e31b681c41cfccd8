// The directory listing the merge packs from.
#ifndef QUILLMERE_PLATFORM_LISTING_H_
#define QUILLMERE_PLATFORM_LISTING_H_

#include <deque>
#include <string>

namespace platform {

// Appends the name of every entry of the directory that `pattern` (the
// directory followed by "/*") searches, sub-directories included, for which
// `keep` is true; "." and ".." may be among them. Returns false, leaving
// `names` as it was, when the directory cannot be read. Names `keep` turns
// down are never stored, so a large directory costs memory only for the
// names the caller wants.
//
// POSIX gives the names in the order NTFS keeps them: bytes compared with
// ASCII a-z folded to A-Z, names equal under that fold ordered by their
// plain bytes, so a package rebuilt from a work directory has the same entry
// order wherever it is merged. Windows gives each name exactly, in UTF-8; a
// name UTF-16 itself cannot spell (half a surrogate pair) comes back holding a
// '?', which the name rule refuses.
bool listDirectory(const std::string& pattern, bool (*keep)(const std::string&),
                   std::deque<std::string>* names);

}  // namespace platform

#endif  // QUILLMERE_PLATFORM_LISTING_H_
