// Which names may become work files, and how names are shown in messages.
//
// A name from a package or a listing becomes a path only once isSafeName()
// has passed it. Extraction and merge ask the same question, with the same
// answer on every system, so a package extracts to the same files wherever
// it is opened and the merge finds them again.
#ifndef QUILLMERE_PACKAGE_WORK_NAME_H_
#define QUILLMERE_PACKAGE_WORK_NAME_H_

#include <cstddef>
#include <string>

// The name an entry goes by: the low byte of each UTF-16 unit of the name in
// `header` (the entry header bytes), up to the first zero, read as a name
// by platform::textOfLowBytes (in the ANSI code page on Windows).
std::string workingName(const unsigned char* header, std::size_t headerSize);

// True when the name and the pre file name the stem rule makes of it both
// name a file of their own inside the work directory, the same file on
// Windows and POSIX. Judged on platform::ruleSpelling (the ANSI bytes on
// Windows, where a character the code page lacks is one harmless byte): at
// least five bytes; no control byte, DEL or any of
// / \ : * ? " < > |; no trailing dot or space (Windows drops them and opens
// another file); and no Windows device name before the first dot (CON.hlsl
// is the console, COM1.hlsl a serial port).
bool isSafeName(const std::string& name);

// Whether the name ends in .hlsl, in any ASCII case.
bool endsInShaderSuffix(const std::string& name);

#endif  // QUILLMERE_PACKAGE_WORK_NAME_H_
