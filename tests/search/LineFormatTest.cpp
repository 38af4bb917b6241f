#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "SearchTaskFakes.h"
#include "connections/ioLineFormat.h"
#include "foundation/appExceptions.h"
#include "foundation/appSysUtils.h"
#include "search/uSearchParams.h"
#include "search/uSearchProgress.h"
#include "search/uSearchReport.h"

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
    std::vector<std::string> progress;
    std::vector<TSearchAttempt> attempts;
    task.OnProgressChanged = [&](TSearchDevicesTask*, const TSearchAttempt& A) {
      progress.push_back(ProgressText(A));
      attempts.push_back(A);
    };
    FillSearchPlan(task, choice);
    const TPlanAttempts plan = CountPlanAttempts(task);
    task.Start();
    task.WaitFor();

    // Baud rates, then formats as listed, then protocols; the endpoint takes none. 8N1 twice in
    // the list is one format, and a plan of 8N1 alone names no format.
    const std::vector<std::string> names =
        isDefault ? std::vector<std::string>{"8N1"} : std::vector<std::string>{"8N1", row.Name};
    std::vector<std::string> formats, expected;
    for (const char* baud : {"9600", "19200"}) {
      for (const std::string& name : names) {
        for (const char* protocol : {"Orvatbus", "ModbusRTU"}) {
          formats.push_back(std::string("COM1:") + baud + "," + protocol + " " + name);
          expected.push_back(std::string("COM1:") + baud + (isDefault ? "" : ":" + name) +
                             "\r\nПротокол: " + protocol +
                             "\r\nАдрес: " + (protocol[0] == 'O' ? "1" : "7"));
        }
      }
    }
    expected.insert(expected.end(), {"10.0.0.5:502\r\nПротокол: Orvatbus\r\nАдрес: 1",
                                     "10.0.0.5:502\r\nПротокол: ModbusRTU\r\nАдрес: 7"});
    EXPECT_EQ(script.FormatsSnapshot(), formats);
    EXPECT_EQ(progress, expected);
    EXPECT_EQ(task.PlanLineFormats().size(), names.size());
    EXPECT_EQ(plan.Total, static_cast<std::int64_t>(progress.size())) << "the progress bar's count";

    // The last serial attempt named in the protocol line, the attempt log's name and the grid;
    // an endpoint never with a format.
    ASSERT_EQ(attempts.size(), expected.size());
    const TSearchAttempt& last = attempts[attempts.size() - 3];
    EXPECT_EQ(last.LineFormat, isDefault ? std::nullopt : std::optional<TLineFormat>(format));
    EXPECT_EQ(attempts.back().LineFormat, std::nullopt);
    const std::string point = isDefault ? "COM1:19200" : std::string("COM1:19200:") + row.Name;
    EXPECT_EQ(ConnectionPointText(last), point);
    const TDateTime time = EncodeDateTime(2026, 12, 9, 14, 30, 5, 123);
    EXPECT_EQ(DeviceFoundLine(time, last),
              "14:30:05.123 [" + point + ",ModbusRTU,7]: прибор найден");
    EXPECT_EQ(SearchErrorLine(time, last, "Нет ответа"),
              "14:30:05.123 [" + point + ",ModbusRTU,7]: Нет ответа");
    EXPECT_EQ(AttemptLogFileName(time, last), std::string("143005_123_COM1_19200_") +
                                                  (isDefault ? "" : std::string(row.Name) + "_") +
                                                  "ModbusRTU_7.log");
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
