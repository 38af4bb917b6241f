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
  std::ifstream in(File, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(PlatformErrorTest, FailuresCarryTheirKindWithTheSystemsCodeAndText) {
  test::TTempDir dir;
  const platform::TOsError missing = platform::CheckFileReadable((dir.Path() / "none").string());
  EXPECT_TRUE(missing);
  EXPECT_EQ(missing.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(missing.Code, ENOENT);
  EXPECT_EQ(missing.Text, std::strerror(ENOENT));
  EXPECT_EQ(platform::SystemErrorText(ENOSPC), std::strerror(ENOSPC));

  std::ofstream(dir.Path() / "file") << "x";
  EXPECT_FALSE(platform::CheckFileReadable((dir.Path() / "file").string()));
  const platform::TOsError noFolder =
      platform::CheckFileReadable((dir.Path() / "file" / "below").string());
  EXPECT_EQ(noFolder.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(noFolder.Code, ENOTDIR);
  // A folder opens for reading, yet is not a readable file.
  const platform::TOsError folder = platform::CheckFileReadable(dir.Path().string());
  EXPECT_EQ(folder.Kind, TErrorKind::ekOther);
  EXPECT_EQ(folder.Code, EISDIR);
  EXPECT_EQ(folder.Text, std::strerror(EISDIR));
}

// The meaning classes: a missing device at its opening is not there, during use it went away.
TEST(PlatformErrorTest, ErrnoClassesByMeaningAndPlace) {
  using platform::TErrorContext;
  const struct {
    int Code;
    TErrorContext Context;
    TErrorKind Kind;
  } cases[] = {
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
  for (const auto& c : cases) {
    const platform::TOsError e = platform::OsError(c.Code, c.Context);
    EXPECT_EQ(e.Kind, c.Kind) << c.Code;
    EXPECT_EQ(e.Code, c.Code);
    EXPECT_EQ(static_cast<bool>(e), c.Code != 0);
  }
}

TEST(PlatformFilesTest, CurrentFolderChangesOnlyToAFolderThatExists) {
  test::TTempDir dir;
  const fs::path before = fs::current_path();
  EXPECT_EQ(platform::SetCurrentFolder((dir.Path() / "none").string()).Kind,
            TErrorKind::ekNotFound);
  EXPECT_EQ(fs::current_path(), before);
  EXPECT_FALSE(platform::SetCurrentFolder(dir.Path().string()));
  EXPECT_EQ(fs::current_path(), fs::canonical(dir.Path()));
  ASSERT_FALSE(platform::SetCurrentFolder(before.string()));
}

TEST(PlatformFilesTest, AppendWaitsForAnotherWritersLockThenReportsTheOpenBusy) {
  test::TTempDir dir;
  const fs::path file = dir.Path() / "log.txt";
  EXPECT_FALSE(platform::AppendToFile(file.string(), "one\r\n", 0).Error);
  const int holder = ::open(file.c_str(), O_WRONLY | O_CLOEXEC);
  ASSERT_GE(holder, 0);
  ASSERT_EQ(::flock(holder, LOCK_EX), 0);
  const platform::TAppendResult held = platform::AppendToFile(file.string(), "two\r\n", 5);
  EXPECT_EQ(held.Step, platform::TAppendStep::asOpen);
  EXPECT_EQ(held.Error.Kind, TErrorKind::ekBusy);
  ::close(holder);
  EXPECT_FALSE(platform::AppendToFile(file.string(), "three\r\n", 5).Error);
  EXPECT_EQ(ReadWhole(file), "one\r\nthree\r\n");

  const platform::TAppendResult unnamed = platform::AppendToFile("", "x", 0);
  EXPECT_EQ(unnamed.Step, platform::TAppendStep::asOpen);
  EXPECT_EQ(unnamed.Error.Kind, TErrorKind::ekNotFound);
}

TEST(PlatformFilesTest, StandardErrorTakesTheWholeTextAndKeepsErrno) {
  int pipe[2];
  ASSERT_EQ(::pipe(pipe), 0);
  const int saved = ::dup(STDERR_FILENO);
  ::dup2(pipe[1], STDERR_FILENO);
  const std::string text(3000, 'e');
  errno = EDOM;
  platform::WriteStandardError(text);
  const int errnoAfter = errno;
  ::dup2(saved, STDERR_FILENO);
  ::close(saved);
  ::close(pipe[1]);
  std::string got(4096, '\0');
  std::size_t size = 0;
  for (ssize_t n; (n = ::read(pipe[0], got.data() + size, got.size() - size)) > 0;) size += n;
  ::close(pipe[0]);
  EXPECT_EQ(got.substr(0, size), text);
  EXPECT_EQ(errnoAfter, EDOM);
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
    } catch (const EOSError& e) {
      error = e;
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
  const auto seconds = [](int Y, int Mo, int D, int H, int Mi, int S) {
    return ((((static_cast<long long>(Y) * 13 + Mo) * 32 + D) * 24 + H) * 60 + Mi) * 60 + S;
  };
  const auto libraryNow = [&] {
    const time_t now = ::time(nullptr);
    tm local{};
    ::localtime_r(&now, &local);
    return seconds(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                   local.tm_min, local.tm_sec);
  };
  const long long before = libraryNow();
  const platform::TLocalTime t = platform::LocalTimeNow();
  const long long after = libraryNow();
  const long long ours = seconds(t.Year, t.Month, t.Day, t.Hour, t.Minute, t.Second);
  EXPECT_LE(before, ours);
  EXPECT_LE(ours, after);
  EXPECT_GE(t.Millisecond, 0);
  EXPECT_LT(t.Millisecond, 1000);
}

TEST(PlatformRuntimeTest, TypeNamesReadableAndTheTypeOfAnyException) {
  EXPECT_EQ(platform::DemangledTypeName(typeid(std::bad_alloc).name()), "std::bad_alloc");
  EXPECT_EQ(platform::DemangledTypeName("not a mangled name"), "not a mangled name");
  EXPECT_EQ(platform::DemangledTypeName(nullptr), "?");
  try {
    throw 42;
  } catch (...) {
    const std::type_info* type = platform::CurrentExceptionType();
    ASSERT_NE(type, nullptr);
    EXPECT_EQ(*type, typeid(int));
  }
}

TEST(PlatformSocketsTest, IPv4AddressTextsInTheirClassicForms) {
  std::uint32_t address = 0;
  ASSERT_TRUE(platform::SocketParseIPv4Address("10.0.0.7", address));
  EXPECT_EQ(platform::SocketAddressToText(address), "10.0.0.7");
  ASSERT_TRUE(platform::SocketParseIPv4Address("10.7", address));
  EXPECT_EQ(platform::SocketAddressToText(address), "10.0.0.7");
  for (const char* bad : {"", "10.0.0.256", "host", "255.255.255.255"})
    EXPECT_FALSE(platform::SocketParseIPv4Address(bad, address)) << bad;
}

TEST(PlatformSocketsTest, AHostIsKnownByOneAddressTextInWhicheverFormItIsGiven) {
  const struct {
    const char* Host;
    std::vector<std::string> Addresses;
  } cases[] = {
      {"127.0.0.1", {"127.0.0.1"}},
      {"::ffff:127.0.0.1", {"127.0.0.1"}},  // IPv4-mapped: the same IPv4 host
      {"::FFFF:7f00:2", {"127.0.0.2"}},
      {"::1", {"::1"}},
      {"::127.0.0.1", {"::127.0.0.1"}},  // IPv4-compatible is another (deprecated) address
      {"", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(platform::HostAddresses(c.Host), c.Addresses) << c.Host;
}

}  // namespace
}  // namespace probrix
