// Whole searches where one device misbehaves: a late reply, noise, another device's frame of
// any function or bytes that wait when a connection opens never hide the devices, listening
// that starts mid-line still hears the device, and a stop ends the wait in progress instead of
// waiting for its timeout.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "connections/ioConnectionFactory.h"
#include "devsim/devsimSimulator.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"
#include "support/TestSupport.h"

namespace probrix {
namespace {

using devsim::TDeviceConfig;
using devsim::TDeviceKind;
using namespace std::chrono_literals;

// One event of a search, in the order raised.
struct TEvent {
  enum TKind { ekProgress, ekFound, ekError, ekFinished } Kind = ekProgress;
  std::uint8_t Address = 0;
  std::string ErrorClass;
  std::string Log;
  bool Aborted = false;
};

// Runs a task and records its events; Stop and the wait for the end are the test's.
class TRecordedTask {
 public:
  TRecordedTask() : Task(std::make_unique<TSearchDevicesTask>()) {
    Task->OnProgressChanged = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt) {
      Add({TEvent::ekProgress, Attempt.Address, {}, {}, false});
    };
    Task->OnDeviceFound = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                                 const TDeviceInfo&, const TSearchLog& Log) {
      Add({TEvent::ekFound, Attempt.Address, {}, Log.Text(), false});
    };
    Task->OnSearchError = [this](TSearchDevicesTask*, const TSearchAttempt& Attempt,
                                 const Exception& Error, const TSearchLog& Log) {
      Add({TEvent::ekError, Attempt.Address, Error.ClassName(), Log.Text(), false});
    };
    Task->OnSearchFinished = [this](TSearchDevicesTask*, bool Aborted) {
      Add({TEvent::ekFinished, 0, {}, {}, Aborted});
    };
  }

  void Plan(TDeviceProtocol Protocol, std::vector<std::uint8_t> Addresses,
            std::int32_t StartOfPacket) {
    Task->Protocols = {Protocol};
    Task->SetAddresses(Protocol, Addresses);
    Task->StartOfPacketReadTimeout = StartOfPacket;
    Task->ReadTimeout = 3 * StartOfPacket;
    Task->RequestRetryCount = 1;
  }

  std::vector<TEvent> Run() {
    Task->Start();
    Task->WaitFor();
    return Events();
  }

  // Waits until an event of Kind has been raised (at most Limit).
  bool WaitFor(TEvent::TKind Kind, std::chrono::milliseconds Limit) {
    std::unique_lock lock(Lock_);
    return Changed_.wait_for(lock, Limit, [&] {
      for (const TEvent& e : Events_)
        if (e.Kind == Kind) return true;
      return false;
    });
  }

  std::vector<TEvent> Events() {
    std::lock_guard guard(Lock_);
    return Events_;
  }

  // Ends the task before the record it writes to.
  ~TRecordedTask() { Task.reset(); }

  std::unique_ptr<TSearchDevicesTask> Task;

 private:
  void Add(TEvent E) {
    std::lock_guard guard(Lock_);
    Events_.push_back(std::move(E));
    Changed_.notify_all();
  }

  std::mutex Lock_;
  std::condition_variable Changed_;
  std::vector<TEvent> Events_;
};

TDeviceConfig Modbus(int Address, std::uint32_t Serial) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = 16;
  d.FirmwareVersion = 215;
  d.SerialNumber = Serial;
  return d;
}

TDeviceConfig Ascii(int IntervalMs, int StartOffset) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkOrvatAscii;
  d.Address = 'A';
  d.IntervalMs = IntervalMs;
  d.StartOffset = StartOffset;
  return d;
}

// The outcome of each attempt (found or the error class), by probed address.
std::map<int, std::string> Outcomes(const std::vector<TEvent>& Events) {
  std::map<int, std::string> outcomes;
  for (const TEvent& e : Events) {
    if (e.Kind == TEvent::ekFound) outcomes[e.Address] = "found";
    if (e.Kind == TEvent::ekError) outcomes[e.Address] = e.ErrorClass;
  }
  return outcomes;
}

const TEvent* AttemptOf(const std::vector<TEvent>& Events, int Address) {
  for (const TEvent& e : Events)
    if ((e.Kind == TEvent::ekFound || e.Kind == TEvent::ekError) && e.Address == Address) return &e;
  return nullptr;
}

// A search over units 5..8 where unit 5 answers late: it fails for want of a reply, units 7 and
// 8 are found (and unit 6 unless it answers with noise), and unit 6's attempt log shows unit
// 5's reply passed over, as Skipped begins.
void ExpectOnlyTheLateUnitAndTheNoisyOneMissed(const std::vector<TEvent>& Events, bool NoisySix,
                                               const std::string& Skipped) {
  const auto outcomes = Outcomes(Events);
  EXPECT_EQ(outcomes.at(5), "EReadMessageTimeoutError");
  EXPECT_EQ(outcomes.at(6) == "found", !NoisySix) << outcomes.at(6);
  EXPECT_EQ(outcomes.at(7), "found");
  EXPECT_EQ(outcomes.at(8), "found");
  const TEvent* unit6 = AttemptOf(Events, 6);
  ASSERT_NE(unit6, nullptr);
  EXPECT_NE(unit6->Log.find(Skipped), std::string::npos) << unit6->Log;
}

class MisbehavingDevices : public ::testing::Test {
 protected:
  void SetUp() override { ShutdownConnectionFactory(); }
  void TearDown() override { ShutdownConnectionFactory(); }

  devsim::TSimulator Sim_;
};

// A slow unit behind a gateway that answers in order: its reply comes after the master gave up
// on it, just before the next unit's.
TEST_F(MisbehavingDevices, LateModbusTcpReplyIsSkippedAndTheUnitsAfterItAreFound) {
  const std::uint16_t server = Sim_.AddTcpServer();
  TDeviceConfig late = Modbus(5, 5);
  late.Behaviour.DelayMs = 300;
  Sim_.AddDevice(server, late);
  for (int unit : {6, 7, 8}) Sim_.AddDevice(server, Modbus(unit, static_cast<std::uint32_t>(unit)));

  TRecordedTask search;
  search.Task->TcpEndpoints = {"127.0.0.1:" + std::to_string(server)};
  search.Plan(TDeviceProtocol::dpModbusTcp, {5, 6, 7, 8}, 200);
  ExpectOnlyTheLateUnitAndTheNoisyOneMissed(search.Run(), false,
                                            "<skp (size=29) 00 01 00 00 00 17 05 03 14 ");
}

// On one serial bus: a unit that answers late and a unit that answers with noise.
TEST_F(MisbehavingDevices, LateAndNoisyRtuDevicesDoNotHideTheOthers) {
  const std::string port = Sim_.AddSerialPort();
  TDeviceConfig late = Modbus(5, 5);
  late.Behaviour.DelayMs = 300;
  TDeviceConfig noisy = Modbus(6, 6);
  noisy.Behaviour.GarbageBytes = 30;
  for (const auto& d : {late, noisy, Modbus(7, 7), Modbus(8, 8)}) Sim_.AddDevice(port, d);

  TRecordedTask search;
  search.Task->SerialPortNames = {port};
  search.Task->BaudRates = {9600};
  search.Plan(TDeviceProtocol::dpModbusRtu, {5, 6, 7, 8}, 200);
  ExpectOnlyTheLateUnitAndTheNoisyOneMissed(search.Run(), true, "<skp (size=25) 05 03 14 ");
}

// Bytes queued in a port before it opens (an earlier session, power-on chatter) and a server's
// greeting are dropped and logged before the first request: address 1 is found.
TEST_F(MisbehavingDevices, BytesWaitingWhenAConnectionOpensAreDiscardedAndLogged) {
  const std::string port = Sim_.AddSerialPort({.QueuedBytes = 16});
  Sim_.AddDevice(port, Modbus(1, 1));
  TRecordedTask serial;
  serial.Task->SerialPortNames = {port};
  serial.Task->BaudRates = {9600};
  serial.Plan(TDeviceProtocol::dpModbusRtu, {1}, 200);
  const auto serialEvents = serial.Run();
  ASSERT_EQ(Outcomes(serialEvents).at(1), "found");
  EXPECT_NE(AttemptOf(serialEvents, 1)->Log.find("<del (size=16) "), std::string::npos)
      << AttemptOf(serialEvents, 1)->Log;

  const std::uint16_t server = Sim_.AddTcpServer({.Greeting = "Welcome to the bridge"});
  for (int unit : {1, 2}) Sim_.AddDevice(server, Modbus(unit, static_cast<std::uint32_t>(unit)));
  TRecordedTask tcp;
  tcp.Task->TcpEndpoints = {"127.0.0.1:" + std::to_string(server)};
  tcp.Plan(TDeviceProtocol::dpModbusTcp, {1, 2}, 200);
  const auto tcpEvents = tcp.Run();
  const auto outcomes = Outcomes(tcpEvents);
  EXPECT_EQ(outcomes.at(1), "found");
  EXPECT_EQ(outcomes.at(2), "found");
  EXPECT_NE(AttemptOf(tcpEvents, 1)->Log.find("<del (size=21) 57 65 6C 63 6F 6D 65 "),
            std::string::npos)
      << AttemptOf(tcpEvents, 1)->Log;
}

// Another device's frame right before the reply, of a function the reply rule does not know
// (0x11, 0x41) or an exception reply, never hides the probed device; an exception reply from
// another address alone is no error of the probed one.
TEST_F(MisbehavingDevices, ForeignFramesOfAnyFunctionDoNotHideTheDevice) {
  const std::string port = Sim_.AddSerialPort();
  const std::map<int, int> foreign = {{5, 0x11}, {6, 0x41}, {7, 0x83}};
  for (const auto& [unit, function] : foreign) {
    TDeviceConfig d = Modbus(unit, static_cast<std::uint32_t>(unit));
    d.ForeignFunction = function;
    d.ForeignAddress = 9;
    Sim_.AddDevice(port, d);
  }
  TDeviceConfig claimsNine = Modbus(8, 8);
  claimsNine.ReplyAddress = 9;
  claimsNine.ExceptionCode = 2;
  Sim_.AddDevice(port, claimsNine);

  TRecordedTask search;
  search.Task->SerialPortNames = {port};
  search.Task->BaudRates = {9600};
  search.Plan(TDeviceProtocol::dpModbusRtu, {5, 6, 7, 8}, 200);
  const auto events = search.Run();
  const auto outcomes = Outcomes(events);
  for (int unit : {5, 6, 7}) {
    EXPECT_EQ(outcomes.at(unit), "found") << unit;
    EXPECT_NE(AttemptOf(events, unit)->Log.find("(ответ другого прибора с адресом 9 пропущен"),
              std::string::npos)
        << AttemptOf(events, unit)->Log;
  }
  EXPECT_EQ(outcomes.at(8), "ESlaveAddressMismatch");
}

TEST_F(MisbehavingDevices, OrvatAsciiListeningThatStartsMidLineHearsTheDevice) {
  // The first line the port delivers is the tail of one (it starts at its sixth byte).
  const std::string tail = Sim_.AddSerialPort();
  Sim_.AddDevice(tail, Ascii(100, 5));
  // Lines back to back at 9600 baud on a line that loses what nobody reads: every opening
  // of the port meets the transmission wherever it happens to be.
  devsim::TSerialPortConfig lossy;
  lossy.WireTiming = true;
  lossy.Lossy = true;
  const std::string continuous = Sim_.AddSerialPort(lossy);
  Sim_.AddDevice(continuous, Ascii(0, 0));

  for (const std::string& port : {tail, continuous, continuous, continuous}) {
    TRecordedTask search;
    search.Task->SerialPortNames = {port};
    search.Task->BaudRates = {9600};
    search.Plan(TDeviceProtocol::dpOrvatAscii, {95}, 50);
    const auto outcomes = Outcomes(search.Run());
    ASSERT_EQ(outcomes.size(), 1u);
    EXPECT_EQ(outcomes.at(95), "found") << port;
  }
}

// --- Stopping ------------------------------------------------------------------------------

// Stop while the attempt waits: the task finishes as aborted, the cut attempt reports nothing,
// and the worker has ended. Limit is far below the wait the attempt would otherwise make.
void ExpectStoppedQuietly(TRecordedTask& Search, std::chrono::milliseconds Limit) {
  Search.Task->Stop();
  ASSERT_TRUE(Search.WaitFor(TEvent::ekFinished, Limit)) << "the wait was not cut short";
  Search.Task->WaitFor();
  EXPECT_TRUE(Search.Task->Finished());
  const auto events = Search.Events();
  ASSERT_EQ(events.size(), 2u) << "progress, then finished; no search error";
  EXPECT_EQ(events[0].Kind, TEvent::ekProgress);
  EXPECT_EQ(events[1].Kind, TEvent::ekFinished);
  EXPECT_TRUE(events[1].Aborted);
  EXPECT_TRUE(Search.Task->RunError().empty()) << Search.Task->RunError();
}

class StopDuringAnAttempt : public MisbehavingDevices {};

TEST_F(StopDuringAnAttempt, SerialReadWithATenSecondTimeout) {
  const std::string port = Sim_.AddSerialPort();
  TDeviceConfig silent = Modbus(1, 1);
  silent.Behaviour.Silent = true;
  const int device = Sim_.AddDevice(port, silent);
  TRecordedTask search;
  search.Task->SerialPortNames = {port};
  search.Task->BaudRates = {9600};
  search.Plan(TDeviceProtocol::dpModbusRtu, {1, 2}, 10000);
  search.Task->Start();
  // The request is out: the receiver waits for the reply.
  ASSERT_TRUE(test::WaitFor([&] { return Sim_.RequestCount(device) == 1; }));
  ExpectStoppedQuietly(search, 5000ms);
}

TEST_F(StopDuringAnAttempt, TcpConnectThatGetsNoAnswer) {
  // A listener whose accept queue is full drops further handshakes: the connect waits (3 s).
  const int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sin);
  ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);
  ASSERT_EQ(::listen(listener, 0), 0);
  ASSERT_EQ(::getsockname(listener, reinterpret_cast<sockaddr*>(&sin), &len), 0);
  const int filler = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  ASSERT_EQ(::connect(filler, reinterpret_cast<sockaddr*>(&sin), sizeof(sin)), 0);

  TRecordedTask search;
  search.Task->TcpEndpoints = {"127.0.0.1:" + std::to_string(ntohs(sin.sin_port))};
  search.Plan(TDeviceProtocol::dpModbusTcp, {1}, 10000);
  search.Task->Start();
  ASSERT_TRUE(search.WaitFor(TEvent::ekProgress, 5000ms));
  ExpectStoppedQuietly(search, 2000ms);
  ::close(filler);
  ::close(listener);
}

TEST_F(StopDuringAnAttempt, OrvatAsciiListen) {
  const std::uint16_t server = Sim_.AddTcpServer();  // nothing transmits: a listen of 4160 ms
  TRecordedTask search;
  search.Task->TcpEndpoints = {"127.0.0.1:" + std::to_string(server)};
  search.Plan(TDeviceProtocol::dpOrvatAscii, {95}, 200);
  search.Task->Start();
  // Connected: the receiver listens.
  ASSERT_TRUE(test::WaitFor([&] { return Sim_.AcceptCount(server) == 1; }));
  ExpectStoppedQuietly(search, 3000ms);
}

TEST_F(StopDuringAnAttempt, DestroyingARunningTaskCancelsTheSameWay) {
  const std::string port = Sim_.AddSerialPort();
  TDeviceConfig silent = Modbus(1, 1);
  silent.Behaviour.Silent = true;
  const int device = Sim_.AddDevice(port, silent);
  TRecordedTask search;
  search.Task->SerialPortNames = {port};
  search.Task->BaudRates = {9600};
  search.Plan(TDeviceProtocol::dpModbusRtu, {1}, 10000);
  search.Task->Start();
  ASSERT_TRUE(test::WaitFor([&] { return Sim_.RequestCount(device) == 1; }));
  search.Task.reset();  // stops and waits for the worker
  const auto events = search.Events();
  ASSERT_EQ(events.size(), 2u) << "progress, then finished; no search error";
  EXPECT_EQ(events[1].Kind, TEvent::ekFinished);
  EXPECT_TRUE(events[1].Aborted);
}

}  // namespace
}  // namespace probrix
