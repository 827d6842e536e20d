// File system stand-in.
#pragma once

#include <cstdio>
#include <string>

struct FIO_FILE_SYSTEM {
  static bool exists(const std::string& path);
  // Creates path and its parents. 0 on success or when it already is a
  // directory, non-zero otherwise.
  static int mkdir(const std::string& path);
  // Opens a file; null on failure.
  static FILE* fopen(const char* path, const char* mode);
};

class FIO_PATH {
 public:
  explicit FIO_PATH(std::string path) : m_path(std::move(path)) {}
  // The directory part with a trailing '/'; "./" for a bare file name.
  std::string full_directory() const;

 private:
  std::string m_path;
};
