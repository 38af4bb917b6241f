// Whole searches over the simulator's pseudo terminals: Orvatbus devices with both checksums
// on one bus, the single-device mode, device error replies, noisy and split replies, and a
// transmitting OrvatASCII device.

#include <gtest/gtest.h>

#include <mutex>

#include "connections/ioConnectionFactory.h"
#include "devsim/devsimSimulator.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"

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
    d.Kind = TDeviceKind::Orvatbus;
    d.Address = Address;
    d.Checksum = Checksum;
    d.DeviceType = Type;
    d.FirmwareVersion = Version;
    d.SerialNumber = Serial;
    return d;
  }

  std::vector<TOutcome> Search(TDeviceProtocol Protocol, std::vector<std::uint8_t> Addresses) {
    TSearchDevicesTask task;
    task.SerialPortNames = {Port_};
    task.BaudRates = {9600};
    task.Protocols = {Protocol};
    task.SetAddresses(Protocol, Addresses);
    task.StartOfPacketReadTimeout = 60;
    task.ReadTimeout = 180;
    task.RequestRetryCount = 1;
    std::vector<TOutcome> outcomes;
    std::mutex lock;
    task.OnDeviceFound = [&](TSearchDevicesTask*, const std::string&, std::int32_t,
                             TDeviceProtocol P, TConnectionType, std::uint8_t Address,
                             const TDeviceInfo& Info, const TSearchLog&) {
      std::lock_guard guard(lock);
      outcomes.push_back({Address, P, true, Info, {}});
    };
    task.OnSearchError = [&](TSearchDevicesTask*, const std::string&, std::int32_t,
                             TDeviceProtocol P, TConnectionType, std::uint8_t Address,
                             const Exception& Error, const TSearchLog&) {
      std::lock_guard guard(lock);
      outcomes.push_back({Address, P, false, {}, Error.ClassName()});
    };
    task.Start();
    task.WaitFor();
    return outcomes;
  }

  devsim::TSimulator Sim_;
  std::string Port_;
};

TEST_F(SimulatedPorts, OrvatbusDevicesWithBothChecksumsOnOneBus) {
  Sim_.AddDevice(Port_, Orvatbus(2, devsim::TChecksum::Crc8, 6, 421, 10234));
  Sim_.AddDevice(Port_, Orvatbus(7, devsim::TChecksum::Crc1, 16, 120, 777));
  const auto outcomes = Search(TDeviceProtocol::dpOrvatbus, {2, 3, 7});
  ASSERT_EQ(outcomes.size(), 3u);
  EXPECT_TRUE(outcomes[0].Found);
  EXPECT_EQ(outcomes[0].Info.Address, 2);
  EXPECT_EQ(outcomes[0].Info.ChecksumKind, 1) << "found with crc8";
  EXPECT_EQ(outcomes[0].Info.DeviceType, 6);
  EXPECT_EQ(outcomes[0].Info.FirmwareVersion, 421);
  EXPECT_EQ(outcomes[0].Info.SerialNumber, 10234);
  EXPECT_FALSE(outcomes[1].Found);
  EXPECT_EQ(outcomes[1].ErrorClass, "EReadSOHTimeoutError");
  EXPECT_TRUE(outcomes[2].Found);
  EXPECT_EQ(outcomes[2].Info.ChecksumKind, 0) << "found with crc1";
  EXPECT_EQ(outcomes[2].Info.DeviceType, 16);
  EXPECT_EQ(outcomes[2].Info.SerialNumber, 777);
}

TEST_F(SimulatedPorts, SingleDeviceModeReportsTheDevicesOwnAddress) {
  Sim_.AddDevice(Port_, Orvatbus(2, devsim::TChecksum::Crc8, 6, 421, 10234));
  const auto outcomes = Search(TDeviceProtocol::dpOrvatbus, {95});
  ASSERT_EQ(outcomes.size(), 1u);
  ASSERT_TRUE(outcomes[0].Found) << outcomes[0].ErrorClass;
  EXPECT_EQ(outcomes[0].Probed, 95);
  EXPECT_EQ(outcomes[0].Info.Address, 2);
}

TEST_F(SimulatedPorts, ErrorRepliesNoiseAndSplitReplies) {
  TDeviceConfig busy = Orvatbus(3, devsim::TChecksum::Crc1, 6, 100, 1);
  busy.Error = devsim::TOrvatbusError::Busy;
  TDeviceConfig unknown = Orvatbus(4, devsim::TChecksum::Crc1, 6, 100, 1);
  unknown.Error = devsim::TOrvatbusError::UnknownCommand;
  TDeviceConfig noisy = Orvatbus(5, devsim::TChecksum::Crc1, 6, 100, 55);
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
  ascii.Kind = TDeviceKind::OrvatAscii;
  ascii.Address = 'A';
  ascii.IntervalMs = 50;
  Sim_.AddDevice(Port_, ascii);
  const auto outcomes = Search(TDeviceProtocol::dpOrvatAscii, {95, 96});
  ASSERT_EQ(outcomes.size(), 1u) << "one listening attempt per run";
  ASSERT_TRUE(outcomes[0].Found) << outcomes[0].ErrorClass;
  EXPECT_EQ(outcomes[0].Probed, 95);
  EXPECT_EQ(outcomes[0].Info.Address, 65);
}

}  // namespace
}  // namespace probrix
