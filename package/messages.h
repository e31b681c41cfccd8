// Every line the tool prints, one function each. The texts are the tool's
// own and users and their scripts know them, so they change only here; every
// name or path in them goes through printable() here and nowhere else.
#ifndef QUILLMERE_PACKAGE_MESSAGES_H_
#define QUILLMERE_PACKAGE_MESSAGES_H_

#include <cstddef>
#include <cstdint>
#include <string>

#include "platform/replacement.h"

namespace message {

// The command line.
void usage();
void completed(bool extraction);
void unknownMode(const std::string& word);

// Extraction.
void packageNotOpened(const std::string& packagePath);
void found(const std::string& name);
void written(std::int32_t size, const std::string& path);
void notWritten(const std::string& path);
void unsafeName(const std::string& nameOrPath);
void sameAsPackage(const std::string& path);
void sameAsEarlierEntry(const std::string& path);
void toolFile(const std::string& path);
void packageEndsEarly(const std::string& packagePath);
void nameTooLong(const std::string& packagePath);
void noWorkFolder(const std::string& workPath);

// Listing and merge.
void foundFiles(std::size_t count);
void packageInWork(const std::string& path);
void oddCount();
void listingFailed();
void noOwnPreFile(const std::string& firstPath, std::size_t more);
void oddShaders();
void packageRefused(const std::string& packagePath);
void packageNotWritten(const std::string& packagePath);
void packageNotSynced(const std::string& packagePath);
// The line after a failure of the package: why, and what to do.
void cause(platform::Replacement::Cause why, const std::string& name);
void sharedFolder(const std::string& folder);
void backupNotKept(const std::string& packagePath);
void backupHeldBy(const std::string& name);
void newPackage(const std::string& packagePath);
// Extraction's and the merge's: another user's link at a work file's name.
void othersLink(const std::string& path);
void notOpened(const std::string& path);  // the size probe's, no colon
void tooLarge(const std::string& path);
void preNotOpened(const std::string& path);  // the merge's own, with colon
void preTooLarge(const std::string& path);
void preTooSmall(const std::string& path);
void notShaderOfPre(const std::string& path);
void notRead(const std::string& path);
void merged(const std::string& path);
void leftOut(std::uint32_t lost, std::uint32_t total, const std::string& name);

}  // namespace message

// `text` with every byte below 32 and byte 127 written as \xNN, so a name
// cannot forge a line or steer the terminal. Other bytes stay as they are.
std::string printable(const std::string& text);

#endif  // QUILLMERE_PACKAGE_MESSAGES_H_
