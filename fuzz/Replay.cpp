// The main() of a fuzz target built without libFuzzer: runs every file of
// the folders (or the files) named on the command line through the entry
// point once, so the checked-in corpora are replayed by every test run.
// Fails when nothing was found to run.
#include <dirent.h>
#include <stdio.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

void Collect(const std::string& path, std::vector<std::string>* pFiles) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) {
    ::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
    return;
  }
  if (!S_ISDIR(st.st_mode)) {
    pFiles->push_back(path);
    return;
  }
  DIR* dir = ::opendir(path.c_str());
  if (dir == nullptr) return;
  std::vector<std::string> names;
  while (const dirent* e = ::readdir(dir)) {
    const std::string name = e->d_name;
    if (name == "." || name == ".." || name[0] == '.') continue;
    names.push_back(name);
  }
  ::closedir(dir);
  std::sort(names.begin(), names.end());  // the same order on every run
  for (const auto& n : names) Collect(path + "/" + n, pFiles);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> files;
  for (int i = 1; i < argc; ++i) Collect(argv[i], &files);
  for (const auto& f : files) {
    std::ifstream in(f, std::ios::binary);
    const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // A copy of exactly the file's size, so that ASan sees any read beyond it.
    std::vector<uint8_t> data(bytes.begin(), bytes.end());
    ::fprintf(stderr, "replay: %s (%zu bytes)\n", f.c_str(), data.size());
    LLVMFuzzerTestOneInput(data.empty() ? nullptr : data.data(), data.size());
  }
  ::printf("replay: %zu inputs run\n", files.size());
  return files.empty() ? 1 : 0;
}
