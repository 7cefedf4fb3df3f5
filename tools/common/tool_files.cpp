#include "common/tool_files.h"

#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <mutex>

#include "common/output_rule.h"

namespace tamsorel {

namespace {

// Owns one file descriptor.
class Fd {
 public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { Close(); }
  Fd(const Fd&) = delete;
  Fd& operator=(const Fd&) = delete;
  int get() const { return fd_; }
  // Closes now and reports whether the close succeeded.
  bool Close() {
    if (fd_ < 0) return true;
    const int fd = fd_;
    fd_ = -1;
    return ::close(fd) == 0;
  }

 private:
  int fd_;
};

std::string KindProblem(mode_t mode) {
  return S_ISDIR(mode) ? "is a directory" : "not a regular file";
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return ".";
  if (slash == 0) return "/";
  return path.substr(0, slash);
}

std::string NameOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The file that writing `path` writes: `path` itself, or the end of the
// chain of symbolic links that starts there (which need not exist yet).
// Returns 0 or the errno of the failure.
int ResolveLinks(const std::string& path, std::string* target, bool* exists, struct stat* info) {
  std::string current = path;
  for (int hops = 0;; ++hops) {
    if (::lstat(current.c_str(), info) != 0) {
      if (errno != ENOENT) return errno;
      *exists = false;
      *target = current;
      return 0;
    }
    if (!S_ISLNK(info->st_mode)) {
      *exists = true;
      *target = current;
      return 0;
    }
    if (hops == 40) return ELOOP;
    char link[PATH_MAX];
    const ssize_t n = ::readlink(current.c_str(), link, sizeof link);
    if (n < 0) return errno;
    if (static_cast<std::size_t>(n) == sizeof link) return ENAMETOOLONG;
    const std::string next(link, static_cast<std::size_t>(n));
    current = next[0] == '/' ? next : FolderOf(current) + "/" + next;
  }
}

// The temporary file that a signal must not leave behind.  Set and cleared
// with the signals blocked, so the handler sees either no file or one that
// exists; one writer at a time.
std::mutex writerLock;
// Lock-free, so the signal handler may read it.
std::atomic<const char*> pendingTemp{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free, "read from a signal handler");

constexpr int kCleanupSignals[] = {SIGINT, SIGTERM, SIGHUP};

void RemoveTempAndDie(int signal) {
  const char* temp = pendingTemp.load();
  if (temp != nullptr) ::unlink(temp);
  struct sigaction fallback = {};
  fallback.sa_handler = SIG_DFL;
  ::sigaction(signal, &fallback, nullptr);
  ::raise(signal);  // delivered with the default action once this returns
}

// Removes the temporary file when a signal whose action is the default
// (ending the process) arrives; a signal the program ignores or handles
// itself is left to the program.  Restores the actions when it goes.
class SignalCleanup {
 public:
  SignalCleanup() {
    for (std::size_t i = 0; i < kCount; ++i) {
      installed_[i] = false;
      if (::sigaction(kCleanupSignals[i], nullptr, &previous_[i]) != 0) continue;
      if ((previous_[i].sa_flags & SA_SIGINFO) || previous_[i].sa_handler != SIG_DFL) continue;
      struct sigaction action = {};
      action.sa_handler = RemoveTempAndDie;
      sigfillset(&action.sa_mask);
      installed_[i] = ::sigaction(kCleanupSignals[i], &action, nullptr) == 0;
    }
  }
  ~SignalCleanup() {
    for (std::size_t i = 0; i < kCount; ++i)
      if (installed_[i]) ::sigaction(kCleanupSignals[i], &previous_[i], nullptr);
  }
  SignalCleanup(const SignalCleanup&) = delete;
  SignalCleanup& operator=(const SignalCleanup&) = delete;

 private:
  static constexpr std::size_t kCount = sizeof kCleanupSignals / sizeof kCleanupSignals[0];
  struct sigaction previous_[kCount];
  bool installed_[kCount];
};

// Blocks the cleanup signals in this thread while it lives.
class SignalsBlocked {
 public:
  SignalsBlocked() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kCleanupSignals) sigaddset(&set, signal);
    pthread_sigmask(SIG_BLOCK, &set, &previous_);
  }
  ~SignalsBlocked() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }
  SignalsBlocked(const SignalsBlocked&) = delete;
  SignalsBlocked& operator=(const SignalsBlocked&) = delete;

 private:
  sigset_t previous_;
};

// The temporary file: created next to the target, removed unless Commit
// renamed it into place.
class TempFile {
 public:
  explicit TempFile(const std::string& target)
      : path_(FolderOf(target) + "/." + NameOf(target) + ".XXXXXX") {
    SignalsBlocked blocked;
    fd_ = ::mkostemp(&path_[0], O_CLOEXEC);
    error_ = fd_ < 0 ? errno : 0;
    if (fd_ >= 0) pendingTemp = path_.c_str();
  }
  ~TempFile() {
    if (fd_ < 0) return;
    ::close(fd_);
    SignalsBlocked blocked;
    ::unlink(path_.c_str());
    pendingTemp = nullptr;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  int fd() const { return fd_; }
  int error() const { return error_; }

  // Makes the content durable, closes it and renames it over `target`.
  // Returns 0 or the errno of the failure.
  int Commit(const std::string& target) {
    if (::fsync(fd_) != 0) return errno;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0) {
      const int error = errno;
      SignalsBlocked blocked;
      ::unlink(path_.c_str());
      pendingTemp = nullptr;
      return error;
    }
    SignalsBlocked blocked;
    const int error = ::rename(path_.c_str(), target.c_str()) == 0 ? 0 : errno;
    if (error != 0) ::unlink(path_.c_str());
    pendingTemp = nullptr;
    return error;
  }

 private:
  std::string path_;
  int fd_ = -1;
  int error_ = 0;
};

// The file that writing OUT writes.
struct OutputTarget {
  std::string path;  // OUT, or the end of the chain of links that starts there
  bool exists = false;
  struct stat info = {};
};

// "" when `out` may be written as the output made from `input`, else the
// message; fills `target` as it goes.
std::string CheckOutput(const std::string& out, const std::string& input, OutputTarget* target) {
  const std::string failed = "cannot write " + out + ": ";
  struct stat& info = target->info;
  if (const int error = ResolveLinks(out, &target->path, &target->exists, &info))
    return failed + ErrnoText(error);
  if (!target->exists) {
    if (!target->path.empty() && target->path.back() == '/') return failed + ErrnoText(EISDIR);
    struct stat folder;
    if (::stat(FolderOf(target->path).c_str(), &folder) != 0)
      return failed + (errno == ENOENT ? std::string("its folder does not exist") : ErrnoText(errno));
    if (!S_ISDIR(folder.st_mode)) return failed + ErrnoText(ENOTDIR);
    return std::string();
  }
  if (!S_ISREG(info.st_mode)) return failed + KindProblem(info.st_mode);
  const std::string readOnly = ReadOnlyOutputProblem(ModeIsReadOnly(info.st_mode));
  if (!readOnly.empty()) return failed + readOnly;
  struct stat source;
  if (::stat(input.c_str(), &source) == 0 && source.st_dev == info.st_dev && source.st_ino == info.st_ino)
    return failed + "it is the input file";
  return std::string();
}

// The mode new files get: 0666 less the process's umask.
mode_t NewFileMode() {
  const mode_t mask = ::umask(0);
  ::umask(mask);
  return 0666 & ~mask;
}

}  // namespace

std::string ErrnoText(int error) {
  switch (error) {
    case ENOENT: return "no such file";
    case EACCES:
    case EPERM: return "permission denied";
    case EISDIR: return "is a directory";
    case ENOTDIR: return "a part of the path is not a directory";
    case ELOOP: return "too many levels of symbolic links";
    case ENAMETOOLONG: return "name too long";
    case ENOSPC: return "no space left on the device";
    case EDQUOT: return "disk quota exceeded";
    case EROFS: return "read-only file system";
    case EFBIG: return "file too large";
    case EIO: return "input/output error";
    case ENOMEM: return "out of memory";
    case EMFILE:
    case ENFILE: return "too many open files";
    case 0: return "failed";
    default: break;
  }
  std::string text = std::strerror(error);
  if (!text.empty() && text[0] >= 'A' && text[0] <= 'Z') text[0] = static_cast<char>(text[0] - 'A' + 'a');
  return text;
}

std::string InputFileProblem(const std::string& path, uint64_t* size) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    const int error = errno;
    // A socket, or a device without its driver, fails to open: say what it is.
    struct stat info;
    if (::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode)) return KindProblem(info.st_mode);
    return ErrnoText(error);
  }
  Fd file(fd);
  struct stat info;
  if (::fstat(file.get(), &info) != 0) return ErrnoText(errno);
  if (!S_ISREG(info.st_mode)) return KindProblem(info.st_mode);
  if (size != nullptr) *size = static_cast<uint64_t>(info.st_size);
  return std::string();
}

std::string OutputFileProblem(const std::string& out, const std::string& input) {
  OutputTarget target;
  return CheckOutput(out, input, &target);
}

std::string WriteOutputFile(const std::string& out, const std::string& input,
                            const std::function<bool(int fd)>& produce) {
  OutputTarget target;
  const std::string problem = CheckOutput(out, input, &target);
  if (!problem.empty()) return problem;
  const std::string failed = "cannot write " + out + ": ";
  const bool exists = target.exists;
  const struct stat& info = target.info;

  std::lock_guard<std::mutex> serialised(writerLock);
  SignalCleanup cleanup;
  TempFile temp(target.path);
  if (temp.fd() < 0) {
    if (temp.error() == ENOENT) return failed + "its folder does not exist";
    return failed + ErrnoText(temp.error());
  }
  if (exists) {
    // Owner first: changing it may clear the set-user-ID and set-group-ID bits.
    if (::fchown(temp.fd(), info.st_uid, info.st_gid) != 0)
      return failed + "cannot keep its owner (" + ErrnoText(errno) + ")";
    if (::fchmod(temp.fd(), info.st_mode & 07777) != 0)
      return failed + "cannot keep its mode (" + ErrnoText(errno) + ")";
  } else if (::fchmod(temp.fd(), NewFileMode()) != 0) {
    return failed + ErrnoText(errno);
  }
  errno = 0;
  if (!produce(temp.fd())) return failed + ErrnoText(errno);
  if (const int error = temp.Commit(target.path)) return failed + ErrnoText(error);
  return std::string();
}

std::string DecodeFailureText(const FirstFrame& frame, HRESULT hr, uint64_t fileBytes) {
  return FirstFrameFailureText(frame, fileBytes) + " (" + HResultText(hr) + ")";
}

}  // namespace tamsorel
