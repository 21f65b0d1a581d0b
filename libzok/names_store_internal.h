// The names file on disk: where it lives, reading it, and replacing it.
#pragma once

#include <functional>
#include <string>

#include "names_format_internal.h"

namespace zok::names {

// ZOK_STATE_DIR when set and not empty, else /var/lib/zok. Read on every
// call, so a process can point the library elsewhere at any time.
std::string state_directory();

// The current names; a missing file or directory means no names. Readers
// take no lock: the file is only ever replaced whole by a rename, so an
// open sees either the old or the new file, never a half-written one.
// 0 or a positive errno.
int read_names(const std::string &directory, NameTable &names);

// Applies `edit` to the current names and replaces the file with the result,
// all under an exclusive lock, so that concurrent updates from any number of
// processes or threads are applied one after the other and none is lost.
// Creates the directory when it is missing. 0 or a positive errno; on failure
// the old file stays as it was.
int update_names(const std::string &directory, const std::function<void(NameTable &)> &edit);

}  // namespace zok::names
