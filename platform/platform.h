// What the tool needs from the operating system beyond the C++ library:
// files it opens itself, the directory listing, the replacement of the
// package and the console, one header each. Paths are narrow byte strings
// everywhere above this layer; the Windows sources alone turn them into
// what the W functions take.
#ifndef QUILLMERE_PLATFORM_PLATFORM_H_
#define QUILLMERE_PLATFORM_PLATFORM_H_

#include "platform/console.h"
#include "platform/file.h"
#include "platform/listing.h"
#include "platform/replacement.h"
#include "platform/text.h"
#include "platform/win32_path.h"

#endif  // QUILLMERE_PLATFORM_PLATFORM_H_
