#include "fio.h"

#include <filesystem>
#include <system_error>

bool FIO_FILE_SYSTEM::exists(const std::string& path) {
  if (path.empty()) return false;
  std::error_code ec;
  return std::filesystem::exists(path, ec);
}

int FIO_FILE_SYSTEM::mkdir(const std::string& path) {
  if (path.empty()) return -1;
  std::error_code ec;
  std::filesystem::create_directories(path, ec);
  if (std::filesystem::is_directory(path, ec)) return 0;
  return -1;
}

FILE* FIO_FILE_SYSTEM::fopen(const char* path, const char* mode) {
  if (!path || !mode) return nullptr;
  return std::fopen(path, mode);
}

std::string FIO_PATH::full_directory() const {
  size_t slash = m_path.rfind('/');
  if (slash == std::string::npos) return "./";
  return m_path.substr(0, slash + 1);
}
