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
  std::ifstream In(Path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(In), {});
}

TEST(WinCancel, EventsAndScopes) {
  TCancelEvent A, B;
  EXPECT_FALSE(A.IsSet());
  EXPECT_EQ(WaitForAny({&A, &B}, 0), -1);
  B.Set();
  EXPECT_TRUE(B.IsSet());
  EXPECT_EQ(WaitForAny({&A, &B}, -1), 1) << "a set event ends an endless wait";
  B.Reset();
  EXPECT_FALSE(B.IsSet());
  // More events than a wait watches are refused at once, even with one of them set.
  TCancelEvent More[MaxWaitEvents + 1];
  const TCancelEvent* All[MaxWaitEvents + 1];
  for (std::size_t I = 0; I <= MaxWaitEvents; ++I) All[I] = &More[I];
  More[MaxWaitEvents - 1].Set();
  EXPECT_EQ(WaitForAnyOf(std::span(All, MaxWaitEvents), -1), static_cast<int>(MaxWaitEvents - 1));
  EXPECT_EQ(WaitForAnyOf(std::span(All, MaxWaitEvents + 1), -1), WaitRefused);

  EXPECT_FALSE(CancelRequested()) << "no event bound";
  {
    const TCancelScope Outer(A);
    {
      const TCancelScope Inner(B);
      A.Set();
      EXPECT_FALSE(CancelRequested()) << "the inner scope counts";
      EXPECT_TRUE(CancellableSleep(1));
    }
    EXPECT_TRUE(CancelRequested());
    EXPECT_FALSE(CancellableSleep(60000)) << "a set event ends the sleep at once";
  }
  EXPECT_FALSE(CancelRequested());
}

TEST(WinCancel, SetFromAnotherThreadEndsTheWait) {
  TCancelEvent Stop;
  std::atomic<bool> Slept{true};
  std::thread Sleeper([&] {
    const TCancelScope Scope(Stop);
    Slept = CancellableSleep(60000);
  });
  Stop.Set();
  Sleeper.join();
  EXPECT_FALSE(Slept.load());
}

// Seconds since 1970 of a system time read as if it were UTC.
std::int64_t SecondsOf(const SYSTEMTIME& Time) {
  FILETIME File{};
  EXPECT_TRUE(::SystemTimeToFileTime(&Time, &File));
  const std::uint64_t Ticks =
      (static_cast<std::uint64_t>(File.dwHighDateTime) << 32) | File.dwLowDateTime;
  return static_cast<std::int64_t>(Ticks / 10000000) - 11644473600LL;
}

TEST(WinClock, TheCrashClockTellsTheLocalTime) {
  SYSTEMTIME Utc{}, Local{};
  ::GetSystemTime(&Utc);
  ::GetLocalTime(&Local);
  const std::int64_t Now = SecondsOf(Utc);
  // The two readings may lie a second apart: the offset is whole minutes.
  const std::int64_t Offset = (SecondsOf(Local) - Now + 30) / 60 * 60;
  EXPECT_EQ(LocalUtcOffset(Now), Offset);

  TLocalTimeTable Table;
  std::int64_t Milliseconds = 0;
  EXPECT_FALSE(Table.Now(Milliseconds)) << "not before Prepare";
  Table.Prepare();
  ASSERT_TRUE(Table.Now(Milliseconds));
  EXPECT_NEAR(static_cast<double>(Milliseconds / 1000), static_cast<double>(Now + Offset), 5.0);
  EXPECT_EQ(Table.UtcOffset(Now), Offset);
}

TEST(WinErrors, KindsOfSystemCodes) {
  struct Case {
    DWORD Code;
    TErrorKind Kind;
  };
  const Case Cases[] = {{ERROR_FILE_NOT_FOUND, TErrorKind::ekNotFound},
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
  for (const Case& C : Cases) {
    const TOsError E = WinError(C.Code);
    EXPECT_EQ(E.Kind, C.Kind) << C.Code;
    EXPECT_EQ(E.Code, static_cast<int>(C.Code));
    EXPECT_FALSE(E.Text.empty()) << C.Code;
    EXPECT_EQ(E.Text.find('\n'), std::string::npos) << "no line break of the system's text";
  }
  EXPECT_FALSE(WinError(ERROR_SUCCESS));
  for (const DWORD Missing : {ERROR_DEV_NOT_EXIST, ERROR_DEVICE_REMOVED, ERROR_NO_SUCH_DEVICE})
    EXPECT_EQ(WinError(Missing, TWinErrorContext::ecOpen).Kind, TErrorKind::ekNotFound)
        << Missing << ": a device that is not there when it is opened";
}

// What a serial device's failures mean for the port above it.
TEST(WinErrors, SerialOpenUseAndTransferFailures) {
  struct Case {
    const char* What;
    TOsError Error;
    TErrorKind Kind;
    int Code;
  };
  const Case Cases[] = {
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
  for (const Case& C : Cases) {
    EXPECT_EQ(C.Error.Kind, C.Kind) << C.What << " (" << C.Code << ")";
    EXPECT_EQ(C.Error.Code, C.Code) << C.What;
  }
  EXPECT_EQ(SerialTransferError(ERROR_OPERATION_ABORTED, false, CE_FRAME | CE_OVERRUN).Text,
            "Операция прервана драйвером порта из-за ошибки на линии: ошибка кадра, "
            "переполнение приёмника");
  EXPECT_EQ(SerialTransferError(ERROR_OPERATION_ABORTED, false, 0).Text,
            "Операция прервана драйвером порта из-за ошибки на линии")
      << "the faults may have been taken already";
}

TEST(WinText, Utf8AndWideRoundTrip) {
  const std::string Text = "Порт COM5: ошибка №2";
  const std::wstring Wide = WideFromUtf8(Text);
  EXPECT_EQ(Wide.size(), 20u);
  EXPECT_EQ(Wide[0], L'\x041F');
  EXPECT_EQ(Utf8FromWide(Wide), Text);
  EXPECT_TRUE(WideFromUtf8("").empty());
}

TEST(WinFiles, AppendsToAFileWithACyrillicName) {
  const test::TTempDir Dir;
  const std::string Path = Dir.Path().string() + "\\120000_000__результаты_поиска.log";
  ASSERT_EQ(AppendToFile(Path, "first\r\n", 100).Step, TAppendStep::asNone);
  ASSERT_EQ(AppendToFile(Path, std::string("\xCF\xEE\xF0\xF2\r\n"), 100).Step, TAppendStep::asNone);
  // The name on disk is the UTF-8 name, not its bytes read in another code page.
  ASSERT_TRUE(fs::exists(PathOf(Path)));
  EXPECT_EQ(ReadAll(PathOf(Path)), "first\r\n\xCF\xEE\xF0\xF2\r\n");
  EXPECT_FALSE(CheckFileReadable(Path));

  const TAppendResult NoFolder = AppendToFile(Dir.Path().string() + "\\нет\\x.log", "x", 10);
  EXPECT_EQ(NoFolder.Step, TAppendStep::asOpen);
  EXPECT_EQ(NoFolder.Error.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(AppendToFile("", "x", 10).Step, TAppendStep::asOpen);
  EXPECT_EQ(CheckFileReadable(Dir.Path().string() + "\\missing.ini").Kind, TErrorKind::ekNotFound);
}

TEST(WinFiles, Utf8NamesAsSystemPaths) {
  const test::TTempDir Dir;
  const std::string Folder = Utf8OfPath(Dir.Path()) + "/Журнал";
  // The program's own names go to the system wide, and come back as they were.
  const fs::path Path = PathOfUtf8(Folder) / PathOfUtf8("поиск.log");
  EXPECT_EQ(Path.filename().wstring(), L"\x043F\x043E\x0438\x0441\x043A.log");
  const std::string Back = Utf8OfPath(Path);
  EXPECT_EQ(Back, Folder + "/поиск.log");
  EXPECT_EQ(Back.find('\\'), std::string::npos) << "one separator throughout";
  fs::create_directory(PathOf(Folder));
  ASSERT_EQ(AppendToFile(Back, "x", 100).Step, TAppendStep::asNone);
  EXPECT_TRUE(fs::exists(Path));
}

TEST(WinFiles, CurrentFolderAndWritableFolders) {
  const test::TTempDir Dir;
  const fs::path Previous = fs::current_path();
  const std::string Folder = Dir.Path().string() + "\\Папка";
  fs::create_directory(PathOf(Folder));
  ASSERT_FALSE(SetCurrentFolder(Folder));
  EXPECT_EQ(fs::current_path(), fs::canonical(PathOf(Folder)));
  fs::current_path(Previous);
  EXPECT_EQ(SetCurrentFolder(Folder + "\\missing").Kind, TErrorKind::ekNotFound);
  EXPECT_TRUE(IsFolderWritable(Folder));
  EXPECT_FALSE(IsFolderWritable(Folder + "\\missing"));
  EXPECT_TRUE(fs::is_empty(PathOf(Folder))) << "the probe of writability leaves nothing behind";
}

TEST(WinProcess, ModuleEnvironmentAndCode) {
  const std::string Module = ModuleFilePath();
  ASSERT_FALSE(Module.empty());
  EXPECT_TRUE(fs::exists(PathOf(Module)));
  EXPECT_EQ(PathOf(Module).filename().string(), "test_windows.exe");

  ASSERT_TRUE(::SetEnvironmentVariableW(L"PROBRIX_TEST_VALUE", L"\x0422\x0435\x0441\x0442"));
  EXPECT_EQ(EnvironmentVariable("PROBRIX_TEST_VALUE"), "Тест");
  EXPECT_EQ(EnvironmentVariable("PROBRIX_TEST_UNSET_VALUE"), "");

  TCodeLocation Where;
  ASSERT_TRUE(LocateCodeAddress(reinterpret_cast<std::uintptr_t>(&ModuleFilePath), Where));
  EXPECT_EQ(Where.ModuleFileName, "test_windows.exe");
  EXPECT_LT(Where.ModuleBase, reinterpret_cast<std::uintptr_t>(&ModuleFilePath));
  EXPECT_FALSE(LocateCodeAddress(0, Where));
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

  TOsError Error;
  std::string Holder = "stale";
  EXPECT_EQ(TSerialDevice::Open("\\\\.\\COM231", Error, Holder), nullptr);
  EXPECT_EQ(Error.Kind, TErrorKind::ekNotFound);
  EXPECT_EQ(Error.Code, 2) << "the system's own code for a missing port";
  EXPECT_TRUE(Holder.empty());

  // The system answers "access denied" to a later opener of a port that another program
  // holds, as it does to the opener of a folder: that is a held port, not missing rights.
  const test::TTempDir Folder;
  EXPECT_EQ(TSerialDevice::Open(Folder.Path().string(), Error, Holder), nullptr);
  EXPECT_EQ(Error.Code, ERROR_ACCESS_DENIED);
  EXPECT_EQ(Error.Kind, TErrorKind::ekBusy);

  for (const std::string& Name : SystemSerialPortNames()) {
    EXPECT_FALSE(Name.empty());
    for (const char C : Name) EXPECT_FALSE(C >= 'a' && C <= 'z') << Name << " is upper-cased";
  }
}

// A loopback server of the test's own, through Winsock directly.
class WinSockets : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(SocketLibraryStartup());
    Listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    ASSERT_NE(Listener_, INVALID_SOCKET);
    sockaddr_in A{};
    A.sin_family = AF_INET;
    A.sin_addr.s_addr = ::htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(Listener_, reinterpret_cast<sockaddr*>(&A), sizeof(A)), 0);
    ASSERT_EQ(::listen(Listener_, 4), 0);
    int Length = sizeof(A);
    ASSERT_EQ(::getsockname(Listener_, reinterpret_cast<sockaddr*>(&A), &Length), 0);
    Port_ = ::ntohs(A.sin_port);
  }
  void TearDown() override {
    if (Peer_ != INVALID_SOCKET) ::closesocket(Peer_);
    if (Client_ != InvalidSocketHandle) SocketCloseHandle(Client_);
    ::closesocket(Listener_);
    SocketLibraryCleanup();
  }
  // Connects a client through the platform layer and accepts it.
  void Connect() {
    TSockAddrBytes Address;
    ASSERT_FALSE(SocketResolve("127.0.0.1", Port_, Address));
    ASSERT_FALSE(SocketCreate(AddressFamilyIPv4, SOCK_STREAM, IPPROTO_TCP, Client_));
    ASSERT_FALSE(SocketConnect(Client_, Address, 2000));
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
  std::int32_t Sent = 0;
  ASSERT_FALSE(SocketSend(Client_, "\x00\x01\x02", 3, 1000, Sent));
  EXPECT_EQ(Sent, 3);
  char Buffer[16] = {};
  ASSERT_EQ(::recv(Peer_, Buffer, sizeof(Buffer), 0), 3);
  EXPECT_EQ(std::memcmp(Buffer, "\x00\x01\x02", 3), 0);

  std::int32_t Received = -1;
  EXPECT_FALSE(SocketRecvAvailable(Client_, Buffer, sizeof(Buffer), Received));
  EXPECT_EQ(Received, 0) << "nothing there yet";
  const TOsError Silent = SocketRecv(Client_, Buffer, sizeof(Buffer), 30, Received);
  EXPECT_EQ(Silent.Kind, TErrorKind::ekTimedOut);
  EXPECT_EQ(Received, 0);

  ASSERT_EQ(::send(Peer_, "reply", 5, 0), 5);
  ASSERT_FALSE(SocketRecv(Client_, Buffer, sizeof(Buffer), 2000, Received));
  EXPECT_EQ(std::string(Buffer, Received), "reply");
  std::int32_t Waiting = -1;
  EXPECT_FALSE(SocketAvailable(Client_, Waiting));
  EXPECT_EQ(Waiting, 0);

  TSockAddrBytes Peer;
  ASSERT_FALSE(SocketPeerAddress(Client_, Peer));
  std::uint16_t Family = 0;
  std::memcpy(&Family, Peer.data(), sizeof(Family));
  EXPECT_EQ(Family, AddressFamilyIPv4);

  ::shutdown(Peer_, SD_BOTH);
  const TOsError Closed = SocketRecv(Client_, Buffer, sizeof(Buffer), 2000, Received);
  EXPECT_EQ(Closed.Kind, TErrorKind::ekGone);
  EXPECT_EQ(Closed.Code, 0) << "an orderly close by the peer";
}

TEST_F(WinSockets, CancelEndsAReceiveAndAConnectIsRefused) {
  ASSERT_NO_FATAL_FAILURE(Connect());
  TCancelEvent Stop;
  TOsError Result;
  std::thread Receiver([&] {
    const TCancelScope Scope(Stop);
    char Buffer[8];
    std::int32_t Received = 0;
    Result = SocketRecv(Client_, Buffer, sizeof(Buffer), 0, Received);
  });
  Stop.Set();
  Receiver.join();
  EXPECT_EQ(Result.Kind, TErrorKind::ekCancelled) << "a receive without limit ends at the stop";

  // A port nobody listens on: the listener's port once it is closed.
  ::closesocket(Listener_);
  Listener_ = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  TSockAddrBytes Address;
  ASSERT_FALSE(SocketResolve("127.0.0.1", Port_, Address));
  TSocketHandle Second = InvalidSocketHandle;
  ASSERT_FALSE(SocketCreate(AddressFamilyIPv4, SOCK_STREAM, IPPROTO_TCP, Second));
  const TOsError Refused = SocketConnect(Second, Address, 2000);
  SocketCloseHandle(Second);
  EXPECT_TRUE(Refused);
  EXPECT_NE(Refused.Kind, TErrorKind::ekCancelled);
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
  std::uint32_t Address = 0;
  EXPECT_TRUE(SocketParseIPv4Address("10.0.0.7", Address));
  EXPECT_EQ(SocketAddressToText(Address), "10.0.0.7");
  EXPECT_FALSE(SocketParseIPv4Address("", Address));
  EXPECT_FALSE(SocketParseIPv4Address("not an address", Address));
  ASSERT_FALSE(SocketLibraryStartup());
  TSockAddrBytes Six;
  ASSERT_FALSE(SocketResolve("::1", 502, Six));
  EXPECT_EQ(SocketIPv6AddressText(Six), "::1");
  // An IPv4-mapped address is its IPv4 host.
  EXPECT_EQ(HostAddresses("::ffff:127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(HostAddresses("127.0.0.1"), std::vector<std::string>{"127.0.0.1"});
  EXPECT_EQ(SocketNetToHostPort(SocketHostToNetPort(502)), 502);
  SocketLibraryCleanup();
}

}  // namespace
}  // namespace probrix::platform
