// Runs a fuzz target over the files given, or over every file of the
// folders given: each seed and each finding stays a test of every build.
#include <dirent.h>
#include <sys/stat.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "fuzz_support.h"

namespace {

bool isFolder(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void collect(const std::string& path, std::vector<std::string>& files) {
  if (!isFolder(path)) {
    files.push_back(path);
    return;
  }
  DIR* d = opendir(path.c_str());
  while (struct dirent* e = d ? readdir(d) : 0)
    if (e->d_name[0] != '.') collect(path + "/" + e->d_name, files);
  if (d) closedir(d);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) collect(argv[i], files);
  if (files.empty()) {
    std::fprintf(stderr, "replay: no input among the paths given\n");
    return 2;
  }
  for (const std::string& file : files) {
    std::ifstream in(file.c_str(), std::ios::binary);
    if (!in) {
      std::fprintf(stderr, "replay: cannot read %s\n", file.c_str());
      return 2;
    }
    std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(data.data()), data.size());
  }
  std::printf("replayed %zu input(s)\n", files.size());
  return 0;
}
