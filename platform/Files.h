// Small files that must survive a crash whole or not at all: atomic writes,
// bounded reads, directory listings and an advisory lock shared with other
// processes. Used by the server's membership state (server/StateDir).
// The failure convention is platform/Net.h's: the result says whether it
// worked, errno is as the failing call left it, EINTR is retried inside.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "platform/Deadline.h"
#include "platform/Net.h"

namespace saferoom {

// Writes `bytes` as DIR/NAME, mode 0600, so that a reader, or the file after
// a crash at any moment, is the old file or the new one, never a part: a
// temporary file in DIR (".tmp-" and random letters), written, fsynced,
// renamed over NAME, then DIR fsynced. A failure leaves no temporary file.
bool WriteFileAtomic(const std::string& dir, const std::string& name, const std::string& bytes);

// Reads all of `path` into `out` when it is a regular file of at most
// `maxBytes`; false otherwise (errno EFBIG for a bigger one, EINVAL for one
// that is no regular file).
bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& out);

// Removes DIR/NAME and fsyncs DIR, so the removal outlives a crash. False
// when it was not there (ENOENT) or could not be removed.
bool RemoveFileDurably(const std::string& dir, const std::string& name);

// True when `path` names something (any kind of file).
bool PathExists(const std::string& path);

// Makes the directory `path` with `mode` unless it is one already.
bool MakeDirectory(const std::string& path, unsigned mode);

// The names in directory `dir`, in no order, without "." and "..".
bool ListDirectory(const std::string& dir, std::vector<std::string>& names);

// Takes the exclusive flock(2) on `path` (made, mode 0600, when missing)
// within `deadline`, holding it for as long as `held` stays open. Every
// process that changes the files it guards takes it, the scripts too
// (flock(1)). False on failure or when another holder kept it (ETIMEDOUT).
bool LockFile(const std::string& path, Deadline deadline, UniqueFd& held);

}  // namespace saferoom
