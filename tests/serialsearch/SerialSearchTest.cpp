// Whole searches over serial ports: TSearchDevicesTask with the Modbus RTU searcher, the
// connection factory and TSerialPortConnection, against Modbus RTU servers built on libmodbus
// (an independent implementation) on pseudo terminals.

#include <gtest/gtest.h>
#include <poll.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <mutex>
#include <thread>
#include <vector>

#include "SerialTestPty.h"
#include "connections/ioConnectionFactory.h"
#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"
#include "search/uSearchLog.h"
#include "support/TestSupport.h"

#ifdef PROBRIX_HAVE_LIBMODBUS
#include <modbus.h>
#endif

namespace probrix {
namespace {

using namespace std::chrono_literals;
using test::TTestPty;

#ifdef PROBRIX_HAVE_LIBMODBUS

// A libmodbus RTU server for one slave address on the device side of a pseudo terminal, with
// the identification registers 1000..1009.
class TLibmodbusRtuServer {
 public:
  TLibmodbusRtuServer(int Fd, int Slave, std::uint16_t Type, std::uint16_t Firmware,
                      std::uint32_t Serial) {
    Mapping_ = modbus_mapping_new_start_address(0, 0, 0, 0, 1000, 10, 0, 0);
    Mapping_->tab_registers[0] = Type;
    Mapping_->tab_registers[1] = Firmware;
    Mapping_->tab_registers[7] = static_cast<std::uint16_t>(Serial >> 16);
    Mapping_->tab_registers[8] = static_cast<std::uint16_t>(Serial & 0xFFFF);
    Fd_ = Fd;
    Slave_ = Slave;
    NewContext();
    Thread_ = std::thread([this] { Run(); });
  }
  ~TLibmodbusRtuServer() {
    Stop_ = true;
    Thread_.join();
    modbus_free(Ctx_);
    modbus_mapping_free(Mapping_);
  }
  int Replies() const { return Replies_.load(); }

 private:
  void Run() {
    std::uint8_t query[MODBUS_RTU_MAX_ADU_LENGTH];
    while (!Stop_) {
      const int rc = modbus_receive(Ctx_, query);
      if (rc > 0 && modbus_reply(Ctx_, query, rc, Mapping_) > 0) ++Replies_;
      // After a request for another slave libmodbus waits to skip that slave's reply; on this
      // bus the other slaves are silent, so it starts afresh.
      if (rc == 0) NewContext();
      if (rc < 0 && errno != ETIMEDOUT) std::this_thread::sleep_for(5ms);
    }
  }
  void NewContext() {
    if (Ctx_ != nullptr) modbus_free(Ctx_);
    Ctx_ = modbus_new_rtu("/dev/null", 9600, 'N', 8, 1);  // the descriptor is set directly
    modbus_set_socket(Ctx_, Fd_);
    modbus_set_slave(Ctx_, Slave_);
    modbus_set_indication_timeout(Ctx_, 0, 50000);
  }
  int Fd_ = -1;
  int Slave_ = 0;
  modbus_t* Ctx_ = nullptr;
  modbus_mapping_t* Mapping_ = nullptr;
  std::atomic<bool> Stop_{false};
  std::atomic<int> Replies_{0};
  std::thread Thread_;
};

struct TErrorEvent {
  std::string Port;
  std::int32_t Baud;
  std::uint8_t Address;
  std::unique_ptr<Exception> Error;
};

struct TFoundEvent {
  std::string Port;
  std::int32_t Baud;
  TDeviceInfo Info;
};

// Runs one search and collects its events.
class SerialSearch : public ::testing::Test {
 protected:
  void SetUp() override { ShutdownConnectionFactory(); }
  void TearDown() override { ShutdownConnectionFactory(); }

  void Run(std::vector<std::string> Ports, std::vector<std::int32_t> Bauds,
           std::vector<std::uint8_t> Addresses) {
    TSearchDevicesTask task;
    task.SerialPortNames = std::move(Ports);
    task.BaudRates = std::move(Bauds);
    task.Protocols = {TDeviceProtocol::dpModbusRtu};
    task.SetAddresses(TDeviceProtocol::dpModbusRtu, Addresses);
    task.ReadTimeout = 100;
    task.StartOfPacketReadTimeout = 100;
    task.RequestRetryCount = 1;
    task.OnDeviceFound = [this](TSearchDevicesTask*, const TSearchAttempt& A,
                                const TDeviceInfo& Info, const TSearchLog& Log) {
      std::lock_guard guard(Lock);
      Found.push_back({A.ConnectionName, A.BaudRateOrPort, Info});
      FoundLogs.push_back(Log.Text());
    };
    task.OnSearchError = [this](TSearchDevicesTask*, const TSearchAttempt& A,
                                const Exception& Error, const TSearchLog&) {
      std::lock_guard guard(Lock);
      Errors.push_back({A.ConnectionName, A.BaudRateOrPort, A.Address, Error.Clone()});
    };
    task.Start();
    // Nothing may hang: the whole search ends well within the deadline.
    ASSERT_TRUE(test::WaitFor([&] { return task.Finished(); }, 30s));
    task.WaitFor();
    EXPECT_FALSE(task.Aborted());
    EXPECT_EQ(task.RunError(), "");
  }

  std::vector<const TErrorEvent*> ErrorsOf(const std::string& Port) const {
    std::vector<const TErrorEvent*> result;
    for (const auto& e : Errors)
      if (e.Port == Port) result.push_back(&e);
    return result;
  }

  std::mutex Lock;
  std::vector<TFoundEvent> Found;
  std::vector<std::string> FoundLogs;
  std::vector<TErrorEvent> Errors;
};

TEST_F(SerialSearch, FindsALibmodbusRtuServerAndReportsSilentAddresses) {
  TTestPty pty;
  TLibmodbusRtuServer server(pty.MasterFd(), 17, 16, 215, 4321);
  Run({pty.SlavePath()}, {19200}, {16, 17, 18});

  ASSERT_EQ(Found.size(), 1u);
  EXPECT_EQ(Found[0].Port, pty.SlavePath());
  EXPECT_EQ(Found[0].Baud, 19200);
  EXPECT_EQ(Found[0].Info.Address, 17);
  EXPECT_EQ(Found[0].Info.DeviceType, 16);
  EXPECT_EQ(Found[0].Info.FirmwareVersion, 215);
  EXPECT_EQ(Found[0].Info.SerialNumber, 4321);
  EXPECT_EQ(server.Replies(), 1);

  ASSERT_EQ(Errors.size(), 2u);
  EXPECT_EQ(Errors[0].Address, 16);
  EXPECT_EQ(Errors[1].Address, 18);
  for (const auto& e : Errors) EXPECT_TRUE(e.Error->Is<ETimeoutError>()) << e.Error->ClassName();
}

TEST_F(SerialSearch, BytesQueuedBeforeThePortOpensAreNotTheFirstReply) {
  TTestPty pty;
  pty.MakeSlaveRaw();
  // What an earlier session left in the port: an exception reply of the device and line noise.
  pty.Write(BytesOf({0x11, 0x83, 0x02, 0xC1, 0x34, 0x55, 0xAA, 0x00}));
  TLibmodbusRtuServer server(pty.MasterFd(), 17, 16, 215, 4321);
  Run({pty.SlavePath()}, {19200}, {17});
  ASSERT_EQ(Found.size(), 1u);
  EXPECT_EQ(Found[0].Info.Address, 17);
  EXPECT_FALSE(Found[0].Info.OtherMaker);
  EXPECT_EQ(Found[0].Info.SerialNumber, 4321);
  EXPECT_TRUE(Errors.empty());
  EXPECT_NE(FoundLogs[0].find("<del (size=8) 11 83 02 C1 34 55 AA 00 "), std::string::npos)
      << FoundLogs[0];
}

TEST_F(SerialSearch, MissingPortGivesOneOpenErrorAndTheSearchGoesOn) {
  TTestPty pty;
  TLibmodbusRtuServer server(pty.MasterFd(), 5, 81, 0x0A0F, 20005);
  const std::string missing = "/tmp/probrix-no-such-port-1";
  Run({missing, pty.SlavePath()}, {9600, 115200}, {4, 5});

  const auto missingErrors = ErrorsOf(missing);
  ASSERT_EQ(missingErrors.size(), 1u);  // its other baud rate and addresses are skipped
  EXPECT_TRUE(missingErrors[0]->Error->Is<EConnectionOpenError>());
  const auto* open = dynamic_cast<const ExceptionEx*>(missingErrors[0]->Error.get());
  ASSERT_NE(open, nullptr);
  ASSERT_NE(open->InnerException(), nullptr);
  const auto* io = dynamic_cast<const EInOutError*>(open->InnerException());
  ASSERT_NE(io, nullptr);
  EXPECT_EQ(io->ErrorCode, ENOENT);

  // The device on the next port answers at both rates.
  ASSERT_EQ(Found.size(), 2u);
  EXPECT_EQ(Found[0].Baud, 9600);
  EXPECT_EQ(Found[1].Baud, 115200);
  for (const auto& f : Found) {
    EXPECT_EQ(f.Port, pty.SlavePath());
    EXPECT_EQ(f.Info.Address, 5);
    EXPECT_EQ(f.Info.SerialNumber, 20005);
  }
  EXPECT_EQ(ErrorsOf(pty.SlavePath()).size(), 2u);  // address 4 at both rates
}

TEST_F(SerialSearch, VanishingDeviceGivesIOErrorsAndTheSearchGoesOn) {
  TTestPty gone;
  // This device takes the first request, then disappears for good.
  std::thread vanisher([&] {
    struct pollfd p {
      gone.MasterFd(), POLLIN, 0
    };
    if (::poll(&p, 1, 10000) > 0) gone.CloseMaster();
  });
  TTestPty pty;
  TLibmodbusRtuServer server(pty.MasterFd(), 17, 16, 215, 4321);
  Run({gone.SlavePath(), pty.SlavePath()}, {19200}, {1, 2, 3, 17});
  vanisher.join();

  const auto goneErrors = ErrorsOf(gone.SlavePath());
  ASSERT_FALSE(goneErrors.empty());
  bool sawIoError = false;
  for (const auto* e : goneErrors) {
    if (e->Error->Is<EConnectionIOError>()) sawIoError = true;
    // A timeout, an I/O error, or the port no longer opening: never a hang.
    EXPECT_TRUE(e->Error->Is<ETimeoutError>() || e->Error->Is<EConnectionIOError>() ||
                e->Error->Is<EConnectionOpenError>())
        << e->Error->ClassName();
  }
  EXPECT_TRUE(sawIoError);

  ASSERT_EQ(Found.size(), 1u);
  EXPECT_EQ(Found[0].Port, pty.SlavePath());
  EXPECT_EQ(Found[0].Info.Address, 17);
}

#else

TEST(SerialSearch, NeedsLibmodbus) { GTEST_SKIP() << "libmodbus is not installed"; }

#endif

}  // namespace
}  // namespace probrix
