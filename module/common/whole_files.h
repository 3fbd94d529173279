// Files that appear whole or not at all: written under a hidden temporary name beside their
// target and renamed when complete, an existing target replaced only when asked.
#ifndef NEROVA_MODULE_COMMON_WHOLE_FILES_H_
#define NEROVA_MODULE_COMMON_WHOLE_FILES_H_

#include <cstddef>
#include <filesystem>
#include <string>

#include "nerova/module_common_export.h"

namespace nerova {
namespace module {

// Beside the target, so that the rename stays on one file system; hidden, and ending with the
// target's extension, by which encoders and containers are chosen.
NEROVA_MODULE_COMMON_EXPORT std::filesystem::path TempPathFor(const std::filesystem::path& target);

// "" when target names nothing or a regular file (through any symbolic link); else why it is
// not one. A device, pipe, socket or folder is never replaced by a file, even when asked to.
NEROVA_MODULE_COMMON_EXPORT std::string NotRegularFile(const std::filesystem::path& target);

// Moves the complete temp onto target (refused, as above, when target is not a regular
// file); "" or the reason (the temporary file is then removed). Without overwrite the rename
// itself refuses an existing target, so a file that appeared meanwhile is kept too.
NEROVA_MODULE_COMMON_EXPORT std::string CommitFile(const std::filesystem::path& temp,
                                                   const std::filesystem::path& target,
                                                   bool overwrite);

// Writes size bytes as target's content, whole or not at all (its folder made); "" or the
// reason.
NEROVA_MODULE_COMMON_EXPORT std::string WriteWholeFile(const std::filesystem::path& target,
                                                       const void* bytes, size_t size,
                                                       bool overwrite);

}  // namespace module
}  // namespace nerova

#endif  // NEROVA_MODULE_COMMON_WHOLE_FILES_H_
