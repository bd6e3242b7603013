#include "engine/platform/temporary_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <vector>

namespace dadoveri {

TemporaryFile::~TemporaryFile() { Close(); }

bool TemporaryFile::fail() {
  last_error_ = errno;
  return false;
}

std::string TemporaryFile::Folder() {
  const char* dir = std::getenv("TMPDIR");
  std::string folder = dir && *dir ? dir : "/tmp";
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

bool TemporaryFile::Create() {
  Close();
  std::string pattern = Folder() + "/DODXXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  // mkstemp creates the file exclusively (O_EXCL), readable and writable by its owner only.
  const int fd = ::mkostemp(name.data(), O_CLOEXEC);
  if (fd < 0) return fail();
  name_ = name.data();
  if (::unlink(name_.c_str()) != 0) {
    const int error = errno;
    ::close(fd);
    last_error_ = error;
    return false;
  }
  fd_ = fd;
  return true;
}

void TemporaryFile::Close() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
}

int64_t TemporaryFile::Read(void* buffer, size_t count, int64_t position) {
  auto* out = static_cast<char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pread(fd_, out + done, count - done, position + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      fail();
      return -1;
    }
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  return static_cast<int64_t>(done);
}

bool TemporaryFile::Write(const void* buffer, size_t count, int64_t position) {
  const auto* in = static_cast<const char*>(buffer);
  size_t done = 0;
  while (done < count) {
    const ssize_t n = ::pwrite(fd_, in + done, count - done, position + static_cast<int64_t>(done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail();
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

bool TemporaryFile::GetSize(int64_t* size) {
  struct stat st {};
  if (::fstat(fd_, &st) != 0) return fail();
  *size = st.st_size;
  return true;
}

bool TemporaryFile::SetSize(int64_t size) {
  if (::ftruncate(fd_, size) != 0) return fail();
  return true;
}

}  // namespace dadoveri
