#include "engine/platform/temp_file.h"

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace dadoveri {

std::string TemporaryFolder() {
  const char* folder = std::getenv("TMPDIR");
  if (folder && *folder) return folder;
  return "/tmp";
}

TemporaryFile::~TemporaryFile() { Close(); }

bool TemporaryFile::fail() {
  last_error_ = errno;
  return false;
}

bool TemporaryFile::Create() {
  Close();
  std::string pattern = TemporaryFolder();
  if (pattern.back() != '/') pattern += '/';
  pattern += "DODXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return fail();
  name_ = name.data();
  // Gone from the folder at once: the data lives only as long as the descriptor.
  if (unlink(name_.c_str()) != 0) {
    fail();
    ::close(fd);
    return false;
  }
  fd_ = fd;
  return true;
}

void TemporaryFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

bool TemporaryFile::Read(void* buffer, int64_t count, int64_t position) {
  auto* p = static_cast<char*>(buffer);
  while (count > 0) {
    const ssize_t n = pread(fd_, p, static_cast<size_t>(count), position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    if (n == 0) {
      last_error_ = 0;
      return false;
    }
    p += n;
    count -= n;
    position += n;
  }
  return true;
}

bool TemporaryFile::Write(const void* buffer, int64_t count, int64_t position) {
  const auto* p = static_cast<const char*>(buffer);
  while (count > 0) {
    const ssize_t n = pwrite(fd_, p, static_cast<size_t>(count), position);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    p += n;
    count -= n;
    position += n;
  }
  return true;
}

bool TemporaryFile::GetSize(int64_t* size) {
  struct stat st;
  if (fstat(fd_, &st) != 0) return fail();
  *size = st.st_size;
  return true;
}

bool TemporaryFile::SetSize(int64_t size) {
  if (ftruncate(fd_, size) != 0) return fail();
  return true;
}

}  // namespace dadoveri
