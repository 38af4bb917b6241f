#include <gtest/gtest.h>
#include <modbus.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>

#include "connections/ioTcpConnection.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngineSearchers.h"
#include "search/uSearchLog.h"

namespace probrix {
namespace {

// A Modbus TCP server of libmodbus on 127.0.0.1 holding registers FirstRegister.. with the
// given values; it serves one client at a time until destroyed.
class TLibmodbusServer {
 public:
  TLibmodbusServer(int FirstRegister, std::vector<std::uint16_t> Registers) {
    Context_ = modbus_new_tcp("127.0.0.1", 0);
    Mapping_ = modbus_mapping_new_start_address(0, 0, 0, 0, FirstRegister,
                                                static_cast<int>(Registers.size()), 0, 0);
    if (!Context_ || !Mapping_) throw std::runtime_error("libmodbus");
    for (std::size_t i = 0; i < Registers.size(); ++i) Mapping_->tab_registers[i] = Registers[i];
    Listener_ = modbus_tcp_listen(Context_, 1);
    if (Listener_ < 0) throw std::runtime_error("modbus_tcp_listen");
    sockaddr_in sin{};
    socklen_t len = sizeof(sin);
    ::getsockname(Listener_, reinterpret_cast<sockaddr*>(&sin), &len);
    Port_ = ntohs(sin.sin_port);
    modbus_set_indication_timeout(Context_, 0, 20000);
    // libmodbus answers a function it does not know only after its response timeout (it waits
    // out the rest of a request it cannot frame): short, so that answer is never a late one.
    modbus_set_response_timeout(Context_, 0, 20000);
    Thread_ = std::thread([this] { Serve(); });
  }
  ~TLibmodbusServer() {
    Stop_ = true;
    Thread_.join();
    ::close(Listener_);
    modbus_close(Context_);
    modbus_mapping_free(Mapping_);
    modbus_free(Context_);
  }
  std::uint16_t Port() const { return Port_; }
  int Requests() const { return Requests_; }

 private:
  void Serve() {
    while (!Stop_) {
      pollfd pfd{Listener_, POLLIN, 0};
      if (::poll(&pfd, 1, 20) != 1) continue;
      int listener = Listener_;
      if (modbus_tcp_accept(Context_, &listener) < 0) continue;
      std::uint8_t query[MODBUS_TCP_MAX_ADU_LENGTH];
      while (!Stop_) {
        const int rc = modbus_receive(Context_, query);
        if (rc > 0) {
          ++Requests_;
          modbus_reply(Context_, query, rc, Mapping_);
        } else if (rc < 0 && errno != ETIMEDOUT) {
          break;  // the client went away
        }
      }
      modbus_close(Context_);
    }
  }

  modbus_t* Context_ = nullptr;
  modbus_mapping_t* Mapping_ = nullptr;
  int Listener_ = -1;
  std::uint16_t Port_ = 0;
  std::atomic<bool> Stop_{false};
  std::atomic<int> Requests_{0};
  std::thread Thread_;
};

const std::vector<std::uint16_t> DeviceRegisters = {0x0010, 0x0203, 0, 0,      0x4321,
                                                    0,      0,      7, 0x1A2B, 0};

void Prepare(IDeviceSearcher& Searcher, TSearchLog& Log) {
  Searcher.SetLog(&Log);
  Searcher.SetStartOfPacketReadTimeout(500);
  Searcher.SetReadTimeout(500);
  Searcher.SetRequestRetryCount(1);
}

TEST(ModbusTcpAgainstLibmodbus, IdentifiesDevicesThroughTheFactory) {
  TLibmodbusServer server(1000, DeviceRegisters);
  auto searcher = CreateDeviceSearcher("127.0.0.1", server.Port(), TDeviceProtocol::dpModbusTcp,
                                       TConnectionType::ctTcp);
  ASSERT_NE(searcher, nullptr);
  TSearchLog log;
  Prepare(*searcher, log);

  TDeviceInfo info;
  searcher->Search(1, info);
  EXPECT_EQ(info.Address, 1);
  EXPECT_EQ(info.DeviceType, 0x10);
  EXPECT_EQ(info.FirmwareVersion, 0x0203);
  EXPECT_EQ(info.ExtraWord2, 0x4321);
  EXPECT_EQ(info.SerialNumber, 0x1A2B);

  searcher->Search(247, info);  // a second request on the same connection, identifier 2
  EXPECT_EQ(info.Address, 247);
  EXPECT_EQ(server.Requests(), 2);
  EXPECT_EQ(static_cast<TModbusTcpDeviceSearcher&>(*searcher).TransactionId(), 2);
  searcher->CloseConnection();
}

TEST(ModbusTcpAgainstLibmodbus, MissingRegistersGiveTheDevicesExceptionReply) {
  TLibmodbusServer server(2000, DeviceRegisters);
  TModbusTcpDeviceSearcher searcher(std::make_shared<TTcpConnection>("127.0.0.1", server.Port()));
  TSearchLog log;
  Prepare(searcher, log);
  const TAttemptResult result = searcher.Attempt(3);
  // The attempt fails with the device's exception reply...
  const auto* e = dynamic_cast<const EModbusSpecificError*>(result.Error.get());
  ASSERT_NE(e, nullptr) << "no EModbusSpecificError";
  EXPECT_EQ(e->ErrorCode, 2);
  // ... not retried; but something answered, so it is asked who it is. libmodbus has no device
  // identification: it refuses the function, and the device stays of unknown type.
  EXPECT_EQ(server.Requests(), 2);
  ASSERT_EQ(result.Outcome, TAttemptOutcome::aoOtherMaker);
  const TDeviceInfo* device = &result.Device;
  EXPECT_TRUE(device->OtherMaker);
  EXPECT_EQ(device->Address, 3);
  EXPECT_EQ(device->ModbusException, 2);
  EXPECT_EQ(device->VendorName, "");
  bool refused = false;
  for (const std::string& line : log.Lines())
    refused =
        refused || (line.find("Ошибка чтения идентификации устройства MODBUS с адресом 3: ") !=
                        std::string::npos &&
                    line.find("EModbusSpecificError") != std::string::npos);
  EXPECT_TRUE(refused) << log.Text();
}

TEST(ModbusTcpAgainstLibmodbus, NobodyListeningIsAnOpenError) {
  std::uint16_t port = 0;
  {
    TLibmodbusServer server(1000, DeviceRegisters);
    port = server.Port();
  }
  TModbusTcpDeviceSearcher searcher(std::make_shared<TTcpConnection>("127.0.0.1", port));
  TSearchLog log;
  Prepare(searcher, log);
  TDeviceInfo info;
  EXPECT_THROW(searcher.Search(1, info), EConnectionOpenError);
}

}  // namespace
}  // namespace probrix
