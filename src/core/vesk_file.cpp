#include "core/vesk_file.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string_view>

namespace vesk {

uint64_t checkedProduct(std::initializer_list<uint64_t> factors, const std::string& what) {
  uint64_t p = 1;
  for (const uint64_t f : factors)
    if (__builtin_mul_overflow(p, f, &p) || p > static_cast<uint64_t>(INT64_MAX))
      throw std::runtime_error(what + " does not fit a 64-bit size \xE2\x80\x94 a broken or hostile number, refusing");
  return p;
}

std::string readWholeFile(const std::string& path) {
  struct Closer {
    void operator()(std::FILE* f) const noexcept { std::fclose(f); }
  };
  std::unique_ptr<std::FILE, Closer> f(std::fopen(path.c_str(), "rb"));
  if (!f) throw std::runtime_error("cannot open " + path);
  if (std::fseek(f.get(), 0, SEEK_END) != 0) throw std::runtime_error("cannot open " + path);
  const long size = std::ftell(f.get());
  if (size < 0 || std::fseek(f.get(), 0, SEEK_SET) != 0) throw std::runtime_error("cannot open " + path);
  std::string text(static_cast<size_t>(size), '\0');
  if (std::fread(text.data(), 1, text.size(), f.get()) != text.size()) throw std::runtime_error("short read " + path);
  return text;
}

std::string rstripSlash(std::string s) {
  while (s.size() > 1 && s.back() == '/') s.pop_back();
  return s;
}

std::string baseName(const std::string& path) {
  const std::string s = rstripSlash(path);
  const size_t k = s.rfind('/');
  return k == std::string::npos ? s : s.substr(k + 1);
}

std::string dirName(const std::string& path) {
  const size_t k = path.rfind('/');
  if (k == std::string::npos) return ".";
  if (k == 0) return "/";
  return path.substr(0, k);
}

bool isDirectory(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool fileExists(const std::string& path) {
  struct stat st {};
  return ::stat(path.c_str(), &st) == 0;
}

bool canOpenForReading(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  ::close(fd);
  return true;
}

bool mkdirs(const std::string& path) {
  if (path.empty() || path == "/" || path == ".") return true;
  if (isDirectory(path)) return true;
  const std::string parent = dirName(rstripSlash(path));
  if (parent != path && !mkdirs(parent)) return false;
  if (::mkdir(path.c_str(), 0755) == 0) return true;
  return errno == EEXIST && isDirectory(path);  // another process may have made it first
}

void rmTree(const std::string& path) {
  struct stat st {};
  if (::lstat(path.c_str(), &st) != 0) return;
  if (S_ISDIR(st.st_mode)) {
    if (DIR* d = ::opendir(path.c_str())) {
      while (const dirent* ent = ::readdir(d)) {
        const std::string_view n = ent->d_name;
        if (n == "." || n == "..") continue;
        rmTree(path + "/" + std::string(n));
      }
      ::closedir(d);
    }
    ::rmdir(path.c_str());
  } else {
    ::unlink(path.c_str());
  }
}


MappedFile::MappedFile(const std::string& path, size_t expected) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) throw std::runtime_error("cannot open " + path);
  struct stat st{};
  if (::fstat(fd, &st) != 0 || st.st_size < 0 || static_cast<uint64_t>(st.st_size) != expected) {
    ::close(fd);
    throw std::runtime_error("size mismatch " + path);
  }
  void* base = expected ? ::mmap(nullptr, expected, PROT_READ, MAP_PRIVATE, fd, 0) : MAP_FAILED;
  ::close(fd);
  if (base == MAP_FAILED) throw std::runtime_error("mmap failed " + path);
  base_ = base;
  data_ = static_cast<const uint8_t*>(base);
  len_ = expected;
}

MappedFile::~MappedFile() { release(); }

MappedFile::MappedFile(MappedFile&& o) noexcept : data_(o.data_), base_(o.base_), len_(o.len_) {
  o.data_ = nullptr;
  o.base_ = nullptr;
  o.len_ = 0;
}

MappedFile& MappedFile::operator=(MappedFile&& o) noexcept {
  if (this != &o) {
    release();
    data_ = o.data_;
    base_ = o.base_;
    len_ = o.len_;
    o.data_ = nullptr;
    o.base_ = nullptr;
    o.len_ = 0;
  }
  return *this;
}

void MappedFile::release() {
  if (base_) ::munmap(base_, len_);
  base_ = nullptr;
  data_ = nullptr;
  len_ = 0;
}

}  // namespace vesk
