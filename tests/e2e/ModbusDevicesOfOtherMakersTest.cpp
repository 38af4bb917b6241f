// Whole Modbus searches where devices of other makers share the bus with the maker's
// instruments: RTU on a simulated port, TCP on loopback servers, a gateway that answers for
// units nobody has, and a device that ignores the unit id.

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

// One event of a search, in the order the task raised them.
struct TEvent {
  bool Found = false;
  std::uint8_t Probed = 0;
  TDeviceInfo Info;
  std::string Error;  // the operator text of a failure
  std::size_t LogLines = 0;
};

TDeviceConfig Maker(int Address) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::Modbus;
  d.Address = Address;
  d.DeviceType = 16;
  d.FirmwareVersion = 215;
  d.SerialNumber = 4321;
  return d;
}

TDeviceConfig OtherMaker(int Address, std::map<int, std::string> Objects = {}) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::Modbus;
  d.Address = Address;
  d.OtherMaker = true;
  d.IdObjects = std::move(Objects);
  return d;
}

const std::map<int, std::string> Acme = {{0, "ACME"}, {1, "PX-1"}, {2, "1.02"}};

class ModbusOtherMakers : public ::testing::Test {
 protected:
  void SetUp() override { ShutdownConnectionFactory(); }
  void TearDown() override { ShutdownConnectionFactory(); }

  // Runs a search over the serial ports (RTU) or the TCP servers (TCP) at the addresses.
  std::vector<TEvent> Search(TDeviceProtocol Protocol, std::vector<std::string> Ports,
                             std::vector<std::uint16_t> Servers,
                             std::vector<std::uint8_t> Addresses) {
    TSearchDevicesTask task;
    task.SerialPortNames = std::move(Ports);
    task.BaudRates = {9600};
    for (const std::uint16_t port : Servers)
      task.TcpEndpoints.push_back("127.0.0.1:" + std::to_string(port));
    task.Protocols = {Protocol};
    task.SetAddresses(Protocol, Addresses);
    task.StartOfPacketReadTimeout = 60;
    task.ReadTimeout = 180;
    task.RequestRetryCount = 1;
    std::vector<TEvent> events;
    std::mutex lock;
    task.OnDeviceFound = [&](TSearchDevicesTask*, const std::string&, std::int32_t, TDeviceProtocol,
                             TConnectionType, std::uint8_t Address, const TDeviceInfo& Info,
                             const TSearchLog& Log) {
      std::lock_guard guard(lock);
      events.push_back({true, Address, Info, {}, Log.Lines().size()});
    };
    task.OnSearchError = [&](TSearchDevicesTask*, const std::string&, std::int32_t, TDeviceProtocol,
                             TConnectionType Type, std::uint8_t Address, const Exception& Error,
                             const TSearchLog& Log) {
      std::lock_guard guard(lock);
      events.push_back({false, Address, {}, SearchErrorText(Error, Type), Log.Lines().size()});
    };
    task.Start();
    task.WaitFor();
    return events;
  }

  devsim::TSimulator Sim_;
};

TEST_F(ModbusOtherMakers, RtuBusWithDevicesOfSeveralMakers) {
  const std::string port = Sim_.AddSerialPort();
  Sim_.AddDevice(port, Maker(17));
  TDeviceConfig acme = OtherMaker(3, Acme);
  acme.IdObjectsPerReply = 2;  // its identification takes two requests
  Sim_.AddDevice(port, acme);
  Sim_.AddDevice(port, OtherMaker(4));
  const auto events = Search(TDeviceProtocol::dpModbusRtu, {port}, {}, {3, 4, 5, 17});

  ASSERT_EQ(events.size(), 6u);
  const std::string illegalAddress =
      "Произошла ошибка при выполнении команды. Адрес данных, указанный в запросе, недоступен. "
      "Код ошибки: 0x02.";
  EXPECT_EQ(events[0].Error, illegalAddress);
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

  EXPECT_EQ(events[2].Error, illegalAddress);
  ASSERT_TRUE(events[3].Found);
  EXPECT_EQ(events[3].Probed, 4);
  EXPECT_EQ(FoundDeviceCells(TDeviceProtocol::dpModbusRtu, events[3].Info).DeviceType,
            "Неизвестный прибор");

  EXPECT_EQ(events[4].Error, "Нет ответа");
  EXPECT_EQ(events[4].Probed, 5);

  // The maker's instrument is identified exactly as before.
  ASSERT_TRUE(events[5].Found);
  EXPECT_FALSE(events[5].Info.OtherMaker);
  EXPECT_EQ(events[5].Info.DeviceType, 16);
  EXPECT_EQ(events[5].Info.SerialNumber, 4321);
  EXPECT_FALSE(events[5].Info.ModbusException);
}

TEST_F(ModbusOtherMakers, GatewayAnswersAreNotDevices) {
  devsim::TTcpServerConfig config;
  config.GatewayException = 0x0B;
  const std::uint16_t gateway = Sim_.AddTcpServer(config);
  Sim_.AddDevice(gateway, Maker(1));
  Sim_.AddDevice(gateway, OtherMaker(2, Acme));
  Sim_.AddDevice(gateway, OtherMaker(3));
  TDeviceConfig noPath;
  noPath.Kind = TDeviceKind::Modbus;
  noPath.Address = 5;
  noPath.ExceptionCode = 0x0A;
  Sim_.AddDevice(gateway, noPath);
  const auto events = Search(TDeviceProtocol::dpModbusTcp, {}, {gateway}, {1, 2, 3, 4, 5});

  std::vector<std::string> summary;
  for (const TEvent& e : events)
    summary.push_back(std::to_string(e.Probed) + (e.Found ? " found" : " error"));
  EXPECT_EQ(summary, (std::vector<std::string>{"1 found", "2 error", "2 found", "3 error",
                                               "3 found", "4 error", "5 error"}));
  ASSERT_EQ(events.size(), 7u);
  EXPECT_EQ(events[2].Info.ProductCode, "PX-1");
  EXPECT_EQ(events[4].Info.VendorName, "");
  EXPECT_EQ(events[5].Error,
            "Произошла ошибка при выполнении команды. Получен неизвестный код ошибки. Код "
            "ошибки: 0x0B.");
}

TEST_F(ModbusOtherMakers, DeviceThatIgnoresTheUnitIdIsMarkedAsARepeat) {
  TDeviceConfig everywhere = OtherMaker(1, Acme);
  everywhere.AnyUnit = true;
  const std::uint16_t first = Sim_.AddTcpServer();
  Sim_.AddDevice(first, everywhere);
  TDeviceConfig instrument = Maker(1);
  instrument.AnyUnit = true;
  const std::uint16_t second = Sim_.AddTcpServer();
  Sim_.AddDevice(second, instrument);
  const auto events = Search(TDeviceProtocol::dpModbusTcp, {}, {first, second}, {1, 2, 3});

  std::vector<std::string> found;
  for (const TEvent& e : events) {
    if (!e.Found) continue;
    found.push_back(std::to_string(e.Info.Address) + (e.Info.OtherMaker ? " other" : " maker") +
                    (e.Info.SameAsUnit ? " same as " + std::to_string(*e.Info.SameAsUnit) : ""));
  }
  // Each unit is listed; repeats are marked within one endpoint only.
  EXPECT_EQ(found, (std::vector<std::string>{"1 other", "2 other same as 1", "3 other same as 1",
                                             "1 maker", "2 maker same as 1", "3 maker same as 1"}));
}

}  // namespace
}  // namespace probrix
