// tamsorel's system side on Linux: the native tools' file rules
// (tools/common/tool_files.h), libpng, and main.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/tool_files.h"
#include "platform/path_text.h"
#include "platform/file_source.h"
#include "png/png_writer.h"
#include "tamsorel/tool_platform.h"

namespace tamsorel::cli {

std::unique_ptr<ByteSource> OpenInput(const std::string& path, std::string* problem) {
  *problem = InputFileProblem(path);
  if (!problem->empty()) return nullptr;
  return OpenFileSource(PathToUtf16(path), problem);
}

std::string OutputFolderProblem(const std::string& dir) {
  struct stat info;
  if (::stat(dir.c_str(), &info) != 0)
    return "cannot write to " + dir + ": " + (errno == ENOENT ? std::string("no such folder") : ErrnoText(errno));
  if (!S_ISDIR(info.st_mode)) return "cannot write to " + dir + ": not a folder";
  return {};
}

std::string WritePngFile(const std::string& out, const std::string& input, RgbaRows& rows) {
  std::string encodeProblem;
  const std::string problem = WritePngOutputFile(
      out, input, [&rows](const ByteSink& sink) { return WritePng(rows, sink); }, &encodeProblem);
  if (!encodeProblem.empty()) return "cannot write " + out + ": " + encodeProblem;
  return problem;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos) return {};
  return slash == 0 ? "/" : path.substr(0, slash);
}

std::string StemOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string JoinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  return folder.back() == '/' ? folder + name : folder + "/" + name;
}

std::string OutputKey(const std::string& path) { return path; }

bool StderrIsTerminal() { return ::isatty(STDERR_FILENO) == 1; }

}  // namespace tamsorel::cli

int main(int argc, char** argv) {
  return tamsorel::cli::Run(std::vector<std::string>(argv + 1, argv + argc));
}
