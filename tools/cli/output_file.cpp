#include "cli/output_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <vector>

namespace tarncli {
namespace {

// The temporary file must live in the target's directory: rename() is only
// atomic within one file system, and the target's directory is the one
// place we know the user can write to.
std::string DirectoryOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string BaseOf(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

Status NotWritable(const std::string& path, const std::string& why) {
  return Status::Error(ExitCode::kNotWritable, "cannot write " + path + ": " + why);
}

// mkstemp on "<dir>/.<name>.tmp-XXXXXX"; -1 with errno on failure.
int MakeTemp(const std::string& path, std::string* tempPath) {
  std::string pattern = DirectoryOf(path) + "/." + BaseOf(path) + ".tmp-XXXXXX";
  std::vector<char> name(pattern.begin(), pattern.end());
  name.push_back('\0');
  const int fd = mkstemp(name.data());
  if (fd >= 0) *tempPath = name.data();
  return fd;
}

}  // namespace

Status CheckWritable(const std::string& path) {
  if (path.empty() || path.back() == '/') return NotWritable(path, "not a file name");
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
    return NotWritable(path, "it is a directory");
  }
  // Creating a file is the only reliable test: permissions, read-only
  // mounts, quotas and ACLs all answer through it (access() would not).
  std::string temp;
  const int fd = MakeTemp(path, &temp);
  if (fd < 0) return NotWritable(path, std::strerror(errno));
  close(fd);
  unlink(temp.c_str());
  return Status::Ok();
}

OutputFile::~OutputFile() { Discard(); }

Status OutputFile::Create(const std::string& path) {
  Discard();
  path_ = path;
  const int fd = MakeTemp(path, &tempPath_);
  if (fd < 0) return NotWritable(path, std::strerror(errno));
  // mkstemp makes the file private; outputs get the usual umask-governed mode.
  const mode_t mask = umask(0);
  umask(mask);
  fchmod(fd, 0666 & ~mask);
  stream_ = fdopen(fd, "wb");
  if (stream_ == nullptr) {
    close(fd);
    unlink(tempPath_.c_str());
    tempPath_.clear();
    return NotWritable(path, std::strerror(errno));
  }
  return Status::Ok();
}

Status OutputFile::Commit() {
  if (stream_ == nullptr) return NotWritable(path_, "no file open");
  // A full disk often shows only at flush or close; fsync before the rename
  // so that a crash cannot leave a renamed file whose data never arrived.
  errno = 0;
  bool ok = std::ferror(stream_) == 0 && std::fflush(stream_) == 0 && fsync(fileno(stream_)) == 0;
  ok = std::fclose(stream_) == 0 && ok;
  const int err = errno;
  stream_ = nullptr;
  if (!ok) {
    Discard();
    return Status::Error(ExitCode::kFailure,
                         "writing " + path_ + " failed: " + std::strerror(err != 0 ? err : EIO));
  }
  // rename() replaces an existing target in one step: readers see the old
  // file or the new one, never a mixture.
  if (rename(tempPath_.c_str(), path_.c_str()) != 0) {
    const std::string why = std::strerror(errno);
    Discard();
    return NotWritable(path_, why);
  }
  tempPath_.clear();
  return Status::Ok();
}

void OutputFile::Discard() {
  if (stream_ != nullptr) std::fclose(stream_);
  stream_ = nullptr;
  if (!tempPath_.empty()) unlink(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace tarncli
