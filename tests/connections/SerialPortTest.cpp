#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <filesystem>
#include <fstream>
#include <thread>

#include "SerialTestPty.h"
#include "connections/uSerialPort.h"
#include "foundation/appExceptions.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TTestPty;
using test::WaitFor;

// Exposes the worker threads to the tests.
class TWatchedPort : public TSerialPort {
 public:
  ~TWatchedPort() override {
    try {
      Close();
    } catch (...) {
    }
  }
  using TSerialPort::EventQueue_;
  using TSerialPort::EventThread_;
};

// The process's threads. A runtime may start helpers of its own with the first thread
// (ThreadSanitizer does), so one is started first and those helpers are in every count.
int ThreadCount() {
  static const bool Settled = [] {
    std::thread([] {}).join();
    return true;
  }();
  static_cast<void>(Settled);
  int N = 0;
  for ([[maybe_unused]] auto& E : std::filesystem::directory_iterator("/proc/self/task")) ++N;
  return N;
}

TEST(SerialPortTest, NewPortDefaultsAndClosedPortErrors) {
  TSerialPort Port;
  EXPECT_EQ(Port.PortName(), "COM1");
  EXPECT_EQ(Port.BaudRate(), 9600u);
  EXPECT_EQ(Port.ReadTimeout(), -1);
  EXPECT_EQ(Port.WriteTimeout(), -1);
  EXPECT_EQ(TSerialPort::InfiniteTimeout, -1);
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_FALSE(Port.DtrEnable());
  EXPECT_EQ(Port.DataBits(), 8);
  EXPECT_EQ(Port.ParityReplace(), 63);
  EXPECT_EQ(Port.EofChar(), 26);

  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { Port.BytesToRead(); }).Message,
            "Порт закрыт. Нельзя получить значение свойства BytesToRead.");
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { (void)Port.BreakState(); }).Message,
            "Порт закрыт. Нельзя получить значение свойства BreakState.");
  std::uint8_t Buf[4];
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { Port.Read(Buf, 4); }).Message,
            "Порт закрыт. Нельзя выполнить операцию Read.");
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { Port.Write(Buf, 4); }).Message,
            "Порт закрыт. Нельзя выполнить операцию Write.");
  // Count 0 does not touch the port, open or not; closing a closed port does nothing.
  EXPECT_EQ(Port.Read(Buf, 0), 0);
  EXPECT_NO_THROW(Port.Write(Buf, 0));
  EXPECT_NO_THROW(Port.Close());
}

TEST(SerialPortTest, PropertyChecksWhileClosed) {
  TSerialPort Port;
  Port.SetPortName("  ttyUSB3 \t");
  EXPECT_EQ(Port.PortName(), "ttyUSB3");

  EXPECT_EQ(test::Caught<EPropertyError>([&] { Port.SetBaudRate(0); }).Message,
            "Неверное значение свойства BaudRate.");
  EXPECT_EQ(Port.BaudRate(), 9600u);
  Port.SetBaudRate(4000000);  // no checks while closed
  EXPECT_EQ(Port.BaudRate(), 4000000u);

  Port.SetReadTimeout(0);
  EXPECT_EQ(Port.ReadTimeout(), 0);
  Port.SetReadTimeout(-1);
  EXPECT_EQ(Port.ReadTimeout(), -1);
  EXPECT_EQ(test::Caught<ERangeError>([&] { Port.SetReadTimeout(-2); }).Message,
            "Ошибка при установке значения свойства ReadTimeout. Время ожидания должно быть "
            "больше или равно -1.");
  EXPECT_EQ(Port.ReadTimeout(), -1);

  Port.SetWriteTimeout(1);
  EXPECT_EQ(Port.WriteTimeout(), 1);
  Port.SetWriteTimeout(-1);
  EXPECT_EQ(Port.WriteTimeout(), -1);
  EXPECT_EQ(test::Caught<ERangeError>([&] { Port.SetWriteTimeout(0); }).Message,
            "Ошибка при установке значения свойства WriteTimeout. Время ожидания должно быть "
            "положительным числом или -1.");
  EXPECT_THROW(Port.SetWriteTimeout(-5), ERangeError);
  EXPECT_EQ(Port.WriteTimeout(), -1);

  Port.SetDtrEnable(true);
  EXPECT_TRUE(Port.DtrEnable());
}

TEST(SerialPortTest, DevicePathRule) {
  EXPECT_EQ(TSerialPort::DevicePathOf("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TSerialPort::DevicePathOf("COM7"), "/dev/COM7");
  EXPECT_EQ(TSerialPort::DevicePathOf("/dev/pts/4"), "/dev/pts/4");
  EXPECT_EQ(TSerialPort::DevicePathOf("./vport"), "./vport");
}

TEST(SerialPortTest, OpenFailuresLeaveThePortClosed) {
  TSerialPort Port;
  Port.SetPortName("ttyProbrixMissing7");
  const auto Missing = test::Caught<EInOutError>([&] { Port.Open(); });
  EXPECT_EQ(Missing.ErrorCode, ENOENT);
  EXPECT_EQ(Missing.Message, " Порт ttyProbrixMissing7 не существует");
  EXPECT_FALSE(Port.IsOpen());

  // A plain file is not a serial device.
  test::TTempDir Dir;
  const auto File = Dir.Path() / "plain";
  std::ofstream(File) << "x";
  Port.SetPortName(File.string());
  const auto NotSerial = test::Caught<EInvalidArgument>([&] { Port.Open(); });
  EXPECT_EQ(NotSerial.Message, "Порт " + UpperCaseAscii(File.string()) + " не существует");
  EXPECT_FALSE(Port.IsOpen());

  // A character device without a line: the line cannot be programmed.
  Port.SetPortName("/dev/null");
  const auto NoLine = test::Caught<EInOutError>([&] { Port.Open(); });
  EXPECT_EQ(NoLine.ErrorCode, ENOTTY);
  EXPECT_EQ(NoLine.Message.rfind("Порт /dev/null. ", 0), 0u) << NoLine.Message;
  EXPECT_FALSE(Port.IsOpen());
}

class SerialPortPtyTest : public ::testing::Test {
 protected:
  void OpenPort(std::int32_t ReadTimeout = 2000) {
    Port.SetPortName(Pty.SlavePath());
    Port.SetReadTimeout(ReadTimeout);
    Port.SetWriteTimeout(2000);
    Port.Open();
  }
  TTestPty Pty;
  TWatchedPort Port;
};

TEST_F(SerialPortPtyTest, OpenProgramsARawLineAndRefusesSecondOpen) {
  Port.SetBaudRate(250000);  // not a standard rate
  OpenPort();
  ASSERT_TRUE(Port.IsOpen());
  EXPECT_TRUE(Pty.SlaveIsRaw());
  EXPECT_EQ(Pty.SlaveSpeed(), 250000u);
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { Port.Open(); }).Message, "Порт уже открыт");
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { Port.SetPortName("ttyS0"); }).Message,
            "Порт открыт. Нельзя установить значение свойства PortName.");
  EXPECT_EQ(Port.PortName(), Pty.SlavePath());
  EXPECT_FALSE(Port.BreakState());
  EXPECT_THROW(Port.SetBaudRate(0), EPropertyError);
  EXPECT_TRUE(Port.IsOpen());

  // A new rate while open reopens the port with it.
  Port.SetBaudRate(19200);
  EXPECT_TRUE(Port.IsOpen());
  EXPECT_EQ(Pty.SlaveSpeed(), 19200u);
}

TEST_F(SerialPortPtyTest, PortHeldByAnotherOpenerIsAccessDenied) {
  OpenPort();
  TSerialPort Other;
  Other.SetPortName(Pty.SlavePath());
  const auto Denied = test::Caught<EInOutError>([&] { Other.Open(); });
  EXPECT_TRUE(Denied.ErrorCode == EBUSY || Denied.ErrorCode == EWOULDBLOCK) << Denied.ErrorCode;
  EXPECT_EQ(Denied.Message, " Доступ к порту " + Pty.SlavePath() +
                                " закрыт. Возможно он используется другой программой.");
  EXPECT_FALSE(Other.IsOpen());

  // Once released, the port can be taken again.
  Port.Close();
  EXPECT_NO_THROW(Other.Open());
  EXPECT_TRUE(Other.IsOpen());
}

TEST_F(SerialPortPtyTest, ReadReturnsWhatIsWaitingAndWriteReachesTheDevice) {
  // No limit: a read that waited for the full count would never return.
  OpenPort(TSerialPort::InfiniteTimeout);
  Pty.Write(BytesOf({1, 2, 3, 4, 5}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 5; }));
  std::uint8_t Buf[10] = {};
  ASSERT_EQ(Port.Read(Buf, 10), 5);
  EXPECT_EQ(TBytes(Buf, 5), BytesOf({1, 2, 3, 4, 5}));
  EXPECT_EQ(Port.BytesToRead(), 0);

  // A read waits for the first byte, then returns with it.
  std::atomic<std::int32_t> Got{-1};
  std::thread Reader([&] { Got = Port.Read(Buf, 10); });
  Pty.Write(BytesOf({0x7E}));
  Reader.join();
  EXPECT_EQ(Got.load(), 1);
  EXPECT_EQ(Buf[0], 0x7E);

  // More than the count waiting: the rest stays for the next read.
  Pty.Write(BytesOf({9, 8, 7}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 3; }));
  EXPECT_EQ(Port.Read(Buf, 2), 2);
  EXPECT_EQ(Port.Read(Buf, 2), 1);
  EXPECT_EQ(Buf[0], 7);

  const TBytes Out = BytesOf({0x10, 0x00, 0xFF, 0x0D, 0x0A, 0x11, 0x13});
  Port.Write(Out.data(), static_cast<std::int32_t>(Out.size()));
  EXPECT_EQ(Pty.Read(Out.size()), Out);  // raw: no byte translated or swallowed
}

TEST_F(SerialPortPtyTest, ReadTimesOutWithNothingReceived) {
  OpenPort(30);
  std::uint8_t Buf[8];
  const auto E = test::Caught<ETimeoutException>([&] { Port.Read(Buf, 8); });
  EXPECT_EQ(E.Message, "Нет прочитанных даных. Чтение данных из порта " + Pty.SlavePath() +
                           " не было выполнено до истечения таймаута ожидания чтения");
  EXPECT_TRUE(Port.IsOpen());

  // Timeout 0 returns at once with what is there, which may be nothing.
  Port.SetReadTimeout(0);
  EXPECT_EQ(Port.Read(Buf, 8), 0);
  Pty.Write(BytesOf({0x42}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 1; }));
  EXPECT_EQ(Port.Read(Buf, 8), 1);
}

// A reply that comes at the line's rate in small chunks: a read that needs the whole of it
// waits for the rest in one go and ends with the same bytes; a device that stops half-way
// gives what came, and the next read keeps the read timeout as before.
TEST_F(SerialPortPtyTest, WholeReadTakesAChunkedReplyInFewReads) {
  Port.SetBaudRate(9600);
  OpenPort(300);
  TBytes Reply;
  for (int I = 0; I < 25; ++I) Reply.push_back(static_cast<std::uint8_t>(0xA0 + I));
  const auto Send = [&](std::size_t From, std::size_t To) {
    // Two characters every 2 ms: about the pace of 9600 baud.
    for (std::size_t At = From; At < To; At += 2) {
      Pty.Write(TBytes(Reply.begin() + At, Reply.begin() + std::min(At + 2, To)));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::uint8_t Buf[25] = {};
  std::thread Device([&] { Send(0, Reply.size()); });
  int Reads = 0;
  std::int32_t Got = 0;
  while (Got < 25) {
    Got += Port.Read(Buf + Got, 25 - Got, true);
    ++Reads;
  }
  Device.join();
  EXPECT_EQ(TBytes(Buf, Buf + 25), Reply);
  EXPECT_LT(Reads, 13) << "one read per chunk";

  // Ten bytes and then silence: the whole read returns them, the next one times out.
  Send(0, 10);
  EXPECT_EQ(Port.Read(Buf, 25, true), 10);
  EXPECT_EQ(TBytes(Buf, Buf + 10), TBytes(Reply.begin(), Reply.begin() + 10));
  Port.SetReadTimeout(30);
  EXPECT_THROW(Port.Read(Buf, 15, true), ETimeoutException);
}

TEST_F(SerialPortPtyTest, ReadAvailableTakesWhatWaitsWithoutWaiting) {
  OpenPort(TSerialPort::InfiniteTimeout);
  std::uint8_t Buf[8] = {};
  EXPECT_EQ(Port.ReadAvailable(Buf, 8), 0);  // nothing yet, and no wait
  Pty.Write(BytesOf({0x11, 0x22, 0x33}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 3; }));
  EXPECT_EQ(Port.ReadAvailable(Buf, 2), 2);
  EXPECT_EQ(Port.ReadAvailable(Buf, 8), 1);
  EXPECT_EQ(Buf[0], 0x33);
}

TEST_F(SerialPortPtyTest, WriteTimesOutWhenTheDeviceTakesNothing) {
  OpenPort();
  Port.SetWriteTimeout(30);
  const TBytes Big(1 << 20, 0x55);  // far more than the terminal buffers
  const auto E = test::Caught<ETimeoutException>(
      [&] { Port.Write(Big.data(), static_cast<std::int32_t>(Big.size())); });
  EXPECT_EQ(E.Message, "Запись в порт " + Pty.SlavePath() +
                           " не была завершена до истечения таймаута ожидания записи");
  EXPECT_TRUE(Port.IsOpen());
}

TEST_F(SerialPortPtyTest, DtrSettingFollowsTheLineWhileOpen) {
  Port.SetDtrEnable(true);
  OpenPort();  // a pseudo terminal has no modem lines: that is no error
  EXPECT_TRUE(Port.DtrEnable());
  Port.SetDtrEnable(false);
  EXPECT_FALSE(Port.DtrEnable());
  Port.SetRtsEnable(true);
  EXPECT_TRUE(Port.RtsEnable());
  Port.SetReadTimeout(0);
  Port.SetWriteTimeout(-1);
  Port.Close();
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_FALSE(Port.DtrEnable());
  Port.SetDtrEnable(true);
  EXPECT_TRUE(Port.DtrEnable());
}

TEST_F(SerialPortPtyTest, EventThreadsEndWithClose) {
  const int Before = ThreadCount();
  OpenPort();
  EXPECT_EQ(ThreadCount(), Before + 2);
  ASSERT_NE(Port.EventThread_, nullptr);
  ASSERT_NE(Port.EventQueue_, nullptr);
  Port.Close();
  EXPECT_EQ(Port.EventThread_, nullptr);
  EXPECT_EQ(Port.EventQueue_, nullptr);
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == Before; }, 500ms));
}

TEST_F(SerialPortPtyTest, HandlersRunOnTheQueueThread) {
  std::atomic<int> DataEvents{0};
  std::atomic<bool> OnCallerThread{false};
  const auto Caller = std::this_thread::get_id();
  Port.OnDataReceived = [&](TSerialPort&, TSerialData Kind) {
    if (std::this_thread::get_id() == Caller) OnCallerThread = true;
    if (Kind == TSerialData::sdChars) ++DataEvents;
  };
  OpenPort();
  Pty.Write(BytesOf({1, 2}));
  EXPECT_TRUE(WaitFor([&] { return DataEvents.load() >= 1; }));
  EXPECT_FALSE(OnCallerThread.load());
  std::uint8_t Buf[4];
  EXPECT_EQ(Port.Read(Buf, 4), 2);
  Port.Close();
}

TEST_F(SerialPortPtyTest, VanishedDeviceGivesIOErrorsAndFreesItsThreads) {
  const int Before = ThreadCount();
  OpenPort(TSerialPort::InfiniteTimeout);
  Pty.CloseMaster();
  // The watcher stops by itself instead of polling a dead handle.
  EXPECT_TRUE(WaitFor([&] { return Port.EventThread_->Finished(); }));

  std::uint8_t Buf[4];
  const auto E = test::Caught<EInOutError>([&] { Port.Read(Buf, 4); });
  EXPECT_EQ(E.ErrorCode, EIO);
  EXPECT_NE(E.Message.find("Ошибка чтения из порта " + Pty.SlavePath() + "."), std::string::npos);
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_THROW(Port.Write(Buf, 1), EInvalidOperation);

  // The next opening frees the old threads before it starts its own.
  TTestPty Next;
  Port.SetPortName(Next.SlavePath());
  Port.Open();
  EXPECT_EQ(ThreadCount(), Before + 2);
  Port.Write(BytesOf({0x31}).data(), 1);
  EXPECT_EQ(Next.Read(1), BytesOf({0x31}));
  Port.Close();
  EXPECT_EQ(ThreadCount(), Before);
}

TEST_F(SerialPortPtyTest, VanishedDeviceDuringWriteAndDestruction) {
  const int Before = ThreadCount();
  {
    TSerialPort Lost;
    Lost.SetPortName(Pty.SlavePath());
    Lost.Open();
    Pty.CloseMaster();
    const auto E = test::Caught<EInOutError>([&] { Lost.Write(BytesOf({1}).data(), 1); });
    EXPECT_EQ(E.ErrorCode, EIO);
    EXPECT_FALSE(Lost.IsOpen());
  }
  // Destruction freed the threads of the lost handle.
  EXPECT_EQ(ThreadCount(), Before);
}

// While received bytes wait unread the line-event wait sleeps until something new happens: a
// slice passes with one wake-up, and a pseudo terminal, which has neither error counters nor
// modem lines (as its first answers said), is not asked for them again.
TEST(SerialLineEventTest, WaitStaysQuietWhileBytesWaitUnread) {
  TTestPty Pty;
  using namespace platform;
  TOsError Error;
  std::string Holder;
  const auto Device = TSerialDevice::Open(Pty.SlavePath(), Error, Holder);
  ASSERT_NE(Device, nullptr) << Error.Text;
  TSerialLineSettings Raw;
  Raw.BaudRate = 9600;
  Raw.DataBits = 8;
  ASSERT_FALSE(Device->WriteLineSettings(Raw));
  ASSERT_FALSE(Device->SetEventMask({TLineEvent::leReceived, TLineEvent::leCts, TLineEvent::leDsr,
                                     TLineEvent::leCarrierDetect, TLineEvent::leBreak,
                                     TLineEvent::leLineFault, TLineEvent::leRing}));
  TSerialWakeEvent Wake;
  TSerialLineEventState State;
  TLineEvents Events;
  const auto NextEvents = [&] {
    for (int Slice = 0; Slice < 50; ++Slice) {  // a deadline of 50 slices
      if (Device->WaitLineEvents(State, Wake, 100, Events)) return TLineEvents();
      if (!Events.Empty()) return Events;
    }
    return TLineEvents();
  };

  Pty.Write(BytesOf({1, 2, 3}));
  EXPECT_EQ(NextEvents(), TLineEvents(TLineEvent::leReceived));

  const auto WakeUps = State.WakeUps;
  const auto Queries = State.LineQueries;
  ASSERT_FALSE(Device->WaitLineEvents(State, Wake, 300, Events));
  EXPECT_TRUE(Events.Empty());
  EXPECT_EQ(State.WakeUps - WakeUps, 1u);
  EXPECT_EQ(State.LineQueries - Queries, 0u);

  // A new arrival is an event again, and nothing was taken from the input queue meanwhile.
  Pty.Write(BytesOf({4}));
  EXPECT_EQ(NextEvents(), TLineEvents(TLineEvent::leReceived));
  ASSERT_FALSE(Device->SetTimeouts({1000, TSerialTimeouts::NoLimit}));
  std::uint8_t Buf[8];
  std::uint32_t Done = 0;
  ASSERT_FALSE(Device->Read(Buf, sizeof Buf, Done));
  EXPECT_EQ(TBytes(Buf, Done), BytesOf({1, 2, 3, 4}));

  // Nobody takes received data: arrivals do not wake the wait, ...
  State.IgnoreInput = true;
  ASSERT_FALSE(Device->WaitLineEvents(State, Wake, 50, Events));  // takes the new setting
  Pty.Write(BytesOf({5, 6}));
  const auto Quiet = State.WakeUps;
  ASSERT_FALSE(Device->WaitLineEvents(State, Wake, 300, Events));
  EXPECT_TRUE(Events.Empty());
  EXPECT_EQ(State.WakeUps - Quiet, 1u);  // the end of the slice only
  // ... until somebody does: the bytes already waiting count as an arrival then.
  State.IgnoreInput = false;
  EXPECT_EQ(NextEvents(), TLineEvents(TLineEvent::leReceived));
  // A device that goes away still ends an ignoring wait.
  State.IgnoreInput = true;
  Pty.CloseMaster();
  EXPECT_EQ(Device->WaitLineEvents(State, Wake, 2000, Events).Kind, platform::TErrorKind::ekGone);
}

}  // namespace
}  // namespace probrix
