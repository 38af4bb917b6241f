#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <stdexcept>

#include "SearchTaskFakes.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using test::TFakeSearcher;
using test::TFakeSearcherFactory;
using test::TSearchScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

constexpr auto dpOrvatbus = TDeviceProtocol::dpOrvatbus;
constexpr auto dpModbusRtu = TDeviceProtocol::dpModbusRtu;
constexpr auto dpModbusTcp = TDeviceProtocol::dpModbusTcp;
constexpr auto dpOrvatAscii = TDeviceProtocol::dpOrvatAscii;

class SearchTask : public ::testing::Test {
 protected:
  SearchTask() : Factory(Script) { test::RecordEvents(Task, Script); }

  // Runs the task to its end.
  void Run() {
    Task.Start();
    Task.WaitFor();
  }

  TSearchScript Script;
  TFakeSearcherFactory Factory;
  TSearchDevicesTask Task;
};

TEST_F(SearchTask, WalksPortsRatesProtocolsThenEndpointsInPlanOrder) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600, 19200};
  Task.TcpEndpoints = {"10.0.0.5:502"};
  Task.Protocols = {dpOrvatbus, dpModbusRtu};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  Task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{7});
  Run();

  EXPECT_THAT(Script.Filter("progress"),
              ElementsAre("progress COM1:9600,Orvatbus,1", "progress COM1:9600,Orvatbus,2",
                          "progress COM1:9600,ModbusRTU,7", "progress COM1:19200,Orvatbus,1",
                          "progress COM1:19200,Orvatbus,2", "progress COM1:19200,ModbusRTU,7",
                          "progress COM2:9600,Orvatbus,1", "progress COM2:9600,Orvatbus,2",
                          "progress COM2:9600,ModbusRTU,7", "progress COM2:19200,Orvatbus,1",
                          "progress COM2:19200,Orvatbus,2", "progress COM2:19200,ModbusRTU,7",
                          "progress 10.0.0.5:502,Orvatbus,1", "progress 10.0.0.5:502,Orvatbus,2",
                          "progress 10.0.0.5:502,ModbusRTU,7"));
  EXPECT_EQ(Script.Filter("found").size(), 15u);
  EXPECT_THAT(Script.Filter("error"), IsEmpty());
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
  EXPECT_TRUE(Task.Finished());
  EXPECT_FALSE(Task.Aborted());
  EXPECT_EQ(Task.RunError(), "");
}

TEST_F(SearchTask, OneSearcherPerRunWithEventsAroundEachAttempt) {
  Task.SerialPortNames = {"COM3"};
  Task.BaudRates = {4800};
  Task.TcpEndpoints = {"dev:503"};
  Task.Protocols = {dpModbusTcp};
  Task.SetAddresses(dpModbusTcp, std::vector<std::uint8_t>{1, 2});
  Task.ReadTimeout = 60;
  Task.StartOfPacketReadTimeout = 20;
  Task.RequestRetryCount = 3;
  Script.OnSearch = [](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    if (Address == 2) throw EReadSOHTimeoutError::Create("silent");
    Info.Address = 42;
  };
  Run();

  EXPECT_THAT(
      Script.Snapshot(),
      ElementsAre("create COM3:4800,ModbusTCP,serial", "progress COM3:4800,ModbusTCP,1",
                  "search COM3:4800,ModbusTCP,1 timeouts=60/20 retries=3 log",
                  "found COM3:4800,ModbusTCP,1 reported=42 log=1", "progress COM3:4800,ModbusTCP,2",
                  "search COM3:4800,ModbusTCP,2 timeouts=60/20 retries=3 log",
                  "error COM3:4800,ModbusTCP,2 EReadSOHTimeoutError", "close COM3:4800,ModbusTCP",
                  "free COM3:4800,ModbusTCP", "create dev:503,ModbusTCP,tcp",
                  "progress dev:503,ModbusTCP,1",
                  "search dev:503,ModbusTCP,1 timeouts=60/20 retries=3 log",
                  "found dev:503,ModbusTCP,1 reported=42 log=1", "progress dev:503,ModbusTCP,2",
                  "search dev:503,ModbusTCP,2 timeouts=60/20 retries=3 log",
                  "error dev:503,ModbusTCP,2 EReadSOHTimeoutError", "close dev:503,ModbusTCP",
                  "free dev:503,ModbusTCP", "finished normal"));
}

TEST_F(SearchTask, HandlersSeeOnlyTheCurrentAttemptsLog) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  Script.OnSearch = [](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
    S.Log()->Add("answer", TDateTime());
    if (Address == 2) throw EInvalidCRC::Create("crc");
    Info.Address = Address;
  };
  std::vector<std::string> texts;
  Task.OnDeviceFound = [&](TSearchDevicesTask*, const TSearchAttempt&, const TDeviceInfo&,
                           const TSearchLog& Log) { texts.push_back(Log.Text()); };
  Task.OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt&, const Exception& E,
                           const TSearchLog& Log) {
    EXPECT_TRUE(E.Is<EInvalidCRC>());
    texts.push_back(Log.Text());
  };
  Run();

  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], "00:00:00.000 try 1\r\n00:00:00.000 answer\r\n");
  EXPECT_EQ(texts[1], "00:00:00.000 try 2\r\n00:00:00.000 answer\r\n");
}

TEST_F(SearchTask, EndpointTextGivesHostAndPort) {
  Task.TcpEndpoints = {
      "10.0.0.5",       "host:abc", ":502", "\"my host\":70000", " a : 12 ", "h:1:2", "",
      "10.0.0.100:502", "x:-1",     "x:",   "\"q\"\"t\":7"};
  Task.Protocols = {dpOrvatbus};
  Run();

  EXPECT_THAT(Script.Filter("create"),
              ElementsAre("create 10.0.0.5:9999,Orvatbus,tcp", "create host:9999,Orvatbus,tcp",
                          "create :502,Orvatbus,tcp", "create my host:4464,Orvatbus,tcp",
                          "create a:12,Orvatbus,tcp", "create h:1,Orvatbus,tcp",
                          "create :9999,Orvatbus,tcp", "create 10.0.0.100:502,Orvatbus,tcp",
                          "create x:65535,Orvatbus,tcp", "create x:9999,Orvatbus,tcp",
                          "create q\"t:7,Orvatbus,tcp"));
}

TEST_F(SearchTask, OpenErrorSkipsOnlyTheRestOfThatPort) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600, 19200};
  Task.Protocols = {dpOrvatAscii, dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{95});
  Task.SetAddresses(dpOrvatAscii, std::vector<std::uint8_t>{95});
  Script.OnSearch = [](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
    if (S.Name().rfind("COM1:", 0) == 0) throw EConnectionOpenError::Create("[COM1] busy");
    Info.Address = Address;
  };
  Run();

  EXPECT_THAT(Script.Filter("progress COM1"), ElementsAre("progress COM1:9600,OrvatASCII,95"));
  EXPECT_THAT(Script.Filter("error"),
              ElementsAre("error COM1:9600,OrvatASCII,95 EConnectionOpenError"));
  // The failed searcher is still closed and freed.
  EXPECT_THAT(Script.Filter("close COM1"), ElementsAre("close COM1:9600,OrvatASCII"));
  EXPECT_THAT(Script.Filter("free COM1"), ElementsAre("free COM1:9600,OrvatASCII"));
  EXPECT_THAT(Script.Filter("progress COM2"),
              ElementsAre("progress COM2:9600,OrvatASCII,95", "progress COM2:9600,Orvatbus,95",
                          "progress COM2:19200,OrvatASCII,95", "progress COM2:19200,Orvatbus,95"));
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
}

TEST_F(SearchTask, OpenErrorSkipsOnlyTheRestOfThatEndpoint) {
  Task.TcpEndpoints = {"a:1", "b:2"};
  Task.Protocols = {dpModbusTcp, dpOrvatbus};
  Task.SetAddresses(dpModbusTcp, std::vector<std::uint8_t>{1, 2});
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{3});
  Script.OnSearch = [](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
    if (S.Name().rfind("a:", 0) == 0) throw EConnectionOpenError::Create("[a] refused");
    Info.Address = Address;
  };
  Run();

  EXPECT_THAT(Script.Filter("progress"),
              ElementsAre("progress a:1,ModbusTCP,1", "progress b:2,ModbusTCP,1",
                          "progress b:2,ModbusTCP,2", "progress b:2,Orvatbus,3"));
  EXPECT_THAT(Script.Filter("error"), ElementsAre("error a:1,ModbusTCP,1 EConnectionOpenError"));
}

TEST_F(SearchTask, OtherAttemptErrorsGoOnWithTheNextAddress) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpModbusRtu};
  Task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1, 2, 3, 4});
  Script.OnSearch = [](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    switch (Address) {
      case 1:
        throw EConnectionIOError::Create("io");
      case 2:
        throw std::runtime_error("library failure");
      case 3:
        throw ESlaveAddressMismatch::Create("mismatch");
      default:
        Info.Address = Address;
    }
  };
  std::string foreignClass;
  std::string foreignMessage;
  auto recorder = Task.OnSearchError;
  Task.OnSearchError = [&](TSearchDevicesTask* Sender, const TSearchAttempt& A, const Exception& E,
                           const TSearchLog& Log) {
    if (A.Address == 2) {
      foreignClass = E.ClassName();
      foreignMessage = E.Message;
    }
    recorder(Sender, A, E, Log);
  };
  Run();

  EXPECT_THAT(Script.Filter("error"),
              ElementsAre("error COM1:9600,ModbusRTU,1 EConnectionIOError",
                          "error COM1:9600,ModbusRTU,2 " + foreignClass,
                          "error COM1:9600,ModbusRTU,3 ESlaveAddressMismatch"));
  EXPECT_THAT(foreignClass, HasSubstr("runtime_error"));
  EXPECT_EQ(foreignMessage, "library failure");
  EXPECT_THAT(Script.Filter("found"), ElementsAre("found COM1:9600,ModbusRTU,4 reported=4 log=1"));
}

TEST_F(SearchTask, DeviceOfAnotherMakerIsFoundAfterItsErrorLine) {
  Task.TcpEndpoints = {"plc:502"};
  Task.Protocols = {dpModbusTcp};
  Task.SetAddresses(dpModbusTcp, std::vector<std::uint8_t>{1, 2, 3});
  Script.OnSearch = [](TFakeSearcher& Searcher, std::uint8_t Address, TDeviceInfo& Info) {
    if (Address == 3) {
      Info.Address = 3;
      return;
    }
    if (Address == 1) {
      TDeviceInfo other;
      other.Address = 1;
      other.OtherMaker = true;
      Searcher.Answering = other;
    }
    throw EModbusSpecificError::Create("exception reply");
  };
  Run();

  // The error line stays; the device follows it, without the attempt's log a second time.
  EXPECT_THAT(Script.Filter("progress"), ::testing::SizeIs(3));
  const std::vector<std::string> events = Script.Snapshot();
  std::vector<std::string> reports;
  for (const std::string& e : events)
    if (e.rfind("error", 0) == 0 || e.rfind("found", 0) == 0 || e.rfind("progress", 0) == 0)
      reports.push_back(e);
  EXPECT_THAT(
      reports,
      ElementsAre("progress plc:502,ModbusTCP,1", "error plc:502,ModbusTCP,1 EModbusSpecificError",
                  "found plc:502,ModbusTCP,1 reported=1 log=0", "progress plc:502,ModbusTCP,2",
                  "error plc:502,ModbusTCP,2 EModbusSpecificError", "progress plc:502,ModbusTCP,3",
                  "found plc:502,ModbusTCP,3 reported=3 log=1"));
}

TEST_F(SearchTask, OrvatAsciiMakesOneListeningAttemptWithTheFirstAddress) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600, 115200};
  Task.TcpEndpoints = {"h:5"};
  Task.Protocols = {dpOrvatAscii};
  Task.SetAddresses(dpOrvatAscii, std::vector<std::uint8_t>{95, 96});
  Task.ReadTimeout = 30;
  Task.StartOfPacketReadTimeout = 10;
  Task.RequestRetryCount = 2;
  // The first run finds its device, the others hear nothing: both end after one attempt.
  Script.OnSearch = [](TFakeSearcher& S, std::uint8_t Address, TDeviceInfo& Info) {
    if (S.Name() != "COM1:9600,OrvatASCII") throw EReadTimeoutError::Create("quiet");
    Info.Address = Address;
  };
  Run();

  EXPECT_THAT(Script.Filter("search"),
              ElementsAre("search COM1:9600,OrvatASCII,95 timeouts=4160/10 retries=2 log",
                          "search COM1:115200,OrvatASCII,95 timeouts=4160/10 retries=2 log",
                          "search h:5,OrvatASCII,95 timeouts=4160/10 retries=2 log"));
  EXPECT_THAT(Script.Filter("progress"),
              ElementsAre("progress COM1:9600,OrvatASCII,95", "progress COM1:115200,OrvatASCII,95",
                          "progress h:5,OrvatASCII,95"));
  EXPECT_THAT(Script.Filter("found"),
              ElementsAre("found COM1:9600,OrvatASCII,95 reported=95 log=1"));
  EXPECT_EQ(Script.Filter("error").size(), 2u);
}

TEST_F(SearchTask, EmptyAddressListStillCreatesAndFreesTheSearcher) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.TcpEndpoints = {"h:5"};
  Task.Protocols = {dpOrvatbus, dpModbusRtu};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{});
  Run();

  EXPECT_THAT(Script.Snapshot(),
              ElementsAre("create COM1:9600,Orvatbus,serial", "close COM1:9600,Orvatbus",
                          "free COM1:9600,Orvatbus", "create COM1:9600,ModbusRTU,serial",
                          "close COM1:9600,ModbusRTU", "free COM1:9600,ModbusRTU",
                          "create h:5,Orvatbus,tcp", "close h:5,Orvatbus", "free h:5,Orvatbus",
                          "create h:5,ModbusRTU,tcp", "close h:5,ModbusRTU", "free h:5,ModbusRTU",
                          "finished normal"));
}

TEST_F(SearchTask, EmptyPlanOnlyFinishes) {
  Task.Protocols = {dpOrvatbus};
  Task.BaudRates = {9600};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Run();
  EXPECT_THAT(Script.Snapshot(), ElementsAre("finished normal"));
}

TEST_F(SearchTask, StopAfterTheEndLeavesAbortedFalse) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Run();
  Task.Stop();
  EXPECT_TRUE(Task.Finished());
  EXPECT_FALSE(Task.Aborted());
  EXPECT_FALSE(Task.Terminated());
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
}

// A searcher whose Search waits until the test lets it go.
struct TGate {
  void Enter() {
    std::unique_lock guard(Lock);
    Entered = true;
    Changed.notify_all();
    Changed.wait_for(guard, std::chrono::seconds(10), [this] { return Released; });
  }
  void Release() {
    std::lock_guard guard(Lock);
    Released = true;
    Changed.notify_all();
  }
  bool WasEntered() {
    std::lock_guard guard(Lock);
    return Entered;
  }
  std::mutex Lock;
  std::condition_variable Changed;
  bool Entered = false;
  bool Released = false;
};

TEST_F(SearchTask, StopDuringAnAttemptLetsItCompleteThenFinishesAborted) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600};
  Task.TcpEndpoints = {"h:1"};
  Task.Protocols = {dpOrvatbus, dpModbusRtu};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2, 3});
  Task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1});
  TGate gate;
  Script.OnSearch = [&gate](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    if (Address == 2) gate.Enter();
    Info.Address = Address;
  };
  Task.Start();
  ASSERT_TRUE(test::WaitFor([&] { return gate.WasEntered(); }));
  Task.Stop();
  EXPECT_TRUE(Task.Aborted());
  EXPECT_FALSE(Task.Finished());
  gate.Release();
  Task.WaitFor();

  EXPECT_THAT(
      Script.Snapshot(),
      ElementsAre("create COM1:9600,Orvatbus,serial", "progress COM1:9600,Orvatbus,1",
                  "search COM1:9600,Orvatbus,1 timeouts=0/0 retries=0 log",
                  "found COM1:9600,Orvatbus,1 reported=1 log=1", "progress COM1:9600,Orvatbus,2",
                  "search COM1:9600,Orvatbus,2 timeouts=0/0 retries=0 log",
                  "found COM1:9600,Orvatbus,2 reported=2 log=1", "close COM1:9600,Orvatbus",
                  "free COM1:9600,Orvatbus", "finished aborted"));
  EXPECT_TRUE(Task.Aborted());
  EXPECT_TRUE(Task.Finished());
}

TEST_F(SearchTask, ThrowingDeviceFoundHandlerBecomesASearchError) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  auto recorder = Task.OnDeviceFound;
  Task.OnDeviceFound = [recorder](TSearchDevicesTask* Sender, const TSearchAttempt& A,
                                  const TDeviceInfo& Info, const TSearchLog& Log) {
    recorder(Sender, A, Info, Log);
    if (A.Address == 1) throw EArgumentError::Create("handler failed");
  };
  Run();

  EXPECT_THAT(Script.Filter("found"), ElementsAre("found COM1:9600,Orvatbus,1 reported=1 log=1",
                                                  "found COM1:9600,Orvatbus,2 reported=2 log=1"));
  EXPECT_THAT(Script.Filter("error"), ElementsAre("error COM1:9600,Orvatbus,1 EArgumentError"));
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
}

TEST_F(SearchTask, ThrowingProgressHandlerEndsTheRunButStillFinishes) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  Task.OnProgressChanged = [&](TSearchDevicesTask*, const TSearchAttempt& A) {
    Script.Add("progress " + IntToStr(A.Address));
    if (A.Address == 2) throw std::logic_error("progress handler");
  };
  Run();

  EXPECT_THAT(Script.Filter("progress"), ElementsAre("progress 1", "progress 2"));
  EXPECT_THAT(Script.Filter("close"), ElementsAre("close COM1:9600,Orvatbus"));
  EXPECT_THAT(Script.Filter("create"), ElementsAre("create COM1:9600,Orvatbus,serial"));
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
  EXPECT_THAT(Task.RunError(), HasSubstr("progress handler"));
}

TEST_F(SearchTask, ThrowingErrorHandlerEndsTheRun) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
  Script.OnSearch = [](TFakeSearcher&, std::uint8_t, TDeviceInfo&) {
    throw EReadTimeoutError::Create("quiet");
  };
  Task.OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt&, const Exception&,
                           const TSearchLog&) {
    Script.Add("error");
    throw 7;  // not even a std::exception
  };
  Run();

  EXPECT_THAT(Script.Filter("error"), ElementsAre("error"));
  EXPECT_THAT(Script.Filter("create"), ElementsAre("create COM1:9600,Orvatbus,serial"));
  EXPECT_THAT(Script.Filter("free"), ElementsAre("free COM1:9600,Orvatbus"));
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
  EXPECT_NE(Task.RunError(), "");
}

TEST_F(SearchTask, ThrowingFinishedHandlerIsContained) {
  std::atomic<int> calls{0};
  Task.OnSearchFinished = [&calls](TSearchDevicesTask*, bool) {
    ++calls;
    throw std::runtime_error("finished handler");
  };
  Run();
  EXPECT_EQ(calls.load(), 1);
  EXPECT_TRUE(Task.Finished());
}

TEST_F(SearchTask, ErrorWhileBuildingASearcherEndsTheRunWithoutAnEvent) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600};
  Task.TcpEndpoints = {"h:1"};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Script.OnCreate = [](const std::string& Name) {
    if (Name == "COM1:9600,Orvatbus") throw EConnectionCloseError::Create("[COM1] cannot close");
  };
  Run();

  EXPECT_THAT(Script.Snapshot(),
              ElementsAre("create COM1:9600,Orvatbus,serial", "finished normal"));
  EXPECT_THAT(Task.RunError(), HasSubstr("cannot close"));
}

TEST_F(SearchTask, OpenErrorWhileBuildingASearcherEndsOnlyThatPort) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600, 19200};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Script.OnCreate = [](const std::string& Name) {
    if (Name.rfind("COM1:", 0) == 0) throw EConnectionOpenError::Create("[COM1] gone");
  };
  Run();

  EXPECT_THAT(Script.Filter("create"),
              ElementsAre("create COM1:9600,Orvatbus,serial", "create COM2:9600,Orvatbus,serial",
                          "create COM2:19200,Orvatbus,serial"));
  EXPECT_THAT(Script.Filter("error"), IsEmpty());
  EXPECT_EQ(Task.RunError(), "");
}

TEST_F(SearchTask, CloseFailureEndsTheRunAndReplacesTheOpenError) {
  Task.SerialPortNames = {"COM1", "COM2"};
  Task.BaudRates = {9600};
  Task.Protocols = {dpOrvatbus};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Script.OnSearch = [](TFakeSearcher&, std::uint8_t, TDeviceInfo&) {
    throw EConnectionOpenError::Create("[COM1] busy");
  };
  Script.OnClose = [](const std::string&) {
    throw EConnectionCloseError::Create("[COM1] close failed");
  };
  Run();

  EXPECT_THAT(Script.Filter("create"), ElementsAre("create COM1:9600,Orvatbus,serial"));
  EXPECT_THAT(Script.Filter("free"), ElementsAre("free COM1:9600,Orvatbus"));
  EXPECT_THAT(Script.Filter("finished"), ElementsAre("finished normal"));
  EXPECT_THAT(Task.RunError(), HasSubstr("close failed"));
}

TEST_F(SearchTask, ProtocolOutsideTheTableIsSkipped) {
  Task.SerialPortNames = {"COM1"};
  Task.BaudRates = {9600};
  Task.Protocols = {static_cast<TDeviceProtocol>(4), dpOrvatbus, static_cast<TDeviceProtocol>(255)};
  Task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  Run();
  EXPECT_THAT(Script.Filter("create"), ElementsAre("create COM1:9600,Orvatbus,serial"));
  EXPECT_THAT(Script.Filter("found"), ElementsAre("found COM1:9600,Orvatbus,1 reported=1 log=1"));
  EXPECT_THROW(Task.SetAddresses(static_cast<TDeviceProtocol>(4), std::vector<std::uint8_t>{1}),
               EArgumentError);
}

TEST(SearchTaskLifetime, DestructionStopsARunningTaskAndWaits) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  TGate gate;
  script.OnSearch = [&gate](TFakeSearcher&, std::uint8_t Address, TDeviceInfo& Info) {
    gate.Enter();
    Info.Address = Address;
  };
  std::thread releaser;
  {
    TSearchDevicesTask task;
    test::RecordEvents(task, script);
    task.SerialPortNames = {"COM1"};
    task.BaudRates = {9600};
    task.Protocols = {dpOrvatbus};
    task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1, 2});
    task.Start();
    ASSERT_TRUE(test::WaitFor([&] { return gate.WasEntered(); }));
    // Lets the attempt end only once the destructor has asked the task to stop.
    releaser = std::thread([&gate, &task] {
      test::WaitFor([&task] { return task.Terminated(); });
      gate.Release();
    });
  }
  releaser.join();
  EXPECT_THAT(script.Filter("progress"), ElementsAre("progress COM1:9600,Orvatbus,1"));
  EXPECT_THAT(script.Filter("finished"), ElementsAre("finished aborted"));
}

TEST(SearchTaskLifetime, NeverStartedTaskStillFinishesOnceWithoutAttempts) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  {
    TSearchDevicesTask task;
    test::RecordEvents(task, script);
    task.SerialPortNames = {"COM1"};
    task.BaudRates = {9600};
    task.TcpEndpoints = {"h:1"};
    task.Protocols = {dpOrvatbus};
    task.SetAddresses(dpOrvatbus, std::vector<std::uint8_t>{1});
  }
  EXPECT_THAT(script.Snapshot(), ElementsAre("finished aborted"));
}

TEST(SearchTaskLifetime, TaskMayBeDestroyedFromItsFinishedHandler) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  auto* task = new TSearchDevicesTask;
  std::atomic<bool> done{false};
  task->OnSearchFinished = [&done](TSearchDevicesTask* Sender, bool) {
    delete Sender;
    done = true;
  };
  task->Start();
  EXPECT_TRUE(test::WaitFor([&] { return done.load(); }));
}

TEST(DeviceSearcherFactory, RangeCheckComesBeforeTheInjectedFactory) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  EXPECT_EQ(CreateDeviceSearcher("COM1", 9600, static_cast<TDeviceProtocol>(4),
                                 TConnectionType::ctSerialPort),
            nullptr);
  EXPECT_NE(CreateDeviceSearcher("COM1", 9600, dpModbusRtu, TConnectionType::ctSerialPort),
            nullptr);
  EXPECT_THAT(script.Filter("create"), ElementsAre("create COM1:9600,ModbusRTU,serial"));
}

TEST(SearchEngineTypes, ProtocolNames) {
  EXPECT_EQ(DeviceProtocolName(dpOrvatbus), "Orvatbus");
  EXPECT_EQ(DeviceProtocolName(dpModbusRtu), "ModbusRTU");
  EXPECT_EQ(DeviceProtocolName(dpModbusTcp), "ModbusTCP");
  EXPECT_EQ(DeviceProtocolName(dpOrvatAscii), "OrvatASCII");
  EXPECT_EQ(DeviceProtocolName(static_cast<TDeviceProtocol>(4)), "");
}

}  // namespace
}  // namespace probrix
