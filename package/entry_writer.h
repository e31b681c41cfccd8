// Writes one entry of the package as its two work files: the shader file
// with the content, and the pre file with the entry header bytes.
#ifndef QUILLMERE_PACKAGE_ENTRY_WRITER_H_
#define QUILLMERE_PACKAGE_ENTRY_WRITER_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "package/package_reader.h"
#include "package/written_files.h"

// Writes the entry `name` (a name that passed isSafeName()) into `workPath`:
// the pre file gets the `headerSize` bytes of `header`, the shader file the
// entry's content, taken from `reader`. Prints what happened. False when the
// package ended inside the content; nothing of the entry is left then.
bool writeEntry(const std::string& workPath, const std::string& name,
                const unsigned char* header, std::size_t headerSize,
                std::int32_t contentSize, PackageReader* reader,
                WrittenFiles* written);

#endif  // QUILLMERE_PACKAGE_ENTRY_WRITER_H_
