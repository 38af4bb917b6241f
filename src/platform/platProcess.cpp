#include "platform/platProcess.h"

#include <dlfcn.h>
#include <execinfo.h>
#include <pthread.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <vector>

namespace probrix::platform {

std::string ModuleFilePath() {
  std::vector<char> buf(1024);
  for (;;) {
    const ssize_t n = ::readlink("/proc/self/exe", buf.data(), buf.size());
    if (n < 0) return std::string();
    if (static_cast<std::size_t>(n) < buf.size()) return std::string(buf.data(), n);
    if (buf.size() >= 65536) return std::string();  // no sane path is that long
    buf.resize(buf.size() * 2);
  }
}

namespace {

// The calling thread's id, read from the kernel once: log lines ask for it with every exchange.
// Zero-initialised thread storage needs no constructor, so a signal handler may read it too.
thread_local std::uint32_t CachedThreadId = 0;

// A forked child goes on in the thread that forked, under an id of its own.
[[maybe_unused]] const int ForgetThreadIdInChild =
    ::pthread_atfork(nullptr, nullptr, [] { CachedThreadId = 0; });

}  // namespace

std::uint32_t CurrentThreadId() {
  if (CachedThreadId == 0) CachedThreadId = static_cast<std::uint32_t>(::syscall(SYS_gettid));
  return CachedThreadId;
}

bool IsFolderWritable(const std::string& Folder) {
  struct stat st {};
  if (Folder.empty() || ::stat(Folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
  // Effective ids, and a read-only mount counts as not writable.
  return ::eaccess(Folder.c_str(), W_OK | X_OK) == 0;
}

bool LocateCodeAddress(std::uintptr_t Address, TCodeLocation& Location) {
  Dl_info info{};
  if (Address == 0 || ::dladdr(reinterpret_cast<void*>(Address), &info) == 0 ||
      info.dli_fname == nullptr)
    return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  Location.ModuleFileName = slash ? slash + 1 : info.dli_fname;
  Location.ModuleBase = reinterpret_cast<std::uintptr_t>(info.dli_fbase);
  return true;
}

namespace {

// Whether a frame lies in the C++ runtime (or a sanitizer's runtime in front of it). Symbol
// names do not help here: the throw routine's terminate path sits in a cold section that no
// exported symbol covers.
bool InRuntimeLibrary(void* Frame) {
  Dl_info info{};
  if (::dladdr(Frame, &info) == 0 || info.dli_fname == nullptr) return false;
  const char* slash = std::strrchr(info.dli_fname, '/');
  const char* name = slash ? slash + 1 : info.dli_fname;
  static const char* const Prefixes[] = {"libstdc++", "libgcc_s", "libc++", "libasan",
                                         "libtsan",   "libubsan", "liblsan"};
  for (const char* prefix : Prefixes)
    if (std::strncmp(name, prefix, std::strlen(prefix)) == 0) return true;
  return false;
}

}  // namespace

std::uintptr_t FindThrowAddress() {
  // The handler's own frames, then the runtime's (terminate, the throw routine), then the
  // function that threw.
  void* frames[64];
  const int count = ::backtrace(frames, 64);
  int i = 0;
  while (i < count && !InRuntimeLibrary(frames[i])) ++i;
  while (i < count && InRuntimeLibrary(frames[i])) ++i;
  if (i >= count) return 0;
  // A return address points past the call; one byte back lies inside the calling statement.
  return reinterpret_cast<std::uintptr_t>(frames[i]) - 1;
}

std::string EnvironmentVariable(const char* Name) {
  const char* v = std::getenv(Name);
  return v ? std::string(v) : std::string();
}

namespace {

// An XDG base folder: the variable when it holds an absolute path, else HOME + Default.
std::string XdgFolder(const char* Variable, const char* DefaultUnderHome) {
  const auto withSlash = [](std::string Folder) {
    if (Folder.back() != '/') Folder += '/';
    return Folder;
  };
  const std::string value = EnvironmentVariable(Variable);
  if (!value.empty() && value.front() == '/') return withSlash(value);
  const std::string home = EnvironmentVariable("HOME");
  if (home.empty() || home.front() != '/') return std::string();
  return withSlash(home) + DefaultUnderHome + "/";
}

}  // namespace

TUserFolders UserFolders() {
  TUserFolders folders;
  if (const std::string config = XdgFolder("XDG_CONFIG_HOME", ".config"); !config.empty())
    folders.Settings = config + "probrix/";
  if (const std::string state = XdgFolder("XDG_STATE_HOME", ".local/state"); !state.empty())
    folders.State = state + "probrix/";
  return folders;
}

std::vector<std::string> CommandLineArguments(int Argc, char** Argv) {
  return std::vector<std::string>(Argv, Argv + Argc);
}

}  // namespace probrix::platform
