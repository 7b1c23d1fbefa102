#include "unreadable.h"

#include <dirent.h>
#include <dlfcn.h>
#include <sys/stat.h>

#include <atomic>
#include <cerrno>
#include <stdexcept>

namespace {

// The failing folder's device and inode, and its error; 0 when there is none.
std::atomic<dev_t> gDevice(0);
std::atomic<ino_t> gInode(0);
std::atomic<int> gError(0);

// The C library's name for the readdir that this build's header declares.
#if defined(_FILE_OFFSET_BITS) && _FILE_OFFSET_BITS == 64
const char* const kReaddir = "readdir64";
#else
const char* const kReaddir = "readdir";
#endif

}  // namespace

extern "C" struct dirent* readdir(DIR* dir) {
  typedef struct dirent* (*Readdir)(DIR*);
  static const Readdir real = reinterpret_cast<Readdir>(dlsym(RTLD_NEXT, kReaddir));
  const int error = gError;
  const int saved = errno;  // callers tell the end from an error by errno
  struct stat st;
  if (error != 0 && fstat(dirfd(dir), &st) == 0 && st.st_dev == gDevice && st.st_ino == gInode) {
    errno = error;
    return 0;
  }
  errno = saved;
  return real(dir);
}

namespace kt {
namespace test {

UnreadableFolder::UnreadableFolder(const std::string& path, int error) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) throw std::runtime_error("no folder " + path);
  gDevice = st.st_dev;
  gInode = st.st_ino;
  gError = error;
}

UnreadableFolder::~UnreadableFolder() { gError = 0; }

}  // namespace test
}  // namespace kt
