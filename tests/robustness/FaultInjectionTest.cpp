// Whole searches against simulated devices that misbehave: a port that vanishes in the middle
// of a reply, a TCP peer that closes in the middle of one, a device that drips one byte every
// 150 ms, 64 KiB of bytes without any frame marker, and an MBAP length field of 65535. Each
// attempt ends in its error class, the search goes on with the next address or connection,
// and after the search and the factory's shutdown no thread or descriptor is left.

#include <dirent.h>
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
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
using devsim::TSimulator;
using namespace std::chrono_literals;

std::size_t CountEntries(const char* Folder) {
  std::size_t n = 0;
  if (DIR* dir = opendir(Folder)) {
    while (dirent* e = readdir(dir))
      if (e->d_name[0] != '.') ++n;
    closedir(dir);
  }
  return n > 0 ? n - (std::string(Folder) == "/proc/self/fd" ? 1 : 0) : 0;  // the DIR itself
}

struct TResources {
  std::size_t Descriptors = CountEntries("/proc/self/fd");
  std::size_t Threads = CountEntries("/proc/self/task");
};

struct TAttempt {
  std::string Connection;
  std::uint8_t Address;
  TDeviceProtocol Protocol;
  std::unique_ptr<Exception> Error;  // empty: a device was found
};

// Runs one search and records its events.
class TRecordedSearch {
 public:
  explicit TRecordedSearch(TSearchDevicesTask& Task) {
    Task.OnDeviceFound = [this](TSearchDevicesTask*, const TSearchAttempt& A, const TDeviceInfo&,
                                const TSearchLog&) {
      std::lock_guard guard(Lock_);
      Attempts.push_back({A.ConnectionName, A.Address, A.Protocol, nullptr});
    };
    Task.OnSearchError = [this](TSearchDevicesTask*, const TSearchAttempt& A,
                                const Exception& Error, const TSearchLog&) {
      std::lock_guard guard(Lock_);
      Attempts.push_back({A.ConnectionName, A.Address, A.Protocol, Error.Clone()});
    };
    Task.OnSearchFinished = [this](TSearchDevicesTask*, bool) {
      std::lock_guard guard(Lock_);
      ++Finished;
    };
  }

  // The attempts at one connection and address, in order.
  std::vector<const TAttempt*> At(const std::string& Connection, std::uint8_t Address) const {
    std::vector<const TAttempt*> out;
    for (const TAttempt& a : Attempts)
      if (a.Connection == Connection && a.Address == Address) out.push_back(&a);
    return out;
  }
  bool Found(const std::string& Connection, std::uint8_t Address) const {
    for (const TAttempt* a : At(Connection, Address))
      if (!a->Error) return true;
    return false;
  }

  // Every attempt, for failure messages.
  std::string Describe() const {
    std::string out;
    for (const TAttempt& a : Attempts) {
      out += a.Connection + " #" + std::to_string(a.Address) + ": ";
      out += a.Error ? DescribeException(a.Error.get()) : "found";
      out += "\n";
    }
    return out;
  }

  std::vector<TAttempt> Attempts;
  int Finished = 0;

 private:
  std::mutex Lock_;
};

class FaultInjection : public ::testing::Test {
 protected:
  void SetUp() override {
    ShutdownConnectionFactory();
    // A runtime may start helpers of its own with the process's first thread
    // (ThreadSanitizer does); start one first so they are in the count taken before.
    std::thread([] {}).join();
  }
  void TearDown() override { ShutdownConnectionFactory(); }

  // One protocol with its addresses.
  static void PlanProtocol(TSearchDevicesTask& Task, TDeviceProtocol Protocol,
                           const std::vector<std::uint8_t>& Addresses) {
    Task.Protocols = {Protocol};
    Task.SetAddresses(Protocol, Addresses);
  }
  // Serial ports at 9600 baud with one protocol.
  static void PlanSerial(TSearchDevicesTask& Task, std::vector<std::string> Ports,
                         TDeviceProtocol Protocol, const std::vector<std::uint8_t>& Addresses) {
    Task.SerialPortNames = std::move(Ports);
    Task.BaudRates = {9600};
    PlanProtocol(Task, Protocol, Addresses);
  }

  static void Run(TSearchDevicesTask& Task) {
    Task.ReadTimeout = 60;
    Task.StartOfPacketReadTimeout = 40;
    Task.RequestRetryCount = 1;
    Task.Start();
    Task.WaitFor();
  }

  // After everything is stopped: the counts come back to what they were.
  static void ExpectNothingLeft(const TResources& Before) {
    ShutdownConnectionFactory();
    EXPECT_TRUE(test::WaitFor([&] { return TResources().Threads <= Before.Threads; }, 2s))
        << "threads before " << Before.Threads << ", now " << TResources().Threads;
    EXPECT_TRUE(test::WaitFor([&] { return TResources().Descriptors <= Before.Descriptors; }, 2s))
        << "descriptors before " << Before.Descriptors << ", now " << TResources().Descriptors;
  }

  static TDeviceConfig Orvatbus(int Address) {
    TDeviceConfig d;
    d.Kind = TDeviceKind::dkOrvatbus;
    d.Address = Address;
    d.Checksum = devsim::TChecksum::ckCrc8;
    d.DeviceType = 6;
    d.FirmwareVersion = 421;
    d.SerialNumber = 10234;
    return d;
  }
  static TDeviceConfig ModbusUnit(int Address) {
    TDeviceConfig d;
    d.Kind = TDeviceKind::dkModbus;
    d.Address = Address;
    d.DeviceType = 16;
    d.FirmwareVersion = 215;
    d.SerialNumber = 4321;
    return d;
  }
};

TEST_F(FaultInjection, SerialPortVanishingMidReplyEndsThatPortOnly) {
  const TResources before;
  {
    TSimulator sim;
    const std::string lost = sim.AddSerialPort();
    const std::string healthy = sim.AddSerialPort();
    TDeviceConfig vanishing = Orvatbus(5);
    vanishing.Behaviour.VanishMidReply = true;
    sim.AddDevice(lost, vanishing);
    sim.AddDevice(healthy, Orvatbus(5));

    TSearchDevicesTask task;
    PlanSerial(task, {lost, healthy}, TDeviceProtocol::dpOrvatbus, {5, 6});
    TRecordedSearch events(task);
    Run(task);

    EXPECT_EQ(task.RunError(), "");
    EXPECT_EQ(events.Finished, 1);
    const auto attempts = events.At(lost, 5);
    ASSERT_FALSE(attempts.empty());
    ASSERT_TRUE(attempts[0]->Error);
    EXPECT_TRUE(attempts[0]->Error->Is<EConnectionIOError>()) << attempts[0]->Error->ClassName();
    // The port is gone: the next address cannot open it, which ends the port.
    for (const TAttempt* a : events.At(lost, 6)) {
      ASSERT_TRUE(a->Error);
      EXPECT_TRUE(a->Error->Is<EConnectionOpenError>() || a->Error->Is<EConnectionIOError>())
          << a->Error->ClassName();
    }
    EXPECT_TRUE(events.Found(healthy, 5)) << events.Describe();
  }
  ExpectNothingLeft(before);
}

TEST_F(FaultInjection, TcpPeerClosingMidReplyFailsOneAttemptAndTheNextReconnects) {
  const TResources before;
  {
    TSimulator sim;
    const std::uint16_t port = sim.AddTcpServer();
    TDeviceConfig closing = ModbusUnit(1);
    closing.Behaviour.CloseMidReply = true;
    sim.AddDevice(port, closing);
    sim.AddDevice(port, ModbusUnit(2));

    TSearchDevicesTask task;
    const std::string endpoint = "127.0.0.1:" + std::to_string(port);
    task.TcpEndpoints = {endpoint};
    PlanProtocol(task, TDeviceProtocol::dpModbusTcp, {1, 2});
    TRecordedSearch events(task);
    Run(task);

    EXPECT_EQ(task.RunError(), "");
    EXPECT_EQ(events.Finished, 1);
    const auto attempts = events.At("127.0.0.1", 1);
    ASSERT_FALSE(attempts.empty());
    ASSERT_TRUE(attempts[0]->Error);
    EXPECT_TRUE(attempts[0]->Error->Is<EConnectionIOError>()) << attempts[0]->Error->ClassName();
    EXPECT_TRUE(events.Found("127.0.0.1", 2)) << events.Describe();
    EXPECT_GE(sim.AcceptCount(port), 2u);
  }
  ExpectNothingLeft(before);
}

TEST_F(FaultInjection, DrippingDeviceTimesOutAndTheNextPortIsSearched) {
  const TResources before;
  {
    TSimulator sim;
    const std::string slow = sim.AddSerialPort();
    const std::string healthy = sim.AddSerialPort();
    TDeviceConfig dripping = ModbusUnit(3);
    dripping.Behaviour.DripMs = 150;
    sim.AddDevice(slow, dripping);
    sim.AddDevice(healthy, ModbusUnit(3));

    TSearchDevicesTask task;
    PlanSerial(task, {slow, healthy}, TDeviceProtocol::dpModbusRtu, {3});
    TRecordedSearch events(task);
    Run(task);

    EXPECT_EQ(task.RunError(), "");
    const auto attempts = events.At(slow, 3);
    ASSERT_FALSE(attempts.empty());
    for (const TAttempt* a : attempts) {
      ASSERT_TRUE(a->Error);
      EXPECT_TRUE(a->Error->Is<ETimeoutError>() || a->Error->Is<EDeviceMessagingError>())
          << a->Error->ClassName();
    }
    EXPECT_TRUE(attempts[0]->Error->Is<ETimeoutError>()) << attempts[0]->Error->ClassName();
    EXPECT_TRUE(events.Found(healthy, 3)) << events.Describe();
  }
  ExpectNothingLeft(before);
}

TEST_F(FaultInjection, GarbageWithoutFrameMarkersIsRefusedWithinBounds) {
  const TResources before;
  {
    TSimulator sim;
    const std::string orvatPort = sim.AddSerialPort();
    const std::string asciiPort = sim.AddSerialPort();
    const std::string healthy = sim.AddSerialPort();
    TDeviceConfig flooding = Orvatbus(5);
    flooding.Behaviour.GarbageBytes = 64 * 1024;
    sim.AddDevice(orvatPort, flooding);
    TDeviceConfig asciiFlood;
    asciiFlood.Kind = TDeviceKind::dkOrvatAscii;
    asciiFlood.Address = 'A';
    asciiFlood.IntervalMs = 10;
    asciiFlood.Behaviour.GarbageBytes = 64 * 1024;
    sim.AddDevice(asciiPort, asciiFlood);
    sim.AddDevice(healthy, Orvatbus(5));

    TSearchDevicesTask task;
    PlanSerial(task, {orvatPort, healthy}, TDeviceProtocol::dpOrvatbus, {5});
    TRecordedSearch events(task);
    Run(task);

    EXPECT_EQ(task.RunError(), "");
    EXPECT_EQ(events.Finished, 1);
    const auto flooded = events.At(orvatPort, 5);
    ASSERT_FALSE(flooded.empty()) << events.Describe();
    for (const TAttempt* a : flooded) {
      ASSERT_TRUE(a->Error);
      EXPECT_TRUE(a->Error->Is<ECorruptMessageFrame>() || a->Error->Is<ETimeoutError>())
          << events.Describe();
    }

    // A listening attempt bounds its accumulator and ends (the simulator flushes what waits on
    // its side of a flooded terminal, which a reader may see as an I/O error).
    TSearchDevicesTask listening;
    PlanSerial(listening, {asciiPort}, TDeviceProtocol::dpOrvatAscii, {95});
    TRecordedSearch asciiEvents(listening);
    Run(listening);
    EXPECT_EQ(listening.RunError(), "");
    const auto asciiAttempts = asciiEvents.At(asciiPort, 95);
    ASSERT_EQ(asciiAttempts.size(), 1u) << asciiEvents.Describe();
    ASSERT_TRUE(asciiAttempts[0]->Error);
    EXPECT_TRUE(asciiAttempts[0]->Error->Is<ETimeoutError>() ||
                asciiAttempts[0]->Error->Is<ECorruptMessageFrame>() ||
                asciiAttempts[0]->Error->Is<EConnectionIOError>())
        << asciiEvents.Describe();
    EXPECT_TRUE(events.Found(healthy, 5)) << events.Describe();
  }
  ExpectNothingLeft(before);
}

// A refused header closes the connection, so the rest of that reply cannot spoil the next
// address: unit 2 behind the same endpoint is found, and so is the next endpoint's unit.
TEST_F(FaultInjection, MbapLengthFieldOf65535IsACorruptFrame) {
  const TResources before;
  {
    TSimulator sim;
    const std::uint16_t port = sim.AddTcpServer();
    const std::uint16_t healthy = sim.AddTcpServer();
    TDeviceConfig lying = ModbusUnit(1);
    lying.Behaviour.MbapLengthField = 65535;
    sim.AddDevice(port, lying);
    sim.AddDevice(port, ModbusUnit(2));
    sim.AddDevice(healthy, ModbusUnit(1));

    TSearchDevicesTask task;
    task.TcpEndpoints = {"127.0.0.1:" + std::to_string(port),
                         "127.0.0.1:" + std::to_string(healthy)};
    PlanProtocol(task, TDeviceProtocol::dpModbusTcp, {1, 2});
    TRecordedSearch events(task);
    Run(task);

    EXPECT_EQ(task.RunError(), "");
    EXPECT_EQ(events.Finished, 1);
    ASSERT_FALSE(events.Attempts.empty());
    const TAttempt& first = events.Attempts.front();
    EXPECT_EQ(first.Address, 1);
    ASSERT_TRUE(first.Error);
    EXPECT_TRUE(first.Error->Is<ECorruptMessageFrame>()) << events.Describe();
    // Unit 1 of the lying server once (a corrupt frame is not retried), unit 2 found, then the
    // other server's unit 1 found.
    EXPECT_EQ(events.At("127.0.0.1", 1).size(), 2u) << events.Describe();
    EXPECT_TRUE(events.Found("127.0.0.1", 2)) << events.Describe();
    EXPECT_TRUE(events.Found("127.0.0.1", 1)) << events.Describe();
  }
  ExpectNothingLeft(before);
}

}  // namespace
}  // namespace probrix
