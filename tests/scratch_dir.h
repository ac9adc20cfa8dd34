// scratch_dir.h: the one scratch folder of the unit and end-to-end tests.
#ifndef ZERVGEN_TESTS_SCRATCH_DIR_H_
#define ZERVGEN_TESTS_SCRATCH_DIR_H_

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <stdexcept>
#include <string>
#include <vector>

namespace zervgen_test {

// A fresh folder under /tmp, removed with everything in it (subfolders,
// read-only ones included) on destruction.
class ScratchDir {
 public:
  ScratchDir() {
    char templ[] = "/tmp/zervgen_test.XXXXXX";
    if (mkdtemp(templ) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = templ;
  }
  ~ScratchDir() { RemoveTree(path_); }
  ScratchDir(const ScratchDir&) = delete;
  ScratchDir& operator=(const ScratchDir&) = delete;

  const char* path() const { return path_.c_str(); }
  std::string File(const std::string& name) const { return path_ + "/" + name; }
  // Names of the entries in the folder, sorted.
  std::vector<std::string> List() const { return ListOf(path_); }

  static std::vector<std::string> ListOf(const std::string& path) {
    std::vector<std::string> names;
    DIR* d = opendir(path.c_str());
    if (d == nullptr) return names;
    while (dirent* e = readdir(d)) {
      std::string name = e->d_name;
      if (name != "." && name != "..") names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
  }

  static void RemoveTree(const std::string& path) {
    DIR* d = opendir(path.c_str());
    if (d == nullptr) {
      ::unlink(path.c_str());
      return;
    }
    while (dirent* e = readdir(d)) {
      const std::string name = e->d_name;
      if (name == "." || name == "..") continue;
      const std::string child = path + "/" + name;
      struct stat st {};
      if (::lstat(child.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        ::chmod(child.c_str(), 0700);
        RemoveTree(child);
      } else {
        ::unlink(child.c_str());
      }
    }
    closedir(d);
    ::rmdir(path.c_str());
  }

 private:
  std::string path_;
};

}  // namespace zervgen_test

#endif  // ZERVGEN_TESTS_SCRATCH_DIR_H_
