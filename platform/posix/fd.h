// What the POSIX sources share: a File's descriptor, and opening a file
// that is already there without letting it block or become our terminal.
#ifndef QUILLMERE_PLATFORM_POSIX_FD_H_
#define QUILLMERE_PLATFORM_POSIX_FD_H_

#include <sys/stat.h>

#include <string>

#include "platform/file.h"

namespace platform {
namespace posix {

inline int fdOf(const File& file) { return static_cast<int>(file.handle()); }
File openExisting(const std::string& path, int flags);
FileId idOf(const struct stat& info);

// The symbolic link at `path`, looked at through one descriptor of the link
// itself, so the owner checked and the `target` read are one link's even if
// another user swaps the name meanwhile. Only the user's or root's is
// followed.
enum class Link { kOurs, kOthers, kFailed };
Link followLink(const std::string& path, std::string* target);

}  // namespace posix
}  // namespace platform

#endif  // QUILLMERE_PLATFORM_POSIX_FD_H_
