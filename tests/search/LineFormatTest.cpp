#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SearchTaskFakes.h"
#include "connections/ioLineFormat.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "search/uSearchParams.h"

namespace probrix {
namespace {

using platform::TParity;
using platform::TStopBits;

struct TFormatRow {
  const char* Name;
  TParity Parity;
  TStopBits StopBits;
  int Bits;  // on the wire per character
};

constexpr TFormatRow FormatRows[] = {
    {"8N1", TParity::paNone, TStopBits::sbOne, 10}, {"8E1", TParity::paEven, TStopBits::sbOne, 11},
    {"8O1", TParity::paOdd, TStopBits::sbOne, 11},  {"8N2", TParity::paNone, TStopBits::sbTwo, 11},
    {"8E2", TParity::paEven, TStopBits::sbTwo, 12}, {"8O2", TParity::paOdd, TStopBits::sbTwo, 12},
};

// Per format: its name both ways, its character time, its connection string, and a plan of 8N1
// and that format over two baud rates and two protocols, walked by the task.
TEST(LineFormats, PlanOrderAndTextsPerFormat) {
  for (const TFormatRow& row : FormatRows) {
    SCOPED_TRACE(row.Name);
    const TLineFormat format{8, row.Parity, row.StopBits};
    const bool isDefault = format == DefaultLineFormat;
    EXPECT_EQ(LineFormatName(format), row.Name);
    EXPECT_EQ(ParseLineFormat(row.Name), format);
    EXPECT_EQ(ParseLineFormat(LowerCaseAscii(row.Name)), format);
    EXPECT_EQ(BitsPerCharacter(format), row.Bits);

    TSerialPortConnectionStringBuilder builder("COM5", true, 9600);
    builder.LineFormat = format;
    const std::string text = builder.GetConnectionString();
    EXPECT_EQ(text, std::string("PortName=COM5;BaudRate=9600;DtrEnable=1") +
                        (isDefault ? "" : std::string(";LineFormat=") + row.Name));
    TSerialPortConnectionStringBuilder back;
    back.LineFormat = {8, TParity::paMark, TStopBits::sbTwo};
    back.SetConnectionString(text);
    EXPECT_EQ(back.LineFormat, format);

    TSearchChoice choice;
    choice.SerialPortNames = {"COM1"};
    choice.BaudRates = {9600, 19200};
    choice.TcpEndpoints = {"10.0.0.5:502"};
    choice.LineFormats = ParseLineFormatList(std::string("8N1, ") + row.Name);
    choice.Protocols = {true, true, false, false};
    choice.OrvatbusAddresses = "1";
    choice.ModbusAddresses = "7";
    choice.SearchSingleOrvatbusDevice = false;
    test::TSearchScript script;
    test::TFakeSearcherFactory factory(script);
    TSearchDevicesTask task;
    test::RecordEvents(task, script);
    FillSearchPlan(task, choice);
    task.Start();
    task.WaitFor();

    // Baud rates, then formats as listed, then protocols; the endpoint takes none.
    // 8N1 twice in the list is one format.
    const std::vector<std::string> names =
        isDefault ? std::vector<std::string>{"8N1"} : std::vector<std::string>{"8N1", row.Name};
    std::vector<std::string> formats, progress;
    for (const char* baud : {"9600", "19200"}) {
      for (const std::string& name : names) {
        for (const char* protocol : {"Orvatbus", "ModbusRTU"}) {
          formats.push_back(std::string("COM1:") + baud + "," + protocol + " " + name);
          progress.push_back(std::string("progress COM1:") + baud + "," + protocol +
                             (protocol[0] == 'O' ? ",1" : ",7"));
        }
      }
    }
    progress.insert(progress.end(),
                    {"progress 10.0.0.5:502,Orvatbus,1", "progress 10.0.0.5:502,ModbusRTU,7"});
    EXPECT_EQ(script.FormatsSnapshot(), formats);
    EXPECT_EQ(script.Filter("progress"), progress);
    EXPECT_EQ(task.PlannedAttempts(), progress.size()) << "the length of the search";
  }
}

TEST(LineFormats, OnlyTheSixFormatsAreTaken) {
  for (const char* name : {"", "8N", "8X1", "7N1", "8N3", "8M1", "8N1.5", "8n1 ", "88N1"})
    EXPECT_EQ(ParseLineFormat(name), std::nullopt) << name;
  EXPECT_EQ(LineFormatName({7, TParity::paMark, TStopBits::sbOneAndHalf}), "7M1.5")
      << "what a driver reports is named whatever it is";
  EXPECT_EQ(ParseLineFormatList("8n1 8E1,8N1"),
            (std::vector<TLineFormat>{DefaultLineFormat, {8, TParity::paEven, TStopBits::sbOne}}))
      << "a repeat is dropped";
  EXPECT_EQ(LineFormatListText(ParseLineFormatList("8O2,8n2")), "8O2,8N2");
  try {
    ParseLineFormatList("8N1,7E1");
    FAIL();
  } catch (const EArgumentError& E) {
    EXPECT_THAT(E.Message, ::testing::HasSubstr("(7E1)"));
  }
  EXPECT_TRUE(IsDefaultLineFormatsOnly({}));
  EXPECT_TRUE(IsDefaultLineFormatsOnly({DefaultLineFormat}));
  EXPECT_FALSE(IsDefaultLineFormatsOnly({{8, TParity::paEven, TStopBits::sbOne}}));
  EXPECT_FALSE(IsDefaultLineFormatsOnly(ParseLineFormatList("8N1,8N2")));
}

}  // namespace
}  // namespace probrix
