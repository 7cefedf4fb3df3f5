#include "win32_files/win32_files.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include <aclapi.h>

#include "common/hresult.h"
#include "common/output_rule.h"
#include "common/win32_owner.h"

namespace tamsorel::win32_files {

namespace {

// Opens `path` (through any link) to read its attributes and security only:
// no content is read, so a device or a pipe never blocks.
HANDLE OpenForQuery(const std::wstring& path) {
  return CreateFileW(path.c_str(), FILE_READ_ATTRIBUTES | READ_CONTROL,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                     nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// CON, NUL, COM1 ... name devices in every folder, with any extension.
bool IsReservedDeviceName(const std::wstring& path) {
  const std::size_t slash = path.find_last_of(L"\\/:");
  std::wstring name = path.substr(slash == std::wstring::npos ? 0 : slash + 1);
  name = name.substr(0, name.find(L'.'));
  while (!name.empty() && name.back() == L' ') name.pop_back();
  for (wchar_t& c : name) c = static_cast<wchar_t>(std::towupper(c));
  static const wchar_t* const kDevices[] = {L"CON", L"PRN", L"AUX", L"NUL", L"CONIN$", L"CONOUT$"};
  for (const wchar_t* device : kDevices)
    if (name == device) return true;
  return name.size() == 4 && (name.compare(0, 3, L"COM") == 0 || name.compare(0, 3, L"LPT") == 0) &&
         name[3] >= L'1' && name[3] <= L'9';
}

// What an open query handle is: "" for a regular file, else the problem.
std::string KindProblem(HANDLE file, BY_HANDLE_FILE_INFORMATION* info) {
  if (GetFileType(file) != FILE_TYPE_DISK) return "not a regular file";
  if (!GetFileInformationByHandle(file, info)) return Win32ErrorText(GetLastError());
  if (info->dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) return "is a directory";
  return std::string();
}

bool SameFile(const BY_HANDLE_FILE_INFORMATION& a, const BY_HANDLE_FILE_INFORMATION& b) {
  return a.dwVolumeSerialNumber == b.dwVolumeSerialNumber && a.nFileIndexHigh == b.nFileIndexHigh &&
         a.nFileIndexLow == b.nFileIndexLow;
}

// The file that writing `out` writes, as found by OutputFileProblem.
struct Target {
  std::wstring path;  // where the new content goes (a link's target)
  bool exists = false;
  DWORD attributes = 0;
  UniqueLocal<PSECURITY_DESCRIPTOR> security;  // owner, group and DACL of the file replaced
};

std::string CheckOutput(const std::wstring& out, const std::wstring& input, Target* target) {
  const std::string failed = "cannot write " + Narrow(out) + ": ";
  if (IsReservedDeviceName(out)) return failed + "not a regular file";
  UniqueFile file(OpenForQuery(out));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    if (error == ERROR_PATH_NOT_FOUND) return failed + "its folder does not exist";
    if (error != ERROR_FILE_NOT_FOUND) return failed + Win32ErrorText(error);
    const DWORD attributes = GetFileAttributesW(out.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
      return failed + "it is a link to a file that does not exist";
    wchar_t full[MAX_PATH * 4];
    const DWORD length = GetFullPathNameW(out.c_str(), MAX_PATH * 4, full, nullptr);
    target->path = length > 0 && length < MAX_PATH * 4 ? std::wstring(full, length) : out;
    target->exists = false;
    return std::string();
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  const std::string kind = KindProblem(file.get(), &info);
  if (!kind.empty()) return failed + kind;
  const std::string readOnly = ReadOnlyOutputProblem((info.dwFileAttributes & FILE_ATTRIBUTE_READONLY) != 0);
  if (!readOnly.empty()) return failed + readOnly;
  BY_HANDLE_FILE_INFORMATION source = {};
  UniqueFile in(OpenForQuery(input));
  if (in.valid() && GetFileInformationByHandle(in.get(), &source) && SameFile(info, source))
    return failed + "it is the input file";
  wchar_t final[MAX_PATH * 4];
  const DWORD length =
      GetFinalPathNameByHandleW(file.get(), final, MAX_PATH * 4, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  target->path = length > 0 && length < MAX_PATH * 4 ? std::wstring(final, length) : out;
  target->exists = true;
  target->attributes = info.dwFileAttributes;
  GetSecurityInfo(file.get(), SE_FILE_OBJECT,
                  OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, nullptr,
                  nullptr, nullptr, nullptr, target->security.out());
  return std::string();
}

// The temporary file a console event must not leave behind.  The handler
// runs on a thread of its own; the lock orders it with the writer.
CRITICAL_SECTION pendingLock;
INIT_ONCE pendingLockOnce = INIT_ONCE_STATIC_INIT;
const wchar_t* pendingTemp = nullptr;

BOOL CALLBACK InitPendingLock(PINIT_ONCE, PVOID, PVOID*) {
  InitializeCriticalSection(&pendingLock);
  return TRUE;
}

class PendingLock {
 public:
  PendingLock() {
    InitOnceExecuteOnce(&pendingLockOnce, InitPendingLock, nullptr, nullptr);
    EnterCriticalSection(&pendingLock);
  }
  ~PendingLock() { LeaveCriticalSection(&pendingLock); }
  PendingLock(const PendingLock&) = delete;
  PendingLock& operator=(const PendingLock&) = delete;
};

// Marks the temporary file for deletion (it goes when the process ends and
// its handle closes) and lets the default handler end the process.
BOOL WINAPI RemoveTempOnConsoleEvent(DWORD) {
  PendingLock lock;
  if (pendingTemp != nullptr) DeleteFileW(pendingTemp);
  return FALSE;
}

// The temporary file next to the target: created with delete sharing so
// the console handler can remove it, deleted unless Commit renamed it.
class TempFile {
 public:
  explicit TempFile(const std::wstring& target) {
    const std::size_t slash = target.find_last_of(L"\\/");
    const std::wstring folder = slash == std::wstring::npos ? L"." : target.substr(0, slash);
    const std::wstring name = slash == std::wstring::npos ? target : target.substr(slash + 1);
    static LONG counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
      path_ = folder + L"\\~" + name + L"." + std::to_wstring(GetCurrentProcessId()) + L"-" +
              std::to_wstring(InterlockedIncrement(&counter)) + L".tmp";
      PendingLock lock;
      *file_.out() = CreateFileW(path_.c_str(), GENERIC_WRITE | WRITE_DAC | WRITE_OWNER, FILE_SHARE_DELETE,
                                 nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
      error_ = file_.valid() ? ERROR_SUCCESS : GetLastError();
      if (file_.valid()) {
        pendingTemp = path_.c_str();
        return;
      }
      if (error_ != ERROR_FILE_EXISTS && error_ != ERROR_ALREADY_EXISTS) return;
    }
  }
  ~TempFile() {
    if (!file_.valid() && !unplaced_) return;
    file_.reset();  // closed before the file is deleted
    PendingLock lock;
    DeleteFileW(path_.c_str());
    pendingTemp = nullptr;
  }
  TempFile(const TempFile&) = delete;
  TempFile& operator=(const TempFile&) = delete;

  bool valid() const { return file_.valid(); }
  DWORD error() const { return error_; }

  // Writes everything; 0 or the error.
  DWORD Write(const std::vector<uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - done, 1u << 30));
      DWORD written = 0;
      if (!WriteFile(file_.get(), bytes.data() + done, chunk, &written, nullptr)) return GetLastError();
      if (written == 0) return ERROR_WRITE_FAULT;
      done += written;
    }
    return FlushFileBuffers(file_.get()) ? ERROR_SUCCESS : GetLastError();
  }

  // Gives the file the owner, group and access list of `security` as they
  // are.  Only a privileged user may hand a file to another owner: then the
  // access list alone is copied.
  void CopySecurity(PSECURITY_DESCRIPTOR security) {
    if (security == nullptr) return;
    if (SetKernelObjectSecurity(file_.get(), OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION |
                                                 DACL_SECURITY_INFORMATION, security))
      return;
    SetKernelObjectSecurity(file_.get(), DACL_SECURITY_INFORMATION, security);
  }

  // Closes the file, gives it `attributes` and puts it in place of `target`
  // in one step; 0 or the error.  On failure the destructor removes it.
  DWORD Commit(const std::wstring& target, DWORD attributes) {
    unplaced_ = true;
    if (!file_.reset()) return GetLastError();
    if (attributes != 0 && !SetFileAttributesW(path_.c_str(), attributes)) return GetLastError();
    PendingLock lock;
    if (!MoveFileExW(path_.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH))
      return GetLastError();
    pendingTemp = nullptr;
    unplaced_ = false;
    return ERROR_SUCCESS;
  }

 private:
  std::wstring path_;
  UniqueFile file_;
  bool unplaced_ = false;  // closed, not yet renamed into place
  DWORD error_ = ERROR_SUCCESS;
};

// Installs the console handler for as long as it lives.
class ConsoleCleanup {
 public:
  ConsoleCleanup() : installed_(SetConsoleCtrlHandler(RemoveTempOnConsoleEvent, TRUE) != FALSE) {}
  ~ConsoleCleanup() {
    if (installed_) SetConsoleCtrlHandler(RemoveTempOnConsoleEvent, FALSE);
  }
  ConsoleCleanup(const ConsoleCleanup&) = delete;
  ConsoleCleanup& operator=(const ConsoleCleanup&) = delete;

 private:
  bool installed_;
};

// Attributes a replaced file passes on to its successor.
constexpr DWORD kKeptAttributes = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE |
                                  FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;

}  // namespace

std::string Narrow(const std::wstring& text) {
  if (text.empty()) return std::string();
  const int bytes = WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), nullptr, 0,
                                        nullptr, nullptr);
  if (bytes <= 0) return std::string();
  std::string out(static_cast<std::size_t>(bytes), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text.c_str(), static_cast<int>(text.size()), &out[0], bytes, nullptr,
                      nullptr);
  return out;
}

std::string Win32ErrorText(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND: return "no such file";
    case ERROR_PATH_NOT_FOUND: return "no such folder";
    case ERROR_ACCESS_DENIED: return "permission denied";
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION: return "in use by another program";
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL: return "no space left on the device";
    case ERROR_WRITE_PROTECT: return "the medium is write-protected";
    case ERROR_INVALID_NAME: return "not a valid file name";
    case ERROR_FILENAME_EXCED_RANGE: return "name too long";
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY: return "out of memory";
    default: break;
  }
  return "Windows error " + std::to_string(error) + " (" + HResultText(HResultFromWin32(static_cast<long>(error))) +
         ")";
}

std::string InputFileProblem(const std::wstring& path) {
  if (IsReservedDeviceName(path)) return "not a regular file";
  UniqueFile file(OpenForQuery(path));
  if (!file.valid()) {
    const DWORD error = GetLastError();
    return error == ERROR_PATH_NOT_FOUND ? "no such file" : Win32ErrorText(error);
  }
  BY_HANDLE_FILE_INFORMATION info = {};
  return KindProblem(file.get(), &info);
}

int ImageBits(const std::wstring& path) {
  UniqueFile file(CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, 0, nullptr));
  if (!file.valid() || GetFileType(file.get()) != FILE_TYPE_DISK) return 0;
  uint8_t head[1024] = {};
  DWORD got = 0;
  if (!ReadFile(file.get(), head, sizeof head, &got, nullptr) || got < 0x40) return 0;
  if (head[0] != 'M' || head[1] != 'Z') return 0;
  const uint32_t pe = head[0x3C] | head[0x3D] << 8 | head[0x3E] << 16 | static_cast<uint32_t>(head[0x3F]) << 24;
  if (pe > got - 6 || head[pe] != 'P' || head[pe + 1] != 'E' || head[pe + 2] != 0 || head[pe + 3] != 0) return 0;
  const uint16_t machine = static_cast<uint16_t>(head[pe + 4] | head[pe + 5] << 8);
  if (machine == IMAGE_FILE_MACHINE_I386) return 32;
  if (machine == IMAGE_FILE_MACHINE_AMD64) return 64;
  return -1;
}

std::string OutputFileProblem(const std::wstring& out, const std::wstring& input) {
  Target target;
  return CheckOutput(out, input, &target);
}

std::string WriteOutputFile(const std::wstring& out, const std::wstring& input,
                            const std::vector<uint8_t>& bytes) {
  Target target;
  const std::string problem = CheckOutput(out, input, &target);
  if (!problem.empty()) return problem;
  const std::string failed = "cannot write " + Narrow(out) + ": ";
  ConsoleCleanup cleanup;
  TempFile temp(target.path);
  if (!temp.valid()) {
    if (temp.error() == ERROR_PATH_NOT_FOUND) return failed + "its folder does not exist";
    return failed + Win32ErrorText(temp.error());
  }
  if (const DWORD error = temp.Write(bytes)) return failed + Win32ErrorText(error);
  temp.CopySecurity(target.security.get());
  const DWORD attributes = target.exists ? (target.attributes & kKeptAttributes) : 0;
  if (const DWORD error = temp.Commit(target.path, attributes)) return failed + Win32ErrorText(error);
  return std::string();
}

}  // namespace tamsorel::win32_files
