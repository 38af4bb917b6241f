// The Windows half of the platform layer, run under Wine in the cross build: cancel events,
// files with non-ASCII names, error kinds, process facts, serial device names and loopback
// sockets.

#include <gtest/gtest.h>
#include <winsock2.h>
#include <ws2tcpip.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <span>
#include <thread>
#include <vector>

#include "platform/platCancel.h"
#include "platform/platClock.h"
#include "platform/platCrashSignals.h"
#include "platform/platFiles.h"
#include "platform/platHostAddresses.h"
#include "platform/platProcess.h"
#include "platform/platSerialDevice.h"
#include "platform/platSerialPorts.h"
#include "platform/platSocketSweep.h"
#include "platform/platSockets.h"
#include "platform/win/platWin.h"
#include "support/TestSupport.h"

namespace probrix::platform {
namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

fs::path PathOf(const std::string& Utf8) {
  return fs::path(std::u8string(Utf8.begin(), Utf8.end()));
}

std::string ReadAll(const fs::path& Path) {
  std::ifstream in(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WinCancel, EventsAndScopes) {
  TCancelEvent a, b;
  EXPECT_FALSE(a.IsSet());
  EXPECT_EQ(WaitForAny({&a, &b}, 0), -1);
  b.Set();
  EXPECT_TRUE(b.IsSet());
  EXPECT_EQ(WaitForAny({&a, &b}, -1), 1) << "a set event ends an endless wait";
  b.Reset();
  EXPECT_FALSE(b.IsSet());
  // More events than a wait watches are refused at once, even with one of them set.
  TCancelEvent more[MaxWaitEvents + 1];
  const TCancelEvent* all[MaxWaitEvents + 1];
  for (std::size_t i = 0; i <= MaxWaitEvents; ++i) all[i] = &more[i];
  more[MaxWaitEvents - 1].Set();
  EXPECT_EQ(WaitForAnyOf(std::span(all, MaxWaitEvents), -1), static_cast<int>(MaxWaitEvents - 1));
  EXPECT_EQ(WaitForAnyOf(std::span(all, MaxWaitEvents + 1), -1), WaitRefused);

  EXPECT_FALSE(CancelRequested()) << "no event bound";
  {
    const TCancelScope outer(a);
    {
      const TCancelScope inner(b);
      a.Set();
      EXPECT_FALSE(CancelRequested()) << "the inner scope counts";
      EXPECT_TRUE(CancellableSleep(1));
    }
    EXPECT_TRUE(CancelRequested());
    EXPECT_FALSE(CancellableSleep(60000)) << "a set event ends the sleep at once";
  }
  EXPECT_FALSE(CancelRequested());
}

TEST(WinCancel, SetFromAnotherThreadEndsTheWait) {
  TCancelEvent stop;
  std::atomic<bool> slept{true};
  std::thread sleeper([&] {
    const TCancelScope scope(stop);
    slept = CancellableSleep(60000);
  });
  stop.Set();
  sleeper.join();
  EXPECT_FALSE(slept.load());
}

// Seconds since 1970 of a system time read as if it were UTC.
std::int64_t SecondsOf(const SYSTEMTIME& Time) {
  FILETIME file{};
  EXPECT_TRUE(::SystemTimeToFileTime(&Time, &file));
  const std::uint64_t ticks =
      (static_cast<std::uint64_t>(file.dwHighDateTime) << 32) | file.dwLowDateTime;
  return static_cast<std::int64_t>(ticks / 10000000) - 11644473600LL;
}

TEST(WinClock, TheCrashClockTellsTheLocalTime) {
  SYSTEMTIME utc{}, local{};
  ::GetSystemTime(&utc);
  ::GetLocalTime(&local);
  const std::int64_t now = SecondsOf(utc);
  // The two readings may lie a second apart: the offset is whole minutes.
  const std::int64_t offset = (SecondsOf(local) - now + 30) / 60 * 60;
  EXPECT_EQ(LocalUtcOffset(now), offset);

  TLocalTimeTable table;
  std::int64_t milliseconds = 0;
  EXPECT_FALSE(table.Now(milliseconds)) << "not before Prepare";
  table.Prepare();
  ASSERT_TRUE(table.Now(milliseconds));
  EXPECT_NEAR(static_cast<double>(milliseconds / 1000), static_cast<double>(now + offset), 5.0);
  EXPECT_EQ(table.UtcOffset(now), offset);
}

TEST(WinErrors, KindsOfSystemCodes) {
  struct Case {
    DWORD Code;
    TErrorKind Kind;
  };
  const Case cases[] = {{ERROR_FILE_NOT_FOUND, TErrorKind::ekNotFound},
                        {ERROR_PATH_NOT_FOUND, TErrorKind::ekNotFound},
                        {ERROR_ACCESS_DENIED, TErrorKind::ekAccessDenied},
                        {ERROR_SHARING_VIOLATION, TErrorKind::ekBusy},
                        {WSAETIMEDOUT, TErrorKind::ekTimedOut},
                        {ERROR_OPERATION_ABORTED, TErrorKind::ekCancelled},
                        {WSAECONNRESET, TErrorKind::ekGone},
                        {ERROR_INVALID_HANDLE, TErrorKind::ekGone},
                        {ERROR_BAD_COMMAND, TErrorKind::ekGone},
                        {ERROR_DEVICE_REMOVED, TErrorKind::ekGone},
                        {ERROR_NO_SUCH_DEVICE, TErrorKind::ekGone},
                        {WSAECONNREFUSED, TErrorKind::ekOther}};
  for (const Case& c : cases) {
    const TOsError e = WinError(c.Code);
    EXPECT_EQ(e.Kind, c.Kind) << c.Code;
    EXPECT_EQ(e.Code, static_cast<int>(c.Code));
    EXPECT_FALSE(e.Text.empty()) << c.Code;
    EXPECT_EQ(e.Text.find('\n'), std::string::npos) << "no line break of the system's text";
  }
  EXPECT_FALSE(WinError(ERROR_SUCCESS));
  for (const DWORD missing : {ERROR_DEV_NOT_EXIST, ERROR_DEVICE_REMOVED, ERROR_NO_SUCH_DEVICE})
    EXPECT_EQ(WinError(missing, TWinErrorContext::ecOpen).Kind, TErrorKind::ekNotFound)
        << missing << ": a device that is not there when it is opened";
}

// What a serial device's failures mean for the port above it.
TEST(WinErrors, SerialOpenUseAndTransferFailures) {
  struct Case {
    const char* What;
    TOsError Error;
    TErrorKind Kind;
    int Code;
  };
  const Case cases[] = {
      {"a second opener of a COM port", SerialOpenError(ERROR_ACCESS_DENIED), TErrorKind::ekBusy,
       5},
      {"a port that is not there", SerialOpenError(ERROR_FILE_NOT_FOUND), TErrorKind::ekNotFound,
       2},
      {"an adapter pulled out", SerialUseError(ERROR_ACCESS_DENIED), TErrorKind::ekGone, 5},
      {"an adapter pulled out", SerialUseError(ERROR_DEVICE_REMOVED), TErrorKind::ekGone, 1617},
      {"an adapter pulled out", SerialUseError(ERROR_NO_SUCH_DEVICE), TErrorKind::ekGone, 433},
      {"an adapter pulled out", SerialUseError(ERROR_BAD_COMMAND), TErrorKind::ekGone, 22},
      {"the driver's abort on a line fault",
       SerialTransferError(ERROR_OPERATION_ABORTED, false, CE_FRAME), TErrorKind::ekLineFault, 995},
      {"the program's own stop", SerialTransferError(ERROR_OPERATION_ABORTED, true, CE_FRAME),
       TErrorKind::ekCancelled, 995},
      {"a transfer of a device that went away", SerialTransferError(ERROR_DEVICE_REMOVED, false, 0),
       TErrorKind::ekGone, 1617}};
  for (const Case& c : cases) {
    EXPECT_EQ(c.Error.Kind, c.Kind) << c.What << " (" << c.Code << ")";
    EXPECT_EQ(c.Error.Code, c.Code) << c.What;
  }
  EXPECT_EQ(SerialTransferError(ERROR_OPERATION_ABORTED, false, CE_FRAME | CE_OVERRUN).Text,
            "Операция прервана драйвером порта из-за ошибки на линии: ошибка кадра, "
            "переполнение приёмника");
  EXPECT_EQ(SerialTransferError(ERROR_OPERATION_ABORTED, false, 0).Text,
            "Операция прервана драйвером порта из-за ошибки на линии")
      << "the faults may have been taken already";
}

TEST(WinText, Utf8AndWideRoundTrip) {
  const std::string text = "Порт COM5: ошибка №2";
  const std::wstring wide = WideFromUtf8(text);
  EXPECT_EQ(wide.size(), 20u);
  EXPECT_EQ(wide[0], L'\x041F');
  EXPECT_EQ(Utf8FromWide(wide), text);
  EXPECT_TRUE(WideFromUtf8("").empty());
}

TEST(WinFiles, AppendsToAFileWithACyrillicName) {
  const test::TTempDir dir;
  const std::string path = dir.Path().string() + "\\120000_000__результаты_поиска.log";
  ASSERT_EQ(AppendToFile(path, "first\r\n", 100).Step, TAppendStep::asNone);
  ASSERT_EQ(AppendToFile(path, std::string("\xCF\xEE\xF0\xF2\r\n"), 100).Step, TAppendStep::asNone);
  // The name on disk is the UTF-8 name, not its bytes read in another code page.
  ASSERT_TRUE(fs::exists(PathOf(path)));
  EXPECT_EQ(ReadAll(PathOf(path)), "first\r\n\xCF\xEE\xF0\xF2\r\n");
  EXPECT_FALSE(CheckFileReadable(path));

  const TAppendResult noFolder = AppendToFile(dir.Path().string() + "\\нет\\x.log", "x", 10);
  EXPECT_EQ(noFolder.Step, TAppendStep::asOpen);
  EXPECT_EQ(noFolder.Error.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(AppendToFile("", "x", 10).Step, TAppendStep::asOpen);
  EXPECT_EQ(CheckFileReadable(dir.Path().string() + "\\missing.ini").Kind, TErrorKind::ekNotFound);
}

TEST(WinFiles, Utf8NamesAsSystemPaths) {
  const test::TTempDir dir;
  const std::string folder = Utf8OfPath(dir.Path()) + "/Журнал";
  // The program's own names go to the system wide, and come back as they were.
  const fs::path path = PathOfUtf8(folder) / PathOfUtf8("поиск.log");
  EXPECT_EQ(path.filename().wstring(), L"\x043F\x043E\x0438\x0441\x043A.log");
  const std::string back = Utf8OfPath(path);
  EXPECT_EQ(back, folder + "/поиск.log");
  EXPECT_EQ(back.find('\\'), std::string::npos) << "one separator throughout";
  fs::create_directory(PathOf(folder));
  ASSERT_EQ(AppendToFile(back, "x", 100).Step, TAppendStep::asNone);
  EXPECT_TRUE(fs::exists(path));
}

TEST(WinFiles, CurrentFolderAndWritableFolders) {
  const test::TTempDir dir;
  const fs::path previous = fs::current_path();
  const std::string folder = dir.Path().string() + "\\Папка";
  fs::create_directory(PathOf(folder));
  ASSERT_FALSE(SetCurrentFolder(folder));
  EXPECT_EQ(fs::current_path(), fs::canonical(PathOf(folder)));
  fs::current_path(previous);
  EXPECT_EQ(SetCurrentFolder(folder + "\\missing").Kind, TErrorKind::ekNotFound);
  EXPECT_TRUE(IsFolderWritable(folder));
  EXPECT_FALSE(IsFolderWritable(folder + "\\missing"));
  EXPECT_TRUE(fs::is_empty(PathOf(folder))) << "the probe of writability leaves nothing behind";
}

TEST(WinProcess, ModuleEnvironmentAndCode) {
  const std::string module = ModuleFilePath();
  ASSERT_FALSE(module.empty());
  EXPECT_TRUE(fs::exists(PathOf(module)));
  EXPECT_EQ(PathOf(module).filename().string(), "test_windows.exe");

  ASSERT_TRUE(::SetEnvironmentVariableW(L"PROBRIX_TEST_VALUE", L"\x0422\x0435\x0441\x0442"));
  EXPECT_EQ(EnvironmentVariable("PROBRIX_TEST_VALUE"), "Тест");
  EXPECT_EQ(EnvironmentVariable("PROBRIX_TEST_UNSET_VALUE"), "");

  TCodeLocation where;
  ASSERT_TRUE(LocateCodeAddress(reinterpret_cast<std::uintptr_t>(&ModuleFilePath), where));
  EXPECT_EQ(where.ModuleFileName, "test_windows.exe");
  EXPECT_LT(where.ModuleBase, reinterpret_cast<std::uintptr_t>(&ModuleFilePath));
  EXPECT_FALSE(LocateCodeAddress(0, where));
  EXPECT_EQ(CurrentThreadId(), ::GetCurrentThreadId());
}

TEST(WinSerial, TheDriversHighestRateIsAFlag) {
  EXPECT_EQ(BaudRateOfFlag(BAUD_9600), 9600u);
  EXPECT_EQ(BaudRateOfFlag(BAUD_115200), 115200u);
  EXPECT_EQ(BaudRateOfFlag(BAUD_128K), 128000u) << "not 0x10000";
  EXPECT_EQ(BaudRateOfFlag(BAUD_USER), 0u) << "any rate";
  EXPECT_EQ(BaudRateOfFlag(0), 0u);
}

TEST(WinSerial, DeviceNamesAndAMissingPort) {
  EXPECT_EQ(SerialDevicePathOf("COM10"), "\\\\.\\COM10");
  EXPECT_EQ(SerialDevicePathOf("com3"), "\\\\.\\com3");
  EXPECT_EQ(SerialDevicePathOf("\\\\tsclient\\COM1"), "\\\\tsclient\\COM1");
  // COM names are one name in any case; so are the paths of the device namespace.
  EXPECT_TRUE(SameSerialPortName("COM3", "com3"));
  EXPECT_TRUE(SameSerialPortName("\\\\tsclient\\COM1", "\\\\TSCLIENT\\com1"));
  EXPECT_FALSE(SameSerialPortName("COM3", "COM30"));
  EXPECT_FALSE(SameSerialPortName("COM3", "COM3 "));

  TOsError error;
  std::string holder = "stale";
  EXPECT_EQ(TSerialDevice::Open("\\\\.\\COM231", error, holder), nullptr);
  EXPECT_EQ(error.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(error.Code, 2) << "the system's own code for a missing port";
  EXPECT_TRUE(holder.empty());

  // The system answers "access denied" to a later opener of a port that another program
  // holds, as it does to the opener of a folder: that is a held port, not missing rights.
  const test::TTempDir folder;
  EXPECT_EQ(TSerialDevice::Open(folder.Path().string(), error, holder), nullptr);
  EXPECT_EQ(error.Code, ERROR_ACCESS_DENIED);
  EXPECT_EQ(error.Kind, TErrorKind::ekBusy);

  for (const std::string& name : SystemSerialPortNames()) {
    EXPECT_FALSE(name.empty());
    for (const char c : name) EXPECT_FALSE(c >= 'a' && c <= 'z') << name << " is upper-cased";
  }
}

// A loopback server of the test's own, through Winsock directly.
class WinSockets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SocketLibraryStartup());
    Listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(Listener_, INVALID_SOCKET);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(Listener_, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(::listen(Listener_, 4), 0);
    int length = sizeof(a);
    ASSERT_EQ(::getsockname(Listener_, reinterpret_cast<sockaddr*>(&a), &length), 0);
    Port_ = ::ntohs(a.sin_port);
  }
  void TearDown() override {
    if (Peer_ != INVALID_SOCKET) ::closesocket(Peer_);
    if (Client_ != InvalidSocketHandle) SocketCloseHandle(Client_);
    ::closesocket(Listener_);
    SocketLibraryCleanup();
  }
  // Connects a client through the platform layer and accepts it.
  void Connect() {
    TSockAddrBytes address;
    ASSERT_FALSE(SocketResolve("127.0.0.1", Port_, address));
    ASSERT_FALSE(SocketCreate(AddressFamilyIPv4, SOCK_STREAM, IPPROTO_TCP, Client_));
    ASSERT_FALSE(SocketConnect(Client_, address, 2000));
    Peer_ = ::accept(Listener_, nullptr, nullptr);
    ASSERT_NE(Peer_, INVALID_SOCKET);
  }

  SOCKET Listener_ = INVALID_SOCKET;
  SOCKET Peer_ = INVALID_SOCKET;
  TSocketHandle Client_ = InvalidSocketHandle;
  std::uint16_t Port_ = 0;
};

TEST_F(WinSockets, SendReceiveTimeoutAndClose) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  std::int32_t sent = 0;
  ASSERT_FALSE(SocketSend(Client_, "\x00\x01\x02", 3, 1000, sent));
  EXPECT_EQ(sent, 3);
  char buffer[16] = {};
  ASSERT_EQ(::recv(Peer_, buffer, sizeof(buffer), 0), 3);
  EXPECT_EQ(std::memcmp(buffer, "\x00\x01\x02", 3), 0);

  std::int32_t received = -1;
  EXPECT_FALSE(SocketRecvAvailable(Client_, buffer, sizeof(buffer), received));
  EXPECT_EQ(received, 0) << "nothing there yet";
  const TOsError silent = SocketRecv(Client_, buffer, sizeof(buffer), 30, received);
  EXPECT_EQ(silent.Kind, TErrorKind::ekTimedOut);
  EXPECT_EQ(received, 0);

  ASSERT_EQ(::send(Peer_, "reply", 5, 0), 5);
  ASSERT_FALSE(SocketRecv(Client_, buffer, sizeof(buffer), 2000, received));
  EXPECT_EQ(std::string(buffer, received), "reply");
  std::int32_t waiting = -1;
  EXPECT_FALSE(SocketAvailable(Client_, waiting));
  EXPECT_EQ(waiting, 0);

  TSockAddrBytes peer;
  ASSERT_FALSE(SocketPeerAddress(Client_, peer));
  std::uint16_t family = 0;
  std::memcpy(&family, peer.data(), sizeof(family));
  EXPECT_EQ(family, AddressFamilyIPv4);

  ::shutdown(Peer_, SD_BOTH);
  const TOsError closed = SocketRecv(Client_, buffer, sizeof(buffer), 2000, received);
  EXPECT_EQ(closed.Kind, TErrorKind::ekGone);
  EXPECT_EQ(closed.Code, 0) << "an orderly close by the peer";
}

TEST_F(WinSockets, CancelEndsAReceiveAndAConnectIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  TCancelEvent stop;
  TOsError result;
  std::thread receiver([&] {
    const TCancelScope scope(stop);
    char buffer[8];
    std::int32_t received = 0;
    result = SocketRecv(Client_, buffer, sizeof(buffer), 0, received);
  });
  stop.Set();
  receiver.join();
  EXPECT_EQ(result.Kind, TErrorKind::ekCancelled) << "a receive without limit ends at the stop";

  // A port nobody listens on: the listener's port once it is closed.
  ::closesocket(Listener_);
  Listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  TSockAddrBytes address;
  ASSERT_FALSE(SocketResolve("127.0.0.1", Port_, address));
  TSocketHandle second = InvalidSocketHandle;
  ASSERT_FALSE(SocketCreate(AddressFamilyIPv4, SOCK_STREAM, IPPROTO_TCP, second));
  const TOsError refused = SocketConnect(second, address, 2000);
  SocketCloseHandle(second);
  EXPECT_TRUE(refused);
  EXPECT_NE(refused.Kind, TErrorKind::ekCancelled);
}

TEST(WinSocketSweep, ListeningHostsAcceptTheOthersRefuseAndAStopEndsIt) {
  ASSERT_FALSE(SocketLibraryStartup());
  // Listeners on 127.0.0.5 and 127.0.0.9 at one port.
  std::vector<SOCKET> Listeners;
  std::uint16_t Port = 0;
  for (const char* Host : {"127.0.0.5", "127.0.0.9"}) {
    const SOCKET L = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_port = ::htons(Port);
    ::inet_pton(AF_INET, Host, &A.sin_addr);
    ASSERT_EQ(::bind(L, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0) << Host;
    ASSERT_EQ(::listen(L, 16), 0);
    int Length = sizeof(A);
    ASSERT_EQ(::getsockname(L, reinterpret_cast<sockaddr*>(&A), &Length), 0);
    Port = ::ntohs(A.sin_port);
    Listeners.push_back(L);
  }
  std::vector<TSockAddrBytes> Hosts;
  for (int I = 2; I <= 12; ++I) {
    TSockAddrBytes Address;
    ASSERT_FALSE(SocketResolve("127.0.0." + std::to_string(I), Port, Address));
    Hosts.push_back(Address);
  }
  std::vector<int> Seen(Hosts.size(), 0);
  std::vector<TConnectOutcome> Outcomes(Hosts.size(), TConnectOutcome::coFailed);
  const auto Record = [&](std::size_t I, TConnectOutcome O, const TOsError&) {
    ++Seen[I];
    Outcomes[I] = O;
  };
  EXPECT_FALSE(SweepConnect(Hosts, 2000, 0, Record));
  for (std::size_t I = 0; I < Hosts.size(); ++I) {
    EXPECT_EQ(Seen[I], 1) << I;
    const bool Listening = I == 3 || I == 7;
    EXPECT_EQ(Outcomes[I], Listening ? TConnectOutcome::coAccepted : TConnectOutcome::coRefused)
        << "127.0.0." << I + 2;
  }

  TCancelEvent Stop;
  const TCancelScope Scope(Stop);
  Stop.Set();
  std::fill(Seen.begin(), Seen.end(), 0);
  EXPECT_EQ(SweepConnect(Hosts, 2000, 0, Record).Kind, TErrorKind::ekCancelled);
  EXPECT_EQ(std::count(Seen.begin(), Seen.end(), 0), static_cast<long>(Hosts.size()));
  for (const SOCKET L : Listeners) ::closesocket(L);
  SocketLibraryCleanup();
}

TEST(WinSocketText, AddressesAndNames) {
  std::uint32_t address = 0;
  EXPECT_TRUE(SocketParseIPv4Address("10.0.0.7", address));
  EXPECT_EQ(SocketAddressToText(address), "10.0.0.7");
  EXPECT_FALSE(SocketParseIPv4Address("", address));
  EXPECT_FALSE(SocketParseIPv4Address("not an address", address));
  ASSERT_FALSE(SocketLibraryStartup());
  TSockAddrBytes six;
  ASSERT_FALSE(SocketResolve("::1", 502, six));
  EXPECT_EQ(SocketIPv6AddressText(six), "::1");
  // An IPv4-mapped address is its IPv4 host.
  EXPECT_EQ(HostAddresses("::ffff:127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(HostAddresses("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(SocketNetToHostPort(SocketHostToNetPort(502)), 502);
  SocketLibraryCleanup();
}

}  // namespace
}  // namespace probrix::platform
