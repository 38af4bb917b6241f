// The platform layer's own facilities, through the real system: errors turned into kinds,
// files, the current folder, standard error, the local clock, the runtime's type names.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <new>
#include <thread>
#include <typeinfo>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platClock.h"
#include "platform/platError.h"
#include "platform/platFiles.h"
#include "platform/platHostAddresses.h"
#include "platform/platPosix.h"
#include "platform/platProcess.h"
#include "platform/platRuntime.h"
#include "platform/platSockets.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

namespace fs = std::filesystem;
using platform::TErrorKind;

std::string ReadWhole(const fs::path& File) {
  std::ifstream In(File, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

TEST(PlatformErrorTest, FailuresCarryTheirKindWithTheSystemsCodeAndText) {
  test::TTempDir Dir;
  const platform::TOsError Missing = platform::CheckFileReadable((Dir.Path() / "none").string());
  EXPECT_TRUE(Missing);
  EXPECT_EQ(Missing.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(Missing.Code, ENOENT);
  EXPECT_EQ(Missing.Text, std::strerror(ENOENT));
  EXPECT_EQ(platform::SystemErrorText(ENOSPC), std::strerror(ENOSPC));

  std::ofstream(Dir.Path() / "file") << "x";
  EXPECT_FALSE(platform::CheckFileReadable((Dir.Path() / "file").string()));
  const platform::TOsError NoFolder =
      platform::CheckFileReadable((Dir.Path() / "file" / "below").string());
  EXPECT_EQ(NoFolder.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(NoFolder.Code, ENOTDIR);
  // A folder opens for reading, yet is not a readable file.
  const platform::TOsError Folder = platform::CheckFileReadable(Dir.Path().string());
  EXPECT_EQ(Folder.Kind, TErrorKind::ekOther);
  EXPECT_EQ(Folder.Code, EISDIR);
  EXPECT_EQ(Folder.Text, std::strerror(EISDIR));
}

// The meaning classes: a missing device at its opening is not there, during use it went away.
TEST(PlatformErrorTest, ErrnoClassesByMeaningAndPlace) {
  using platform::TErrorContext;
  const struct {
    int Code;
    TErrorContext Context;
    TErrorKind Kind;
  } Cases[] = {
      {0, TErrorContext::ecUse, TErrorKind::ekNone},
      {ENOENT, TErrorContext::ecUse, TErrorKind::ekNotFound},
      {ENODEV, TErrorContext::ecOpen, TErrorKind::ekNotFound},
      {ENXIO, TErrorContext::ecOpen, TErrorKind::ekNotFound},
      {ENODEV, TErrorContext::ecUse, TErrorKind::ekGone},
      {ENXIO, TErrorContext::ecUse, TErrorKind::ekGone},
      {EIO, TErrorContext::ecUse, TErrorKind::ekGone},
      {EBADF, TErrorContext::ecUse, TErrorKind::ekGone},
      {EACCES, TErrorContext::ecOpen, TErrorKind::ekAccessDenied},
      {EPERM, TErrorContext::ecOpen, TErrorKind::ekAccessDenied},
      {EBUSY, TErrorContext::ecOpen, TErrorKind::ekBusy},
      {EWOULDBLOCK, TErrorContext::ecOpen, TErrorKind::ekBusy},
      {ETIMEDOUT, TErrorContext::ecUse, TErrorKind::ekTimedOut},
      {ECANCELED, TErrorContext::ecUse, TErrorKind::ekCancelled},
      {EINVAL, TErrorContext::ecUse, TErrorKind::ekOther},
  };
  for (const auto& C : Cases) {
    const platform::TOsError E = platform::OsError(C.Code, C.Context);
    EXPECT_EQ(E.Kind, C.Kind) << C.Code;
    EXPECT_EQ(E.Code, C.Code);
    EXPECT_EQ(static_cast<bool>(E), C.Code != 0);
  }
}

TEST(PlatformFilesTest, CurrentFolderChangesOnlyToAFolderThatExists) {
  test::TTempDir Dir;
  const fs::path Before = fs::current_path();
  EXPECT_EQ(platform::SetCurrentFolder((Dir.Path() / "none").string()).Kind,
            TErrorKind::ekNotFound);
  EXPECT_EQ(fs::current_path(), Before);
  EXPECT_FALSE(platform::SetCurrentFolder(Dir.Path().string()));
  EXPECT_EQ(fs::current_path(), fs::canonical(Dir.Path()));
  ASSERT_FALSE(platform::SetCurrentFolder(Before.string()));
}

TEST(PlatformFilesTest, AppendWaitsForAnotherWritersLockThenReportsTheOpenBusy) {
  test::TTempDir Dir;
  const fs::path File = Dir.Path() / "log.txt";
  EXPECT_FALSE(platform::AppendToFile(File.string(), "one\r\n", 0).Error);
  const int Holder = ::open(File.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(Holder, 0);
  ASSERT_EQ(::flock(Holder, LOCK_EX), 0);
  const platform::TAppendResult Held = platform::AppendToFile(File.string(), "two\r\n", 5);
  EXPECT_EQ(Held.Step, platform::TAppendStep::asOpen);
  EXPECT_EQ(Held.Error.Kind, TErrorKind::ekBusy);
  ::close(Holder);
  EXPECT_FALSE(platform::AppendToFile(File.string(), "three\r\n", 5).Error);
  EXPECT_EQ(ReadWhole(File), "one\r\nthree\r\n");

  const platform::TAppendResult Unnamed = platform::AppendToFile("", "x", 0);
  EXPECT_EQ(Unnamed.Step, platform::TAppendStep::asOpen);
  EXPECT_EQ(Unnamed.Error.Kind, TErrorKind::ekNotFound);
}

TEST(PlatformFilesTest, StandardErrorTakesTheWholeTextAndKeepsErrno) {
  int Pipe[2];
  ASSERT_EQ(::pipe(Pipe), 0);
  const int Saved = ::dup(STDERR_FILENO);
  ::dup2(Pipe[1], STDERR_FILENO);
  const std::string Text(3000, 'e');
  errno = EDOM;
  platform::WriteStandardError(Text);
  const int ErrnoAfter = errno;
  ::dup2(Saved, STDERR_FILENO);
  ::close(Saved);
  ::close(Pipe[1]);
  std::string Got(4096, '\0');
  std::size_t Size = 0;
  for (ssize_t N; (N = ::read(Pipe[0], Got.data() + Size, Got.size() - Size)) > 0;) Size += N;
  ::close(Pipe[0]);
  EXPECT_EQ(Got.substr(0, Size), Text);
  EXPECT_EQ(ErrnoAfter, EDOM);
}

// The calendar fields of the local clock lie between two readings of the C library's own.
// The thread id is the kernel's, per thread, though it is read from the kernel only once; a
// forked child, whose only thread has an id of its own, does not go on with its parent's.
TEST(PlatformProcessTest, ThreadIdIsEachThreadsOwnAlsoAfterAFork) {
  const auto kernelId = [] { return static_cast<std::uint32_t>(::syscall(SYS_gettid)); };
  EXPECT_EQ(platform::CurrentThreadId(), kernelId());
  EXPECT_EQ(platform::CurrentThreadId(), kernelId());
  std::uint32_t other = 0, otherKernel = 0;
  std::thread([&] {
    other = platform::CurrentThreadId();
    otherKernel = kernelId();
  }).join();
  EXPECT_EQ(other, otherKernel);
  EXPECT_NE(other, platform::CurrentThreadId());

  const pid_t child = ::fork();
  ASSERT_GE(child, 0);
  if (child == 0) _exit(platform::CurrentThreadId() == kernelId() ? 0 : 1);
  int status = 0;
  ASSERT_EQ(::waitpid(child, &status, 0), child);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << "the child saw its parent's id";
}

// A thread that has waited with a deadline lets its waits end on time: its timer slack (how
// late the kernel may end a timed wait, 50 µs by default) is the least there is.
TEST(PlatformCancelTest, ATimedWaitAsksForNoTimerSlack) {
  long before = -1, after = -1;
  std::thread([&] {
    // A new thread inherits its creator's slack, which an earlier wait may have changed.
    ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 50000UL), 0);
    before = ::prctl(PR_GET_TIMERSLACK);
    const platform::TCancelEvent never;
    EXPECT_FALSE(never.WaitFor(1));
    after = ::prctl(PR_GET_TIMERSLACK);
  }).join();
  EXPECT_EQ(before, 50000);
  EXPECT_EQ(after, 1);
}

TEST(PlatformClockTest, LocalTimeFieldsAreTheCalendarOfTheLocalZone) {
  const auto Seconds = [](int Y, int Mo, int D, int H, int Mi, int S) {
    return ((((static_cast<long long>(Y) * 13 + Mo) * 32 + D) * 24 + H) * 60 + Mi) * 60 + S;
  };
  const auto LibraryNow = [&] {
    const time_t Now = ::time(nullptr);
    tm Local{};
    ::localtime_r(&Now, &Local);
    return Seconds(Local.tm_year + 1900, Local.tm_mon + 1, Local.tm_mday, Local.tm_hour,
                   Local.tm_min, Local.tm_sec);
  };
  const long long Before = LibraryNow();
  const platform::TLocalTime T = platform::LocalTimeNow();
  const long long After = LibraryNow();
  const long long Ours = Seconds(T.Year, T.Month, T.Day, T.Hour, T.Minute, T.Second);
  EXPECT_LE(Before, Ours);
  EXPECT_LE(Ours, After);
  EXPECT_GE(T.Millisecond, 0);
  EXPECT_LT(T.Millisecond, 1000);
}

TEST(PlatformRuntimeTest, TypeNamesReadableAndTheTypeOfAnyException) {
  EXPECT_EQ(platform::DemangledTypeName(typeid(std::bad_alloc).name()), "std::bad_alloc");
  EXPECT_EQ(platform::DemangledTypeName("not a mangled name"), "not a mangled name");
  EXPECT_EQ(platform::DemangledTypeName(nullptr), "?");
  try {
    throw 42;
  } catch (...) {
    const std::type_info* Type = platform::CurrentExceptionType();
    ASSERT_NE(Type, nullptr);
    EXPECT_EQ(*Type, typeid(int));
  }
}

TEST(PlatformSocketsTest, IPv4AddressTextsInTheirClassicForms) {
  std::uint32_t Address = 0;
  ASSERT_TRUE(platform::SocketParseIPv4Address("10.0.0.7", Address));
  EXPECT_EQ(platform::SocketAddressToText(Address), "10.0.0.7");
  ASSERT_TRUE(platform::SocketParseIPv4Address("10.7", Address));
  EXPECT_EQ(platform::SocketAddressToText(Address), "10.0.0.7");
  for (const char* Bad : {"", "10.0.0.256", "host", "255.255.255.255"})
    EXPECT_FALSE(platform::SocketParseIPv4Address(Bad, Address)) << Bad;
}

TEST(PlatformSocketsTest, AHostIsKnownByOneAddressTextInWhicheverFormItIsGiven) {
  const struct {
    const char* Host;
    std::vector<std::string> Addresses;
  } Cases[] = {
      {"127.0.0.1", {"127.0.0.1"}},
      {"::ffff:127.0.0.1", {"127.0.0.1"}},  // IPv4-mapped: the same IPv4 host
      {"::FFFF:7f00:2", {"127.0.0.2"}},
      {"::1", {"::1"}},
      {"::127.0.0.1", {"::127.0.0.1"}},  // IPv4-compatible is another (deprecated) address
      {"", {}},
  };
  for (const auto& C : Cases) EXPECT_EQ(platform::HostAddresses(C.Host), C.Addresses) << C.Host;
}

}  // namespace
}  // namespace probrix
