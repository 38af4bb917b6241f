// Whole searches over the simulator's pseudo terminals and loopback servers: Orvatbus devices
// with both checksums on one bus, the single-device mode, device error replies, noisy and split
// replies, a transmitting OrvatASCII device, Modbus devices of other makers beside the
// maker's instruments (a gateway that answers for units nobody has, a device that ignores the
// unit id), and lines that echo every request.

#include <gtest/gtest.h>

#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "connections/ioConnectionFactory.h"
#include "devsim/devsimSimulator.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"
#include "search/uSearchReport.h"

namespace probrix {
namespace {

using devsim::TDeviceConfig;
using devsim::TDeviceKind;

struct TOutcome {
  std::uint8_t Probed = 0;
  TDeviceProtocol Protocol = TDeviceProtocol::dpOrvatbus;
  bool Found = false;
  TDeviceInfo Info;
  std::string ErrorClass;
  std::string ErrorText;  // as the operator reads it
  std::size_t LogLines = 0;
  std::string LogText;
};

class SimulatedPorts : public ::testing::Test {
 protected:
  void SetUp() override {
    ShutdownConnectionFactory();
    Port_ = Sim_.AddSerialPort();
  }
  void TearDown() override { ShutdownConnectionFactory(); }

  static TDeviceConfig Orvatbus(int Address, devsim::TChecksum Checksum, std::uint8_t Type,
                                std::uint16_t Version, std::uint32_t Serial) {
    TDeviceConfig d;
    d.Kind = TDeviceKind::dkOrvatbus;
    d.Address = Address;
    d.Checksum = Checksum;
    d.DeviceType = Type;
    d.FirmwareVersion = Version;
    d.SerialNumber = Serial;
    return d;
  }

  static TDeviceConfig Modbus(int Address) {
    TDeviceConfig d;
    d.Kind = TDeviceKind::dkModbus;
    d.Address = Address;
    d.DeviceType = 16;
    d.FirmwareVersion = 215;
    d.SerialNumber = 4321;
    return d;
  }
  // A device of another maker, with these identification objects.
  static TDeviceConfig OtherMaker(int Address, std::map<int, std::string> Objects = {}) {
    TDeviceConfig d = Modbus(Address);
    d.OtherMaker = true;
    d.IdObjects = std::move(Objects);
    return d;
  }

  // A search of the port, or of the TCP servers when there are any, with one protocol.
  std::vector<TOutcome> Search(TDeviceProtocol Protocol, std::vector<std::uint8_t> Addresses,
                               const std::vector<std::uint16_t>& Servers = {}) {
    TSearchDevicesTask task;
    if (Servers.empty()) task.SerialPortNames = {Port_};
    for (const std::uint16_t server : Servers)
      task.TcpEndpoints.push_back("127.0.0.1:" + std::to_string(server));
    task.BaudRates = {9600};
    task.Protocols = {Protocol};
    task.SetAddresses(Protocol, Addresses);
    task.StartOfPacketReadTimeout = 60;
    task.ReadTimeout = 180;
    task.RequestRetryCount = 1;
    std::vector<TOutcome> outcomes;
    std::mutex lock;
    task.OnDeviceFound = [&](TSearchDevicesTask*, const TSearchAttempt& A, const TDeviceInfo& Info,
                             const TSearchLog& Log) {
      std::lock_guard guard(lock);
      outcomes.push_back(
          {A.Address, A.Protocol, true, Info, {}, {}, Log.Lines().size(), Log.Text()});
    };
    task.OnSearchError = [&](TSearchDevicesTask*, const TSearchAttempt& A, const Exception& Error,
                             const TSearchLog& Log) {
      std::lock_guard guard(lock);
      outcomes.push_back({A.Address,
                          A.Protocol,
                          false,
                          {},
                          Error.ClassName(),
                          SearchErrorText(Error, A.ConnectionType),
                          Log.Lines().size(),
                          Log.Text()});
    };
    task.Start();
    task.WaitFor();
    return outcomes;
  }

  devsim::TSimulator Sim_;
  std::string Port_;
};

TEST_F(SimulatedPorts, OrvatbusDevicesWithBothChecksumsOnOneBus) {
  Sim_.AddDevice(Port_, Orvatbus(2, devsim::TChecksum::ckCrc8, 6, 421, 10234));
  Sim_.AddDevice(Port_, Orvatbus(7, devsim::TChecksum::ckCrc1, 16, 120, 777));
  const auto outcomes = Search(TDeviceProtocol::dpOrvatbus, {2, 3, 7});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_TRUE(outcomes[0].Found);
  EXPECT_EQ(outcomes[0].Info.Address, 2);
  EXPECT_EQ(outcomes[0].Info.ChecksumKind, TChecksumKind::ckCrc8) << "found with crc8";
  EXPECT_EQ(outcomes[0].Info.DeviceType, 6);
  EXPECT_EQ(outcomes[0].Info.FirmwareVersion, 421);
  EXPECT_EQ(outcomes[0].Info.SerialNumber, 10234);
  EXPECT_FALSE(outcomes[1].Found);
  EXPECT_EQ(outcomes[1].ErrorClass, "EReadSOHTimeoutError");
  EXPECT_TRUE(outcomes[2].Found);
  EXPECT_EQ(outcomes[2].Info.ChecksumKind, TChecksumKind::ckCrc1) << "found with crc1";
  EXPECT_EQ(outcomes[2].Info.DeviceType, 16);
  EXPECT_EQ(outcomes[2].Info.SerialNumber, 777);
}

TEST_F(SimulatedPorts, SingleDeviceModeReportsTheDevicesOwnAddress) {
  Sim_.AddDevice(Port_, Orvatbus(2, devsim::TChecksum::ckCrc8, 6, 421, 10234));
  const auto outcomes = Search(TDeviceProtocol::dpOrvatbus, {95});
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_TRUE(outcomes[0].Found) << outcomes[0].ErrorClass;
  EXPECT_EQ(outcomes[0].Probed, 95);
  EXPECT_EQ(outcomes[0].Info.Address, 2);
}

TEST_F(SimulatedPorts, ErrorRepliesNoiseAndSplitReplies) {
  TDeviceConfig busy = Orvatbus(3, devsim::TChecksum::ckCrc1, 6, 100, 1);
  busy.Error = devsim::TOrvatbusError::oeBusy;
  TDeviceConfig unknown = Orvatbus(4, devsim::TChecksum::ckCrc1, 6, 100, 1);
  unknown.Error = devsim::TOrvatbusError::oeUnknownCommand;
  TDeviceConfig noisy = Orvatbus(5, devsim::TChecksum::ckCrc1, 6, 100, 55);
  noisy.Behaviour.NoiseBytes = 7;
  noisy.Behaviour.Chunks = 2;
  noisy.Behaviour.ChunkGapMs = 10;
  for (const auto& d : {busy, unknown, noisy}) Sim_.AddDevice(Port_, d);
  const auto outcomes = Search(TDeviceProtocol::dpOrvatbus, {3, 4, 5});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_EQ(outcomes[0].ErrorClass, "ESlaveDeviceBusy");
  EXPECT_EQ(outcomes[1].ErrorClass, "EUnknownCommandCode");
  ASSERT_TRUE(outcomes[2].Found) << outcomes[2].ErrorClass;
  EXPECT_EQ(outcomes[2].Info.SerialNumber, 55);
}

TEST_F(SimulatedPorts, TransmittingOrvatAsciiDeviceIsHeard) {
  TDeviceConfig ascii;
  ascii.Kind = TDeviceKind::dkOrvatAscii;
  ascii.Address = 'A';
  ascii.IntervalMs = 50;
  Sim_.AddDevice(Port_, ascii);
  const auto outcomes = Search(TDeviceProtocol::dpOrvatAscii, {95, 96});
  ASSERT_EQ(outcomes.size(), 1u) << "one listening attempt per run";
  ASSERT_TRUE(outcomes[0].Found) << outcomes[0].ErrorClass;
  EXPECT_EQ(outcomes[0].Probed, 95);
  EXPECT_EQ(outcomes[0].Info.Address, 65);
}

const std::map<int, std::string> Acme = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};

TEST_F(SimulatedPorts, RtuBusWithDevicesOfSeveralMakers) {
  Sim_.AddDevice(Port_, Modbus(17));
  TDeviceConfig acme = OtherMaker(3, Acme);
  acme.IdObjectsPerReply = 2;  // its identification takes two requests
  Sim_.AddDevice(Port_, acme);
  Sim_.AddDevice(Port_, OtherMaker(4));
  const auto events = Search(TDeviceProtocol::dpModbusRtu, {3, 4, 5, 17});

  ASSERT_EQ(events.size(), 6u);
  const std::string illegalAddress =
      "Произошла ошибка при выполнении команды. Адрес данных, указанный в запросе, недоступен. "
      "Код ошибки: 0x02.";
  EXPECT_EQ(events[0].ErrorText, illegalAddress);
  EXPECT_GT(events[0].LogLines, 0u);
  ASSERT_TRUE(events[1].Found);
  EXPECT_EQ(events[1].Probed, 3);
  EXPECT_TRUE(events[1].Info.OtherMaker);
  EXPECT_EQ(events[1].Info.Address, 3);
  EXPECT_EQ(events[1].Info.VendorName, "ACME");
  EXPECT_EQ(events[1].Info.ProductCode, "PX-1");
  EXPECT_EQ(events[1].Info.MajorMinorRevision, "1.02");
  EXPECT_EQ(events[1].Info.ModbusException, 2);
  EXPECT_EQ(events[1].LogLines, 0u) << "the log went with the error line";
  EXPECT_EQ(FoundDeviceCells(TDeviceProtocol::dpModbusRtu, events[1].Info).DeviceType, "ACME PX-1");

  EXPECT_EQ(events[2].ErrorText, illegalAddress);
  ASSERT_TRUE(events[3].Found);
  EXPECT_EQ(events[3].Probed, 4);
  EXPECT_EQ(FoundDeviceCells(TDeviceProtocol::dpModbusRtu, events[3].Info).DeviceType,
            "Неизвестный прибор");

  EXPECT_EQ(events[4].ErrorText, "Нет ответа");
  EXPECT_EQ(events[4].Probed, 5);

  // The maker's instrument is identified exactly as before.
  ASSERT_TRUE(events[5].Found);
  EXPECT_FALSE(events[5].Info.OtherMaker);
  EXPECT_EQ(events[5].Info.DeviceType, 16);
  EXPECT_EQ(events[5].Info.SerialNumber, 4321);
  EXPECT_FALSE(events[5].Info.ModbusException);
}

TEST_F(SimulatedPorts, GatewayAnswersAreNotDevices) {
  devsim::TTcpServerConfig config;
  config.GatewayException = 0x0B;
  const std::uint16_t gateway = Sim_.AddTcpServer(config);
  Sim_.AddDevice(gateway, Modbus(1));
  Sim_.AddDevice(gateway, OtherMaker(2, Acme));
  Sim_.AddDevice(gateway, OtherMaker(3));
  TDeviceConfig noPath = Modbus(5);
  noPath.ExceptionCode = 0x0A;
  Sim_.AddDevice(gateway, noPath);
  const auto events = Search(TDeviceProtocol::dpModbusTcp, {1, 2, 3, 4, 5}, {gateway});

  std::vector<std::string> summary;
  for (const TOutcome& e : events)
    summary.push_back(std::to_string(e.Probed) + (e.Found ? " found" : " error"));
  EXPECT_EQ(summary, (std::vector<std::string>{"1 found", "2 error", "2 found", "3 error",
                                               "3 found", "4 error", "5 error"}));
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[2].Info.ProductCode, "PX-1");
  EXPECT_EQ(events[4].Info.VendorName, "");
  EXPECT_EQ(events[5].ErrorText,
            "Произошла ошибка при выполнении команды. Получен неизвестный код ошибки. Код "
            "ошибки: 0x0B.");
}

TEST_F(SimulatedPorts, DeviceThatIgnoresTheUnitIdIsMarkedAsARepeat) {
  TDeviceConfig everywhere = OtherMaker(1, Acme);
  everywhere.AnyUnit = true;
  const std::uint16_t first = Sim_.AddTcpServer();
  Sim_.AddDevice(first, everywhere);
  TDeviceConfig instrument = Modbus(1);
  instrument.AnyUnit = true;
  const std::uint16_t second = Sim_.AddTcpServer();
  Sim_.AddDevice(second, instrument);
  const auto events = Search(TDeviceProtocol::dpModbusTcp, {1, 2, 3}, {first, second});

  std::vector<std::string> found;
  for (const TOutcome& e : events) {
    if (!e.Found) continue;
    found.push_back(std::to_string(e.Info.Address) + (e.Info.OtherMaker ? " other" : " maker") +
                    (e.Info.SameAsUnit ? " same as " + std::to_string(*e.Info.SameAsUnit) : ""));
  }
  // Each unit is listed; repeats are marked within one endpoint only.
  EXPECT_EQ(found, (std::vector<std::string>{"1 other", "2 other same as 1", "3 other same as 1",
                                             "1 maker", "2 maker same as 1", "3 maker same as 1"}));
}

// An adapter that hears its own transmission: every request comes back before the reply. The
// devices are found with their whole identity, each echo logged as passed over.
TEST_F(SimulatedPorts, DevicesBehindAnEchoingLineAreFoundWithTheirIdentity) {
  Port_ = Sim_.AddSerialPort({.Echo = true});
  Sim_.AddDevice(Port_, Orvatbus(2, devsim::TChecksum::ckCrc8, 6, 421, 10234));
  Sim_.AddDevice(Port_, Orvatbus(7, devsim::TChecksum::ckCrc1, 16, 120, 777));
  Sim_.AddDevice(Port_, Modbus(17));
  Sim_.AddDevice(Port_, OtherMaker(3, Acme));
  const std::string echo = "(эхо запроса пропущено)";

  const auto orvatbus = Search(TDeviceProtocol::dpOrvatbus, {2, 7});
  ASSERT_EQ(orvatbus.size(), 2u);
  for (const TOutcome& o : orvatbus) ASSERT_TRUE(o.Found) << int(o.Probed) << " " << o.ErrorClass;
  EXPECT_EQ(orvatbus[0].Info.ChecksumKind, TChecksumKind::ckCrc8);
  EXPECT_EQ(orvatbus[0].Info.DeviceType, 6);
  EXPECT_EQ(orvatbus[0].Info.FirmwareVersion, 421);
  EXPECT_EQ(orvatbus[0].Info.SerialNumber, 10234);
  EXPECT_EQ(orvatbus[1].Info.DeviceType, 16);
  EXPECT_EQ(orvatbus[1].Info.SerialNumber, 777);
  EXPECT_NE(orvatbus[1].LogText.find(echo), std::string::npos) << orvatbus[1].LogText;

  const auto rtu = Search(TDeviceProtocol::dpModbusRtu, {3, 17});
  ASSERT_EQ(rtu.size(), 3u);  // the other maker's device: its error, then the device
  EXPECT_EQ(rtu[0].ErrorClass, "EModbusSpecificError");
  ASSERT_TRUE(rtu[1].Found);
  EXPECT_EQ(FoundDeviceCells(TDeviceProtocol::dpModbusRtu, rtu[1].Info).DeviceType, "ACME PX-1");
  EXPECT_EQ(rtu[1].Info.MajorMinorRevision, "1.02");
  ASSERT_TRUE(rtu[2].Found) << rtu[2].ErrorClass;
  EXPECT_FALSE(rtu[2].Info.OtherMaker);
  EXPECT_EQ(rtu[2].Info.DeviceType, 16);
  EXPECT_EQ(rtu[2].Info.FirmwareVersion, 215);
  EXPECT_EQ(rtu[2].Info.SerialNumber, 4321);
  EXPECT_NE(rtu[2].LogText.find(echo), std::string::npos) << rtu[2].LogText;
}

}  // namespace
}  // namespace probrix
