// The platform layer's own facilities, through the real system: errors turned into kinds,
// files, the current folder, standard error, the local clock, the runtime's type names.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <optional>
#include <span>
#include <thread>
#include <typeinfo>
#include <vector>

#include "foundation/appExceptions.h"
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

// A thread that asks for precise waits where it starts has them: its timer slack (how late the
// kernel may end a timed wait, 50 µs by default) is the least there is. A wait alone changes
// nothing of its thread.
TEST(PlatformCancelTest, PreciseWaitsAreAskedForOncePerThreadNotByAWait) {
  long before = -1, afterWait = -1, afterAsking = -1, other = -1;
  std::thread([&] {
    // A new thread inherits its creator's slack, which an earlier test may have changed.
    ASSERT_EQ(::prctl(PR_SET_TIMERSLACK, 50000UL), 0);
    before = ::prctl(PR_GET_TIMERSLACK);
    const platform::TCancelEvent never;
    EXPECT_FALSE(never.WaitFor(1));
    afterWait = ::prctl(PR_GET_TIMERSLACK);
    platform::UsePreciseTimedWaits();
    afterAsking = ::prctl(PR_GET_TIMERSLACK);
    std::thread([&] { other = ::prctl(PR_GET_TIMERSLACK); }).join();
  }).join();
  EXPECT_EQ(before, 50000);
  EXPECT_EQ(afterWait, 50000);
  EXPECT_EQ(afterAsking, 1);
  EXPECT_EQ(other, 1) << "a thread it starts inherits its slack";
}

// A wait on more events than it can watch is refused at once, before it waits, whichever of
// them is set; up to the limit the set one is found.
TEST(PlatformCancelTest, AWaitOnMoreEventsThanItWatchesIsRefused) {
  std::vector<std::unique_ptr<platform::TCancelEvent>> events;
  std::vector<const platform::TCancelEvent*> list;
  for (std::size_t i = 0; i <= platform::MaxWaitEvents; ++i) {
    events.push_back(std::make_unique<platform::TCancelEvent>());
    list.push_back(events.back().get());
  }
  struct TCase {
    std::size_t Count, Set;
    int Expected;
  };
  const std::size_t last = platform::MaxWaitEvents - 1;
  for (const TCase c :
       {TCase{1, 0, 0}, TCase{platform::MaxWaitEvents, last, static_cast<int>(last)},
        TCase{platform::MaxWaitEvents + 1, 0, platform::WaitRefused},
        TCase{platform::MaxWaitEvents + 1, platform::MaxWaitEvents, platform::WaitRefused}}) {
    SCOPED_TRACE(testing::Message() << c.Count << " events, number " << c.Set << " set");
    for (const auto& e : events) e->Reset();
    events[c.Set]->Set();
    const std::span<const platform::TCancelEvent* const> some(list.data(), c.Count);
    // A refused wait returns at once although it was told to wait without limit.
    EXPECT_EQ(platform::WaitForAnyOf(some, -1), c.Expected);
  }
  events[0]->Reset();
  EXPECT_EQ(platform::WaitForAny({list[0], list[1]}, 0), -1) << "none set";
}

// What the platform layer cannot return (a cancel event the system cannot make: no descriptor
// left) is an exception of the tree with the system's code, not an error from outside it.
TEST(PlatformCancelTest, ACancelEventTheSystemCannotMakeIsAnEOSError) {
  const auto raised = [](const auto& Action) {
    std::optional<EOSError> error;
    try {
      Action();
    } catch (const EOSError& E) {
      error = E;
    } catch (...) {
    }
    return error;
  };
  // Straight from the platform layer; this also lets the sanitizers' type checks, which need a
  // descriptor the first time they meet a call, meet the calls of the failure path.
  const std::optional<EOSError> direct = raised([] {
    platform::RaiseOsError({TErrorKind::ekOther, EMFILE, platform::SystemErrorText(EMFILE)},
                           "eventfd");
  });
  ASSERT_TRUE(direct);
  EXPECT_EQ(direct->ErrorCode, EMFILE);
  EXPECT_EQ(direct->Message, "eventfd: " + platform::SystemErrorText(EMFILE));

  rlimit saved{};
  ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &saved), 0);
  rlimit none = saved;
  none.rlim_cur = 3;  // standard input, output and error: no number left for a new descriptor
  ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &none), 0);
  const std::optional<EOSError> made = raised([] { const platform::TCancelEvent event; });
  ::setrlimit(RLIMIT_NOFILE, &saved);
  ASSERT_TRUE(made) << "no EOSError";
  EXPECT_EQ(made->ErrorCode, EMFILE);
  EXPECT_EQ(made->Message, direct->Message);
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
