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
  int n = 0;
  for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator("/proc/self/task")) ++n;
  return n;
}

TEST(SerialPortTest, NewPortDefaultsAndClosedPortErrors) {
  TSerialPort port;
  EXPECT_EQ(port.PortName(), "COM1");
  EXPECT_EQ(port.BaudRate(), 9600u);
  EXPECT_EQ(port.ReadTimeout(), -1);
  EXPECT_EQ(port.WriteTimeout(), -1);
  EXPECT_EQ(TSerialPort::InfiniteTimeout, -1);
  EXPECT_FALSE(port.IsOpen());
  EXPECT_FALSE(port.DtrEnable());
  EXPECT_EQ(port.DataBits(), 8);
  EXPECT_EQ(port.ParityReplace(), 63);
  EXPECT_EQ(port.EofChar(), 26);

  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { port.BytesToRead(); }).Message,
            "Порт закрыт. Нельзя получить значение свойства BytesToRead.");
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { (void)port.BreakState(); }).Message,
            "Порт закрыт. Нельзя получить значение свойства BreakState.");
  std::uint8_t buf[4];
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { port.Read(buf, 4); }).Message,
            "Порт закрыт. Нельзя выполнить операцию Read.");
  EXPECT_EQ(test::Caught<EInvalidOperation>([&] { port.Write(buf, 4); }).Message,
            "Порт закрыт. Нельзя выполнить операцию Write.");
  // Count 0 does not touch the port, open or not; closing a closed port does nothing.
  EXPECT_EQ(port.Read(buf, 0), 0);
  EXPECT_NO_THROW(port.Write(buf, 0));
  EXPECT_NO_THROW(port.Close());
}

TEST(SerialPortTest, PropertyChecksWhileClosed) {
  TSerialPort port;
  port.SetPortName("  ttyUSB3 \t");
  EXPECT_EQ(port.PortName(), "ttyUSB3");

  EXPECT_EQ(test::Caught<EPropertyError>([&] { port.SetBaudRate(0); }).Message,
            "Неверное значение свойства BaudRate.");
  EXPECT_EQ(port.BaudRate(), 9600u);
  port.SetBaudRate(4000000);  // no checks while closed
  EXPECT_EQ(port.BaudRate(), 4000000u);

  port.SetReadTimeout(0);
  EXPECT_EQ(port.ReadTimeout(), 0);
  port.SetReadTimeout(-1);
  EXPECT_EQ(port.ReadTimeout(), -1);
  EXPECT_EQ(test::Caught<ERangeError>([&] { port.SetReadTimeout(-2); }).Message,
            "Ошибка при установке значения свойства ReadTimeout. Время ожидания должно быть "
            "больше или равно -1.");
  EXPECT_EQ(port.ReadTimeout(), -1);

  port.SetWriteTimeout(1);
  EXPECT_EQ(port.WriteTimeout(), 1);
  port.SetWriteTimeout(-1);
  EXPECT_EQ(port.WriteTimeout(), -1);
  EXPECT_EQ(test::Caught<ERangeError>([&] { port.SetWriteTimeout(0); }).Message,
            "Ошибка при установке значения свойства WriteTimeout. Время ожидания должно быть "
            "положительным числом или -1.");
  EXPECT_THROW(port.SetWriteTimeout(-5), ERangeError);
  EXPECT_EQ(port.WriteTimeout(), -1);

  port.SetDtrEnable(true);
  EXPECT_TRUE(port.DtrEnable());
}

TEST(SerialPortTest, DevicePathRule) {
  EXPECT_EQ(TSerialPort::DevicePathOf("ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(TSerialPort::DevicePathOf("COM7"), "/dev/COM7");
  EXPECT_EQ(TSerialPort::DevicePathOf("/dev/pts/4"), "/dev/pts/4");
  EXPECT_EQ(TSerialPort::DevicePathOf("./vport"), "./vport");
}

TEST(SerialPortTest, OpenFailuresLeaveThePortClosed) {
  TSerialPort port;
  port.SetPortName("ttyProbrixMissing7");
  const auto missing = test::Caught<EInOutError>([&] { port.Open(); });
  EXPECT_EQ(missing.ErrorCode, ENOENT);
  EXPECT_EQ(missing.Message, " Порт ttyProbrixMissing7 не существует");
  EXPECT_FALSE(port.IsOpen());

  // A plain file is not a serial device.
  test::TTempDir dir;
  const auto file = dir.Path() / "plain";
  std::ofstream(file) << "x";
  port.SetPortName(file.string());
  const auto notSerial = test::Caught<EInvalidArgument>([&] { port.Open(); });
  EXPECT_EQ(notSerial.Message, "Порт " + UpperCaseAscii(file.string()) + " не существует");
  EXPECT_FALSE(port.IsOpen());

  // A character device without a line: the line cannot be programmed.
  port.SetPortName("/dev/null");
  const auto noLine = test::Caught<EInOutError>([&] { port.Open(); });
  EXPECT_EQ(noLine.ErrorCode, ENOTTY);
  EXPECT_EQ(noLine.Message.rfind("Порт /dev/null. ", 0), 0u) << noLine.Message;
  EXPECT_FALSE(port.IsOpen());
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
  TSerialPort other;
  other.SetPortName(Pty.SlavePath());
  const auto denied = test::Caught<EInOutError>([&] { other.Open(); });
  EXPECT_TRUE(denied.ErrorCode == EBUSY || denied.ErrorCode == EWOULDBLOCK) << denied.ErrorCode;
  EXPECT_EQ(denied.Message, " Доступ к порту " + Pty.SlavePath() +
                                " закрыт. Возможно он используется другой программой.");
  EXPECT_FALSE(other.IsOpen());

  // Once released, the port can be taken again.
  Port.Close();
  EXPECT_NO_THROW(other.Open());
  EXPECT_TRUE(other.IsOpen());
}

TEST_F(SerialPortPtyTest, ReadReturnsWhatIsWaitingAndWriteReachesTheDevice) {
  // No limit: a read that waited for the full count would never return.
  OpenPort(TSerialPort::InfiniteTimeout);
  Pty.Write(BytesOf({1, 2, 3, 4, 5}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 5; }));
  std::uint8_t buf[10] = {};
  ASSERT_EQ(Port.Read(buf, 10), 5);
  EXPECT_EQ(TBytes(buf, 5), BytesOf({1, 2, 3, 4, 5}));
  EXPECT_EQ(Port.BytesToRead(), 0);

  // A read waits for the first byte, then returns with it.
  std::atomic<std::int32_t> got{-1};
  std::thread reader([&] { got = Port.Read(buf, 10); });
  Pty.Write(BytesOf({0x7E}));
  reader.join();
  EXPECT_EQ(got.load(), 1);
  EXPECT_EQ(buf[0], 0x7E);

  // More than the count waiting: the rest stays for the next read.
  Pty.Write(BytesOf({9, 8, 7}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 3; }));
  EXPECT_EQ(Port.Read(buf, 2), 2);
  EXPECT_EQ(Port.Read(buf, 2), 1);
  EXPECT_EQ(buf[0], 7);

  const TBytes out = BytesOf({0x10, 0x00, 0xFF, 0x0D, 0x0A, 0x11, 0x13});
  Port.Write(out.data(), static_cast<std::int32_t>(out.size()));
  EXPECT_EQ(Pty.Read(out.size()), out);  // raw: no byte translated or swallowed
}

TEST_F(SerialPortPtyTest, ReadTimesOutWithNothingReceived) {
  OpenPort(30);
  std::uint8_t buf[8];
  const auto e = test::Caught<ETimeoutException>([&] { Port.Read(buf, 8); });
  EXPECT_EQ(e.Message, "Нет прочитанных даных. Чтение данных из порта " + Pty.SlavePath() +
                           " не было выполнено до истечения таймаута ожидания чтения");
  EXPECT_TRUE(Port.IsOpen());

  // Timeout 0 returns at once with what is there, which may be nothing.
  Port.SetReadTimeout(0);
  EXPECT_EQ(Port.Read(buf, 8), 0);
  Pty.Write(BytesOf({0x42}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 1; }));
  EXPECT_EQ(Port.Read(buf, 8), 1);
}

// A reply that comes at the line's rate in small chunks: a read that needs the whole of it
// waits for the rest in one go and ends with the same bytes; a device that stops half-way
// gives what came, and the next read keeps the read timeout as before.
TEST_F(SerialPortPtyTest, WholeReadTakesAChunkedReplyInFewReads) {
  Port.SetBaudRate(9600);
  OpenPort(300);
  TBytes reply;
  for (int i = 0; i < 25; ++i) reply.push_back(static_cast<std::uint8_t>(0xA0 + i));
  const auto send = [&](std::size_t From, std::size_t To) {
    // Two characters every 2 ms: about the pace of 9600 baud.
    for (std::size_t at = From; at < To; at += 2) {
      Pty.Write(TBytes(reply.begin() + at, reply.begin() + std::min(at + 2, To)));
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
  };
  std::uint8_t buf[25] = {};
  std::thread device([&] { send(0, reply.size()); });
  int reads = 0;
  std::int32_t got = 0;
  while (got < 25) {
    got += Port.Read(buf + got, 25 - got, true);
    ++reads;
  }
  device.join();
  EXPECT_EQ(TBytes(buf, buf + 25), reply);
  EXPECT_LT(reads, 13) << "one read per chunk";

  // Ten bytes and then silence: the whole read returns them, the next one times out.
  send(0, 10);
  EXPECT_EQ(Port.Read(buf, 25, true), 10);
  EXPECT_EQ(TBytes(buf, buf + 10), TBytes(reply.begin(), reply.begin() + 10));
  Port.SetReadTimeout(30);
  EXPECT_THROW(Port.Read(buf, 15, true), ETimeoutException);
}

TEST_F(SerialPortPtyTest, ReadAvailableTakesWhatWaitsWithoutWaiting) {
  OpenPort(TSerialPort::InfiniteTimeout);
  std::uint8_t buf[8] = {};
  EXPECT_EQ(Port.ReadAvailable(buf, 8), 0);  // nothing yet, and no wait
  Pty.Write(BytesOf({0x11, 0x22, 0x33}));
  ASSERT_TRUE(WaitFor([&] { return Port.BytesToRead() == 3; }));
  EXPECT_EQ(Port.ReadAvailable(buf, 2), 2);
  EXPECT_EQ(Port.ReadAvailable(buf, 8), 1);
  EXPECT_EQ(buf[0], 0x33);
}

TEST_F(SerialPortPtyTest, WriteTimesOutWhenTheDeviceTakesNothing) {
  OpenPort();
  Port.SetWriteTimeout(30);
  const TBytes big(1 << 20, 0x55);  // far more than the terminal buffers
  const auto e = test::Caught<ETimeoutException>(
      [&] { Port.Write(big.data(), static_cast<std::int32_t>(big.size())); });
  EXPECT_EQ(e.Message, "Запись в порт " + Pty.SlavePath() +
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
  const int before = ThreadCount();
  OpenPort();
  EXPECT_EQ(ThreadCount(), before + 2);
  ASSERT_NE(Port.EventThread_, nullptr);
  ASSERT_NE(Port.EventQueue_, nullptr);
  Port.Close();
  EXPECT_EQ(Port.EventThread_, nullptr);
  EXPECT_EQ(Port.EventQueue_, nullptr);
  EXPECT_TRUE(WaitFor([&] { return ThreadCount() == before; }, 500ms));
}

TEST_F(SerialPortPtyTest, HandlersRunOnTheQueueThread) {
  std::atomic<int> dataEvents{0};
  std::atomic<bool> onCallerThread{false};
  const auto caller = std::this_thread::get_id();
  Port.OnDataReceived = [&](TSerialPort&, TSerialData Kind) {
    if (std::this_thread::get_id() == caller) onCallerThread = true;
    if (Kind == TSerialData::sdChars) ++dataEvents;
  };
  OpenPort();
  Pty.Write(BytesOf({1, 2}));
  EXPECT_TRUE(WaitFor([&] { return dataEvents.load() >= 1; }));
  EXPECT_FALSE(onCallerThread.load());
  std::uint8_t buf[4];
  EXPECT_EQ(Port.Read(buf, 4), 2);
  Port.Close();
}

TEST_F(SerialPortPtyTest, VanishedDeviceGivesIOErrorsAndFreesItsThreads) {
  const int before = ThreadCount();
  OpenPort(TSerialPort::InfiniteTimeout);
  Pty.CloseMaster();
  // The watcher stops by itself instead of polling a dead handle.
  EXPECT_TRUE(WaitFor([&] { return Port.EventThread_->Finished(); }));

  std::uint8_t buf[4];
  const auto e = test::Caught<EInOutError>([&] { Port.Read(buf, 4); });
  EXPECT_EQ(e.ErrorCode, EIO);
  EXPECT_NE(e.Message.find("Ошибка чтения из порта " + Pty.SlavePath() + "."), std::string::npos);
  EXPECT_FALSE(Port.IsOpen());
  EXPECT_THROW(Port.Write(buf, 1), EInvalidOperation);

  // The next opening frees the old threads before it starts its own.
  TTestPty next;
  Port.SetPortName(next.SlavePath());
  Port.Open();
  EXPECT_EQ(ThreadCount(), before + 2);
  Port.Write(BytesOf({0x31}).data(), 1);
  EXPECT_EQ(next.Read(1), BytesOf({0x31}));
  Port.Close();
  EXPECT_EQ(ThreadCount(), before);
}

TEST_F(SerialPortPtyTest, VanishedDeviceDuringWriteAndDestruction) {
  const int before = ThreadCount();
  {
    TSerialPort lost;
    lost.SetPortName(Pty.SlavePath());
    lost.Open();
    Pty.CloseMaster();
    const auto e = test::Caught<EInOutError>([&] { lost.Write(BytesOf({1}).data(), 1); });
    EXPECT_EQ(e.ErrorCode, EIO);
    EXPECT_FALSE(lost.IsOpen());
  }
  // Destruction freed the threads of the lost handle.
  EXPECT_EQ(ThreadCount(), before);
}

// While received bytes wait unread the line-event wait sleeps until something new happens: a
// slice passes with one wake-up, and a pseudo terminal, which has neither error counters nor
// modem lines (as its first answers said), is not asked for them again.
TEST(SerialLineEventTest, WaitStaysQuietWhileBytesWaitUnread) {
  TTestPty pty;
  using namespace platform;
  TOsError error;
  std::string holder;
  const auto device = TSerialDevice::Open(pty.SlavePath(), error, holder);
  ASSERT_NE(device, nullptr) << error.Text;
  TSerialLineSettings raw;
  raw.BaudRate = 9600;
  raw.DataBits = 8;
  ASSERT_FALSE(device->WriteLineSettings(raw));
  ASSERT_FALSE(device->SetEventMask({TLineEvent::leReceived, TLineEvent::leCts, TLineEvent::leDsr,
                                     TLineEvent::leCarrierDetect, TLineEvent::leBreak,
                                     TLineEvent::leLineFault, TLineEvent::leRing}));
  TSerialWakeEvent wake;
  TSerialLineEventState state;
  TLineEvents events;
  const auto nextEvents = [&] {
    for (int slice = 0; slice < 50; ++slice) {  // a deadline of 50 slices
      if (device->WaitLineEvents(state, wake, 100, events)) return TLineEvents();
      if (!events.Empty()) return events;
    }
    return TLineEvents();
  };

  pty.Write(BytesOf({1, 2, 3}));
  EXPECT_EQ(nextEvents(), TLineEvents(TLineEvent::leReceived));

  const auto wakeUps = state.WakeUps;
  const auto queries = state.LineQueries;
  ASSERT_FALSE(device->WaitLineEvents(state, wake, 300, events));
  EXPECT_TRUE(events.Empty());
  EXPECT_EQ(state.WakeUps - wakeUps, 1u);
  EXPECT_EQ(state.LineQueries - queries, 0u);

  // A new arrival is an event again, and nothing was taken from the input queue meanwhile.
  pty.Write(BytesOf({4}));
  EXPECT_EQ(nextEvents(), TLineEvents(TLineEvent::leReceived));
  ASSERT_FALSE(device->SetTimeouts({1000, TSerialTimeouts::NoLimit}));
  std::uint8_t buf[8];
  std::uint32_t done = 0;
  ASSERT_FALSE(device->Read(buf, sizeof buf, done));
  EXPECT_EQ(TBytes(buf, done), BytesOf({1, 2, 3, 4}));

  // Nobody takes received data: arrivals do not wake the wait, ...
  state.IgnoreInput = true;
  ASSERT_FALSE(device->WaitLineEvents(state, wake, 50, events));  // takes the new setting
  pty.Write(BytesOf({5, 6}));
  const auto quiet = state.WakeUps;
  ASSERT_FALSE(device->WaitLineEvents(state, wake, 300, events));
  EXPECT_TRUE(events.Empty());
  EXPECT_EQ(state.WakeUps - quiet, 1u);  // the end of the slice only
  // ... until somebody does: the bytes already waiting count as an arrival then.
  state.IgnoreInput = false;
  EXPECT_EQ(nextEvents(), TLineEvents(TLineEvent::leReceived));
  // A device that goes away still ends an ignoring wait.
  state.IgnoreInput = true;
  pty.CloseMaster();
  EXPECT_EQ(device->WaitLineEvents(state, wake, 2000, events).Kind, platform::TErrorKind::ekGone);
}

}  // namespace
}  // namespace probrix
