// Crash-safe small files, listings and the cross-process lock.
#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "platform/Os.h"

namespace saferoom {

namespace {

// A lock held by another process is looked at again this often.
constexpr int kLockRetryMs = 10;

int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd;
  do {
    fd = open(path, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

bool WriteAll(int fd, const char* bytes, size_t len) {
  while (len > 0) {
    const ssize_t n = write(fd, bytes, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    bytes += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

bool SyncDirectory(const std::string& dir) {
  UniqueFd fd(OpenRetrying(dir.c_str(), O_RDONLY | O_DIRECTORY));
  return fd.Valid() && fsync(fd.Get()) == 0;
}

}  // namespace

bool WriteFileAtomic(const std::string& dir, const std::string& name, const std::string& bytes) {
  std::string temp = dir + "/.tmp-XXXXXX";
  UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
  if (!fd.Valid()) return false;
  // The temporary file goes whatever fails, errno kept for the caller.
  const bool written = fchmod(fd.Get(), 0600) == 0 &&
                       WriteAll(fd.Get(), bytes.data(), bytes.size()) && fsync(fd.Get()) == 0;
  const int err = errno;
  fd.Reset();
  if (!written || rename(temp.c_str(), (dir + "/" + name).c_str()) != 0) {
    const int failed = written ? errno : err;
    unlink(temp.c_str());
    errno = failed;
    return false;
  }
  return SyncDirectory(dir);
}

bool ReadSmallFile(const std::string& path, size_t maxBytes, std::string& out) {
  out.clear();
  // O_NOFOLLOW|O_NONBLOCK: neither a link elsewhere nor a FIFO holds it up.
  UniqueFd fd(OpenRetrying(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK));
  if (!fd.Valid()) return false;
  struct stat st {};
  if (fstat(fd.Get(), &st) != 0) return false;
  if (!S_ISREG(st.st_mode)) {
    errno = EINVAL;
    return false;
  }
  // One byte more than allowed tells a file that grew since fstat.
  out.resize(std::min(static_cast<size_t>(st.st_size), maxBytes) + 1);
  size_t got = 0;
  while (got < out.size()) {
    const ssize_t n = read(fd.Get(), &out[got], out.size() - got);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return false;
    if (n == 0) break;
    got += static_cast<size_t>(n);
  }
  if (got > maxBytes) {
    out.clear();
    errno = EFBIG;
    return false;
  }
  out.resize(got);
  return true;
}

bool RemoveFileDurably(const std::string& dir, const std::string& name) {
  if (unlink((dir + "/" + name).c_str()) != 0) return false;
  return SyncDirectory(dir);
}

bool PathExists(const std::string& path) {
  struct stat st {};
  return lstat(path.c_str(), &st) == 0;
}

bool MakeDirectory(const std::string& path, unsigned mode) {
  if (mkdir(path.c_str(), static_cast<mode_t>(mode)) == 0) return true;
  struct stat st {};
  if (errno == EEXIST && stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return true;
  if (errno != EEXIST) return false;
  errno = ENOTDIR;
  return false;
}

bool ListDirectory(const std::string& dir, std::vector<std::string>& names) {
  names.clear();
  DIR* d = opendir(dir.c_str());
  if (d == nullptr) return false;
  errno = 0;
  while (const dirent* entry = readdir(d)) {
    const std::string name = entry->d_name;
    if (name != "." && name != "..") names.push_back(name);
  }
  const int err = errno;
  closedir(d);
  errno = err;
  return err == 0;
}

bool LockFile(const std::string& path, Deadline deadline, UniqueFd& held) {
  held.Reset(OpenRetrying(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW, 0600));
  if (!held.Valid()) return false;
  for (;;) {
    if (flock(held.Get(), LOCK_EX | LOCK_NB) == 0) return true;
    if (errno == EINTR) continue;
    if (errno != EWOULDBLOCK || deadline.Passed()) {
      const int err = errno == EWOULDBLOCK ? ETIMEDOUT : errno;
      held.Reset();
      errno = err;
      return false;
    }
    SleepMs(kLockRetryMs);
  }
}

}  // namespace saferoom
