// Makes readdir fail at once on one folder while it lives, as a disk error or
// an inode number too large for the caller would. A test program that uses it
// links unreadable.cpp, whose readdir comes before the C library's.
#ifndef KT_TEST_UNREADABLE_H
#define KT_TEST_UNREADABLE_H

#include <string>

namespace kt {
namespace test {

class UnreadableFolder {
public:
  UnreadableFolder(const std::string& path, int error);  // the folder must exist
  ~UnreadableFolder();
};

}  // namespace test
}  // namespace kt

#endif
