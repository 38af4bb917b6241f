#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

#include "devsim/DevsimClients.h"
#include "devsim/devsimLayout.h"
#include "support/TestSupport.h"

extern char** environ;

namespace probrix::devsim {
namespace {

using namespace probrix::devsim::test;
namespace fs = std::filesystem;

TEST(DevsimLayout, DeviceDescriptions) {
  const TDeviceConfig ob = ParseDevice(
      "orvatbus,address=2,crc=crc8,type=6,version=421,serial=0x27FA,flag,error=busy,"
      "delay=5,chunks=3:7,noise=4");
  EXPECT_EQ(ob.Kind, TDeviceKind::dkOrvatbus);
  EXPECT_EQ(ob.Address, 2);
  EXPECT_EQ(ob.Checksum, TChecksum::ckCrc8);
  EXPECT_EQ(ob.DeviceType, 6);
  EXPECT_EQ(ob.FirmwareVersion, 421);
  EXPECT_EQ(ob.SerialNumber, 0x27FAu);
  EXPECT_TRUE(ob.SourceFlag);
  EXPECT_EQ(ob.Error, TOrvatbusError::oeBusy);
  EXPECT_EQ(ob.Behaviour.DelayMs, 5);
  EXPECT_EQ(ob.Behaviour.Chunks, 3);
  EXPECT_EQ(ob.Behaviour.ChunkGapMs, 7);
  EXPECT_EQ(ob.Behaviour.NoiseBytes, 4u);

  const TDeviceConfig mb = ParseDevice(
      " modbus-tcp , unit=5, exception=2, mbap-length=65535, garbage=65536, silent, drip=3");
  EXPECT_EQ(mb.Kind, TDeviceKind::dkModbusTcp);
  EXPECT_EQ(mb.Address, 5);
  EXPECT_EQ(mb.ExceptionCode, 2);
  EXPECT_EQ(mb.Behaviour.MbapLengthField, 65535);
  EXPECT_EQ(mb.Behaviour.GarbageBytes, 65536u);
  EXPECT_TRUE(mb.Behaviour.Silent);
  EXPECT_EQ(mb.Behaviour.DripMs, 3);
  const TDeviceConfig foreign = ParseDevice("modbus,unit=4,foreign=0x41:9");
  EXPECT_EQ(foreign.ForeignFunction, 0x41);
  EXPECT_EQ(foreign.ForeignAddress, 9);
  EXPECT_EQ(ParseDevice("modbus-rtu,foreign=0x83").ForeignAddress, -1);

  const TDeviceConfig other = ParseDevice(
      "modbus,unit=9,other-maker,any-unit,vendor=ACME Meters,product=PX-1,revision=1.02,"
      "id-per-reply=2");
  EXPECT_TRUE(other.OtherMaker);
  EXPECT_TRUE(other.AnyUnit);
  EXPECT_EQ(other.IdObjects,
            (std::map<int, std::string>{{0, "ACME Meters"}, {1, "PX-1"}, {2, "1.02"}}));
  EXPECT_EQ(other.IdObjectsPerReply, 2);
  EXPECT_EQ(DescribeDevice(other),
            "modbus address 9 of another maker object 0 \"ACME Meters\" object 1 \"PX-1\" "
            "object 2 \"1.02\" any unit");
  EXPECT_EQ(ParseTcp("gateway").GatewayException, 0x0B);
  EXPECT_EQ(ParseTcp("port=0,gateway=10").GatewayException, 0x0A);
  EXPECT_EQ(ParseTcp("").GatewayException, 0);

  const TDeviceConfig as = ParseDevice("ascii,char=Z,text= 12.5 V,interval=50,start=4");
  EXPECT_EQ(as.Kind, TDeviceKind::dkOrvatAscii);
  EXPECT_EQ(as.Address, 'Z');
  EXPECT_EQ(as.Text, " 12.5 V");
  EXPECT_EQ(as.IntervalMs, 50);
  EXPECT_EQ(as.StartOffset, 4);
  EXPECT_EQ(ParseDevice("ascii").Address, 'A');
}

TEST(DevsimLayout, MistakesAreReportedNotGuessed) {
  for (const char* bad : {"",
                          "address=2",
                          "orvatbuss",
                          "orvatbus,address=95",
                          "orvatbus,adress=2",
                          "orvatbus,address=two",
                          "orvatbus,address=2x",
                          "orvatbus,crc=crc16",
                          "orvatbus,exception=2",
                          "modbus,crc=crc8",
                          "modbus,address=256",
                          "modbus,silent=1",
                          "ascii,start=15",
                          "ascii,char=AB",
                          "modbus,registers=126",
                          "modbus,chunks=0",
                          "orvatbus,serial=-1",
                          "orvatbus,serial=0x100000000",
                          "modbus,delay=",
                          "orvatbus,error=sleepy",
                          "orvatbus,other-maker",
                          "ascii,vendor=ACME",
                          "modbus,vendor",
                          "modbus,any-unit=1",
                          "modbus,id-per-reply=0",
                          "orvatbus,foreign=0x41",
                          "modbus,foreign=0",
                          "modbus,foreign=0x41:256",
                          "modbus,foreign"}) {
    EXPECT_THROW(ParseDevice(bad), std::invalid_argument) << bad;
  }
  try {
    ParseDevice("orvatbus,adress=2");
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_NE(std::string(e.what()).find("adress"), std::string::npos);
  }
  EXPECT_THROW(ParsePort("name=a/b"), std::invalid_argument);
  EXPECT_THROW(ParsePort("speed=9600"), std::invalid_argument);
  EXPECT_THROW(ParseTcp("port=70000"), std::invalid_argument);
  EXPECT_THROW(ParseTcp("accept-close=1"), std::invalid_argument);
  EXPECT_THROW(ParseTcp("greeting"), std::invalid_argument);
  EXPECT_THROW(ParseTcp("echo=1"), std::invalid_argument);
  EXPECT_THROW(ParsePort("queued=x"), std::invalid_argument);
  EXPECT_THROW(ParsePort("format=7N1"), std::invalid_argument);
  EXPECT_THROW(ParseDevice("modbus,format=8N3"), std::invalid_argument);
}

TEST(DevsimLayout, LayoutFile) {
  std::istringstream in(
      "# two endpoints\n"
      "port name=ttyA, timing, baud=19200, lossy, echo, queued=5, format=8n2\n"
      "device orvatbus,address=3,format=8O1\n"
      "\n"
      "device ascii,interval=0\n"
      "tcp port=0,accept-close,echo,greeting=Welcome to the bridge\n"
      "device modbus,unit=1\n");
  const TLayout layout = ParseLayout(in);
  ASSERT_EQ(layout.size(), 2u);
  EXPECT_TRUE(layout[0].Serial);
  EXPECT_EQ(layout[0].Port.Name, "ttyA");
  EXPECT_TRUE(layout[0].Port.WireTiming);
  EXPECT_EQ(layout[0].Port.InitialBaud, 19200u);
  EXPECT_TRUE(layout[0].Port.Lossy);
  EXPECT_TRUE(layout[0].Port.Echo);
  EXPECT_EQ(layout[0].Port.QueuedBytes, 5u);
  EXPECT_EQ(layout[0].Port.LineFormat, "8N2");
  ASSERT_EQ(layout[0].Devices.size(), 2u);
  EXPECT_EQ(layout[0].Devices[0].LineFormat, "8O1");
  EXPECT_EQ(layout[0].Devices[1].LineFormat, "");
  EXPECT_EQ(layout[0].Devices[1].IntervalMs, 0);  // back to back
  EXPECT_FALSE(layout[1].Serial);
  EXPECT_TRUE(layout[1].Tcp.AcceptThenClose);
  EXPECT_TRUE(layout[1].Tcp.Echo);
  EXPECT_EQ(layout[1].Tcp.Greeting, "Welcome to the bridge\r\n");
  EXPECT_EQ(layout[1].Devices.size(), 1u);

  std::istringstream orphan("device modbus\n");
  EXPECT_THROW(ParseLayout(orphan), std::invalid_argument);
  std::istringstream wrong("port\nbogus line\n");
  try {
    ParseLayout(wrong);
    FAIL();
  } catch (const std::invalid_argument& e) {
    EXPECT_EQ(std::string(e.what()).rfind("line 2:", 0), 0u);
  }
}

TEST(DevsimLayout, DemoLayoutStartsAndDescribesItself) {
  const TLayout demo = DemoLayout();
  ASSERT_EQ(demo.size(), 3u);
  TSimulator sim;
  const auto started = StartLayout(sim, demo);
  ASSERT_EQ(started.size(), 3u);
  const std::string text = DescribeEndpoints(started);
  EXPECT_EQ(text, "port " + started[0].Path + "\nport " + started[1].Path +
                      "\ntcp 127.0.0.1:" + std::to_string(started[2].Port) + "\n");

  // The Orvatbus "crc8" device at address 2 and the RTU device at 17 share the first port.
  TPortClient port(started[0].Path);
  port.Write(OrvatbusPack(B({0x22, 0x20, 0x49}), TChecksum::ckCrc8));
  const TBytes reply = ReadCount(port.Fd(), 16).Data;
  const auto body = OrvatbusUnpack(reply, TChecksum::ckCrc8);
  ASSERT_TRUE(body);
  EXPECT_EQ((*body)[5], 6);  // device type 6 with firmware 421: R221L9
  port.Write(B({0x11, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x47, 0x2D}));
  EXPECT_EQ(ReadCount(port.Fd(), 25).Data.size(), 25u);

  TPortClient line(started[1].Path);
  const TBytes lines = ReadUntil(line.Fd(), [](const TBytes& d) {
                         return d.find(B({'A', '+'})) != TBytes::npos;
                       }).Data;
  EXPECT_NE(lines.find(B({'A', '+'})), TBytes::npos);
}

class TProcess {
 public:
  explicit TProcess(const std::vector<std::string>& Args) {
    std::vector<char*> argv;
    for (const auto& a : Args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (posix_spawn(&Pid_, argv[0], nullptr, nullptr, argv.data(), environ) != 0) Pid_ = -1;
  }
  ~TProcess() {
    if (Pid_ > 0) {
      kill(Pid_, SIGKILL);
      Wait();
    }
  }
  pid_t Pid() const { return Pid_; }
  int Wait() {
    int status = 0;
    waitpid(Pid_, &status, 0);
    Pid_ = -1;
    return status;
  }

 private:
  pid_t Pid_ = -1;
};

TEST(DevsimProgram, DemoWritesWhatItCreatedAndCleansUpOnSigterm) {
  probrix::test::TTempDir dir;
  const fs::path out = dir.Path() / "sim.txt";
  const fs::path links = dir.Path() / "ports";
  TProcess sim({PROBRIX_DEVSIM_EXE, "--demo", "--dir", links.string(), "--out", out.string()});
  ASSERT_GT(sim.Pid(), 0);
  ASSERT_TRUE(probrix::test::WaitFor([&] { return fs::exists(out); }));

  std::ifstream in(out);
  std::vector<std::string> ports;
  std::uint16_t tcp = 0;
  std::string word, value;
  bool ready = false;
  while (in >> word) {
    if (word == "ready") {
      ready = true;
      break;
    }
    in >> value;
    if (word == "port") ports.push_back(value);
    if (word == "tcp") tcp = static_cast<std::uint16_t>(std::stoi(value.substr(10)));
  }
  EXPECT_TRUE(ready);
  ASSERT_EQ(ports.size(), 2u);
  EXPECT_EQ(ports[0], (links / "ttySIM0").string());
  ASSERT_NE(tcp, 0);

  TTcpClient c(tcp);
  c.Write(ModbusTcpFrame(B({5, 3, 0x03, 0xE8, 0, 10}), 1));
  const TBytes reply = ReadCount(c.Fd(), 29).Data;
  ASSERT_EQ(reply.size(), 29u);
  EXPECT_EQ(reply[10], 81);  // type 81: R3329

  kill(sim.Pid(), SIGTERM);
  const int status = sim.Wait();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const auto& p : ports) EXPECT_FALSE(fs::exists(fs::symlink_status(p)));
  EXPECT_FALSE(fs::exists(out));
}

TEST(DevsimProgram, HelpAndBadArguments) {
  probrix::test::TTempDir dir;
  const std::string log = (dir.Path() / "help.txt").string();
  const std::string cmd = std::string(PROBRIX_DEVSIM_EXE) + " --help > " + log;
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::ifstream in(log);
  const std::string help((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (const char* option : {"--demo", "--config", "--port", "--tcp", "--device", "--dir", "--out",
                             "--timing", "crc8", "mbap-length", "garbage", "lossy"}) {
    EXPECT_NE(help.find(option), std::string::npos) << option;
  }
  TProcess bad({PROBRIX_DEVSIM_EXE, "--port", "--device", "orvatbus,adress=1"});
  const int status = bad.Wait();
  EXPECT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 2);
  TProcess nothing({PROBRIX_DEVSIM_EXE});
  EXPECT_EQ(WEXITSTATUS(nothing.Wait()), 2);
}

}  // namespace
}  // namespace probrix::devsim
