// The simulated Modbus devices as an independent Modbus master (libmodbus) sees them.

#ifdef PROBRIX_HAVE_LIBMODBUS

#include <gtest/gtest.h>
#include <modbus.h>

#include "devsim/devsimSimulator.h"

namespace probrix::devsim {
namespace {

TDeviceConfig Device(int Address) {
  TDeviceConfig d;
  d.Kind = TDeviceKind::dkModbus;
  d.Address = Address;
  d.DeviceType = 81;
  d.FirmwareVersion = 0x0A0F;
  d.SerialNumber = 0x00024E25;
  d.ExtraWord2 = 77;
  return d;
}

void ExpectIdentity(modbus_t* Ctx) {
  std::uint16_t regs[10] = {};
  ASSERT_EQ(modbus_read_registers(Ctx, 1000, 10, regs), 10) << modbus_strerror(errno);
  EXPECT_EQ(regs[0], 81);
  EXPECT_EQ(regs[1], 0x0A0F);
  EXPECT_EQ(regs[4], 77);
  EXPECT_EQ(regs[7], 0x0002);
  EXPECT_EQ(regs[8], 0x4E25);
  // Outside the block: "illegal data address".
  EXPECT_EQ(modbus_read_registers(Ctx, 990, 2, regs), -1);
  EXPECT_EQ(errno, EMBXILADD);
  // Another function: "illegal function".
  EXPECT_EQ(modbus_read_input_registers(Ctx, 1000, 1, regs), -1);
  EXPECT_EQ(errno, EMBXILFUN);
}

TEST(DevsimLibmodbus, RtuDeviceOnAPseudoTerminal) {
  TSimulator sim;
  const std::string path = sim.AddSerialPort();
  sim.AddDevice(path, Device(17));
  modbus_t* ctx = modbus_new_rtu(path.c_str(), 19200, 'N', 8, 1);
  ASSERT_NE(ctx, nullptr);
  modbus_set_response_timeout(ctx, 2, 0);
  ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
  modbus_set_slave(ctx, 17);
  ExpectIdentity(ctx);
  modbus_close(ctx);
  modbus_free(ctx);
}

TEST(DevsimLibmodbus, TcpUnitOnALoopbackServer) {
  TSimulator sim;
  const std::uint16_t port = sim.AddTcpServer();
  sim.AddDevice(port, Device(5));
  modbus_t* ctx = modbus_new_tcp("127.0.0.1", port);
  ASSERT_NE(ctx, nullptr);
  modbus_set_response_timeout(ctx, 2, 0);
  ASSERT_EQ(modbus_connect(ctx), 0) << modbus_strerror(errno);
  modbus_set_slave(ctx, 5);
  ExpectIdentity(ctx);
  modbus_close(ctx);
  modbus_free(ctx);
}

}  // namespace
}  // namespace probrix::devsim

#endif
