// The tools' file handling on a real file system: which inputs are usable,
// which outputs are written and how (content, mode, owner, links, no
// temporary left behind, also when a signal ends the process), and the
// words for a failed decode.
#include "common/tool_files.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "sprite/first_frame.h"
#include "platform/portable_platform.h"

namespace tamsorel {
namespace {

constexpr uid_t kNobody = 65534;

// A fresh folder under TMPDIR that everyone may enter, removed at the end.
class TempFolder {
 public:
  TempFolder() {
    const char* base = std::getenv("TMPDIR");
    std::string pattern = std::string(base && *base ? base : "/tmp") + "/tool_files.XXXXXX";
    path_ = ::mkdtemp(&pattern[0]) ? pattern : std::string();
    if (!path_.empty()) ::chmod(path_.c_str(), 0777);
  }
  ~TempFolder() {
    if (!path_.empty()) std::system(("rm -rf '" + path_ + "'").c_str());
  }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
  const std::string& path() const { return path_; }

  // The entries of the folder, or of its subfolder `sub`.
  std::set<std::string> Names(const std::string& sub = ".") const {
    std::set<std::string> names;
    if (DIR* dir = ::opendir((path_ + "/" + sub).c_str())) {
      while (dirent* entry = ::readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
          names.insert(entry->d_name);
      ::closedir(dir);
    }
    return names;
  }

 private:
  std::string path_;
};

void WriteText(const std::string& path, const std::string& text, mode_t mode = 0644) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
  ASSERT_GE(fd, 0) << path;
  ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
  ::close(fd);
  ::chmod(path.c_str(), mode);
}

std::string ReadText(const std::string& path) {
  std::string text;
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK);
  if (fd < 0) return "<unreadable>";
  char buffer[256];
  ssize_t n;
  while ((n = ::read(fd, buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(fd);
  return text;
}

mode_t KindOf(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0 ? (info.st_mode & S_IFMT) : 0;
}

bool MakeSocket(const std::string& path) {
  const int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address = {};
  address.sun_family = AF_UNIX;
  if (fd < 0 || path.size() >= sizeof address.sun_path) return false;
  std::strcpy(address.sun_path, path.c_str());
  const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
  ::close(fd);
  return bound;
}

// A character device node made here (the kernel's null device numbers), so
// that no test ever touches the system's own /dev entries.  False where
// mknod is not permitted.
bool MakeDeviceNode(const std::string& path) {
  return ::mknod(path.c_str(), S_IFCHR | 0666, makedev(1, 3)) == 0;
}

// Runs `body` in a child process as an unprivileged user (when this process
// is root; otherwise as this user) and returns the text it produced.
std::string AsUnprivileged(const std::function<std::string()>& body) {
  if (::geteuid() != 0) return body();
  int pipeFds[2];
  if (::pipe(pipeFds) != 0) return "<no pipe>";
  const pid_t child = ::fork();
  if (child == 0) {
    ::close(pipeFds[0]);
    if (::setgid(kNobody) != 0 || ::setuid(kNobody) != 0) ::_exit(3);
    const std::string text = body();
    ssize_t ignored = ::write(pipeFds[1], text.data(), text.size());
    (void)ignored;
    ::_exit(0);
  }
  ::close(pipeFds[1]);
  std::string text;
  char buffer[256];
  ssize_t n;
  while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<std::size_t>(n));
  ::close(pipeFds[0]);
  int status = 0;
  ::waitpid(child, &status, 0);
  return text;
}

bool WriteAll(int fd, const std::string& text) {
  return ::write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
}

std::function<bool(int)> Content(const std::string& text) {
  return [text](int fd) { return WriteAll(fd, text); };
}

TEST(InputFileProblem, NamesWhatIsWrongWithoutBlocking) {
  TempFolder folder;
  WriteText(folder / "sprite.spr", "abc");
  WriteText(folder / "empty.spr", "");
  ::mkdir((folder / "folder").c_str(), 0755);
  ASSERT_EQ(::mkfifo((folder / "fifo.spr").c_str(), 0644), 0);  // no writer: opening must not wait
  ASSERT_TRUE(MakeSocket(folder / "socket.spr"));
  ASSERT_EQ(::symlink("sprite.spr", (folder / "link.spr").c_str()), 0);
  ASSERT_EQ(::symlink("absent.spr", (folder / "dangling.spr").c_str()), 0);

  const struct {
    std::string name;
    std::string problem;
  } cases[] = {
      {"sprite.spr", ""},
      {"empty.spr", ""},
      {"link.spr", ""},
      {"absent.spr", "no such file"},
      {"dangling.spr", "no such file"},
      {"sprite.spr/x", "a part of the path is not a directory"},
      {"folder", "is a directory"},
      {"fifo.spr", "not a regular file"},
      {"socket.spr", "not a regular file"},
  };
  for (const auto& c : cases) EXPECT_EQ(InputFileProblem(folder / c.name), c.problem) << c.name;

  uint64_t size = 99;
  EXPECT_EQ(InputFileProblem(folder / "sprite.spr", &size), "");
  EXPECT_EQ(size, 3u);
  EXPECT_EQ(InputFileProblem(folder / "empty.spr", &size), "");
  EXPECT_EQ(size, 0u);

  if (MakeDeviceNode(folder / "device.spr"))
    EXPECT_EQ(InputFileProblem(folder / "device.spr"), "not a regular file");
  else
    std::printf("SKIPPED device-node input: mknod is not permitted here\n");

  WriteText(folder / "secret.spr", "abc", 0000);
  EXPECT_EQ(AsUnprivileged([&] { return InputFileProblem(folder / "secret.spr"); }), "permission denied");
}

// Every kind of OUT: what is written where, and what is refused before
// anything is written.
TEST(WriteOutputFile, WritesOnlyRegularFilesAndLinksToThem) {
  TempFolder folder;
  ::mkdir((folder / "elsewhere").c_str(), 0755);
  WriteText(folder / "input.spr", "sprite");
  WriteText(folder / "elsewhere/target.bmp", "old");
  ::mkdir((folder / "folder").c_str(), 0755);
  ASSERT_EQ(::mkfifo((folder / "fifo.bmp").c_str(), 0644), 0);
  ASSERT_TRUE(MakeSocket(folder / "socket.bmp"));
  ASSERT_EQ(::symlink("elsewhere/target.bmp", (folder / "link.bmp").c_str()), 0);
  ASSERT_EQ(::symlink("elsewhere/new.bmp", (folder / "dangling.bmp").c_str()), 0);
  ASSERT_EQ(::symlink("input.spr", (folder / "input-link.bmp").c_str()), 0);
  ASSERT_EQ(::link((folder / "input.spr").c_str(), (folder / "input-hardlink.bmp").c_str()), 0);
  WriteText(folder / "read-only.bmp", "old", 0444);
  ASSERT_EQ(::symlink("read-only.bmp", (folder / "read-only-link.bmp").c_str()), 0);
  const bool haveDevice = MakeDeviceNode(folder / "device.bmp");
  if (haveDevice) {
    ASSERT_EQ(::symlink("device.bmp", (folder / "device-link.bmp").c_str()), 0);
  } else {
    std::printf("SKIPPED device-node output: mknod is not permitted here\n");
  }

  const std::string input = folder / "input.spr";
  const struct {
    std::string out;
    std::string message;    // "" when written
    std::string writtenAt;  // the file that must hold "new" afterwards
  } cases[] = {
      {"fresh.bmp", "", "fresh.bmp"},
      {"link.bmp", "", "elsewhere/target.bmp"},
      {"dangling.bmp", "", "elsewhere/new.bmp"},
      {"folder", "is a directory", ""},
      {"fifo.bmp", "not a regular file", ""},
      {"socket.bmp", "not a regular file", ""},
      {"device.bmp", "not a regular file", ""},
      {"device-link.bmp", "not a regular file", ""},
      {"input.spr", "it is the input file", ""},
      {"input-link.bmp", "it is the input file", ""},
      {"input-hardlink.bmp", "it is the input file", ""},
      {"no-folder/x.bmp", "its folder does not exist", ""},
      {"input.spr/x.bmp", "a part of the path is not a directory", ""},
      // Marked read-only: refused as on Windows, even for root, who could
      // replace it.
      {"read-only.bmp", "it is read-only", ""},
      {"read-only-link.bmp", "it is read-only", ""},
  };
  for (const auto& c : cases) {
    if (!haveDevice && c.out.rfind("device", 0) == 0) continue;
    const std::string out = folder / c.out;
    const mode_t kindBefore = KindOf(out);
    // The checks on their own say the same as the writer.
    EXPECT_EQ(OutputFileProblem(out, input), c.message.empty() ? "" : "cannot write " + out + ": " + c.message)
        << c.out;
    bool produced = false;
    const std::string message = WriteOutputFile(out, input, [&](int fd) {
      produced = true;
      return WriteAll(fd, "new");
    });
    if (c.message.empty()) {
      EXPECT_EQ(message, "") << c.out;
      EXPECT_EQ(ReadText(folder / c.writtenAt), "new") << c.out;
      if (kindBefore != 0) {
        EXPECT_EQ(KindOf(out), kindBefore) << c.out << " is still what it was";
      }
    } else {
      EXPECT_EQ(message, "cannot write " + out + ": " + c.message) << c.out;
      EXPECT_FALSE(produced) << c.out << ": refused before anything is written";
      EXPECT_EQ(KindOf(out), kindBefore) << c.out << " left as it was";
    }
  }
  EXPECT_EQ(ReadText(input), "sprite");
  EXPECT_EQ(ReadText(folder / "read-only.bmp"), "old");
  std::set<std::string> expected = {"input.spr", "elsewhere", "folder", "fifo.bmp", "socket.bmp", "link.bmp",
                                    "dangling.bmp", "input-link.bmp", "input-hardlink.bmp", "fresh.bmp",
                                    "read-only.bmp", "read-only-link.bmp"};
  if (haveDevice) expected.insert({"device.bmp", "device-link.bmp"});
  EXPECT_EQ(folder.Names(), expected) << "no temporary file is left";
  EXPECT_EQ(folder.Names("elsewhere"), (std::set<std::string>{"target.bmp", "new.bmp"}));
}

TEST(WriteOutputFile, KeepsModeAndOwnerOfTheFileItReplaces) {
  TempFolder folder;
  const std::string out = folder / "out.bmp";
  const mode_t oldMask = ::umask(022);
  ASSERT_EQ(WriteOutputFile(out, folder / "input.spr", Content("one")), "");
  struct stat info;
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0644u) << "a new file gets 0666 less the umask";

  ::chmod(out.c_str(), 0600);
  const bool root = ::geteuid() == 0;
  if (root) {
    ASSERT_EQ(::chown(out.c_str(), kNobody, kNobody), 0);
  }
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  const uid_t owner = info.st_uid;
  const gid_t group = info.st_gid;
  ASSERT_EQ(WriteOutputFile(out, folder / "input.spr", Content("two")), "");
  ASSERT_EQ(::stat(out.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0600u);
  EXPECT_EQ(info.st_uid, owner);
  EXPECT_EQ(info.st_gid, group);
  EXPECT_EQ(ReadText(out), "two");
  ::umask(oldMask);
}

TEST(WriteOutputFile, FailureLeavesTheOldFileAndNoTemporary) {
  TempFolder folder;
  const std::string out = folder / "out.bmp";
  WriteText(out, "old");
  const std::string message = WriteOutputFile(out, folder / "input.spr", [](int fd) {
    WriteAll(fd, "partial");
    errno = ENOSPC;
    return false;
  });
  EXPECT_EQ(message, "cannot write " + out + ": no space left on the device");
  EXPECT_EQ(ReadText(out), "old");
  EXPECT_EQ(folder.Names(), std::set<std::string>{"out.bmp"});

  // A folder the user may not write to.
  ::mkdir((folder / "locked").c_str(), 0555);
  const std::string locked = folder / "locked/out.bmp";
  EXPECT_EQ(AsUnprivileged([&] { return WriteOutputFile(locked, "", Content("x")); }),
            "cannot write " + locked + ": permission denied");
  EXPECT_EQ(KindOf(locked), 0u);
}

// A signal that ends the process while the temporary file exists removes
// it; the process still ends by that signal, and OUT is untouched.
TEST(WriteOutputFile, SignalRemovesTheTemporaryFile) {
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) {
    TempFolder folder;
    const std::string out = folder / "out.bmp";
    WriteText(out, "old");
    const pid_t child = ::fork();
    if (child == 0) {
      ::signal(signal, SIG_DFL);
      WriteOutputFile(out, "", [signal](int fd) {
        WriteAll(fd, "partial");
        ::kill(::getpid(), signal);
        return true;
      });
      ::_exit(0);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << strsignal(signal) << " status " << status;
    EXPECT_EQ(folder.Names(), std::set<std::string>{"out.bmp"}) << strsignal(signal);
    EXPECT_EQ(ReadText(out), "old");
  }

  // Afterwards the program's own signal actions are back in place.
  struct sigaction action;
  ::sigaction(SIGTERM, nullptr, &action);
  EXPECT_EQ(action.sa_handler, SIG_DFL);
}

// Decodes `file` as `name` with the portable bitmap rules and returns the
// words for the failure ("" if it decoded).
std::string DecodeFailure(const std::string& name, std::vector<uint8_t> file,
                          std::size_t maxPixelBytes = PortableBitmapPlatform::kDefaultMaxPixelBytes) {
  MemoryDecodePlatform platform(maxPixelBytes);
  const std::u16string path(name.begin(), name.end());
  const uint64_t size = file.size();
  platform.AddFile(path, std::move(file));
  std::vector<uint8_t> header(kHeaderBufferSize, 0);
  BitmapHandle bitmap = nullptr;
  FirstFrame frame;
  const HRESULT hr = DecodeFirstFrame(platform, path.c_str(), header.data(), &bitmap, &frame);
  if (hr == S_OK) {
    platform.DeleteBitmap(bitmap);
    return "";
  }
  return DecodeFailureText(frame, hr, size);
}

// The headers of a one-frame sprite without its pixels: enough for the
// decoder to describe the frame and try to make its bitmap.
std::vector<uint8_t> SprHeader(uint16_t width, uint16_t height) {
  return {1, 0, 10, 0, 0, 0, uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8)};
}

std::vector<uint8_t> S16Header(uint16_t width, uint16_t height) {
  std::vector<uint8_t> bytes = {1, 0, 0, 0, 1, 0, 0, 0, 0, 0,
                                uint8_t(width), uint8_t(width >> 8), uint8_t(height), uint8_t(height >> 8)};
  bytes.resize(bytes.size() + 4 * (height - 1), 0);
  return bytes;
}

TEST(DecodeFailureText, SaysWhyTheDecodeFailed) {
  const struct {
    const char* name;
    std::vector<uint8_t> file;
    std::size_t maxPixelBytes;
    std::string text;
  } cases[] = {
      {"big.s16", S16Header(16384, 16385), PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "frame of 16384 \u00D7 16385 pixels is larger than the 256 MiB limit (E_FAIL 0x80004005)"},
      {"big.spr", SprHeader(16384, 16385), PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "frame of 16384 \u00D7 16385 pixels is larger than the 256 MiB limit (E_FAIL 0x80004005)"},
      {"small.s16", S16Header(64, 64), 1024,
       "not enough memory for a frame of 64 \u00D7 64 pixels (E_FAIL 0x80004005)"},
      {"cut.s16", {2, 0, 0, 0, 1}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "not a readable sprite (E_FAIL 0x80004005)"},
      {"zero.spr", {1, 0, 10, 0, 0, 0, 0, 0, 5, 0}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "not a readable sprite: its first frame is 0 \u00D7 5 pixels (E_FAIL 0x80004005)"},
      {"noentry.c16", {2, 0, 0, 0, 1, 0, 1, 2}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "not a readable sprite: the file ends before the first frame's entry (E_FAIL 0x80004005)"},
      {"cuttable.s16", {1, 0, 0, 0, 1, 0, 20, 0, 0, 0, 2, 0, 3, 0, 0, 0}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "not a readable sprite: the file ends inside the first frame's line table (E_FAIL 0x80004005)"},
      {"none.s16", {1, 0, 0, 0, 0, 0, 20, 0, 0, 0, 2, 0, 3, 0}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "not a readable sprite (E_FAIL 0x80004005)"},
      {"empty.c16", {}, PortableBitmapPlatform::kDefaultMaxPixelBytes,
       "empty file, not a readable sprite (E_FAIL 0x80004005)"},
  };
  for (const auto& c : cases) EXPECT_EQ(DecodeFailure(c.name, c.file, c.maxPixelBytes), c.text) << c.name;

  FirstFrame unopened;
  unopened.failure = FirstFrame::Failure::kCannotOpen;
  EXPECT_EQ(DecodeFailureText(unopened, E_FAIL), "cannot be opened (E_FAIL 0x80004005)");
}

}  // namespace
}  // namespace tamsorel
