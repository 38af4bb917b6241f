// One attempt, one call: what a searcher's Attempt returns (a device, a device of another maker
// with the error that revealed it, or the failure as a copy of its exact class), and what the
// task makes of each outcome.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>

#include "SearchTaskFakes.h"
#include "foundation/ioExceptions.h"
#include "search/uFinderEngine.h"

namespace probrix {
namespace {

using test::TFakeSearcher;
using test::TFakeSearcherFactory;
using test::TSearchScript;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

constexpr auto dpModbusRtu = TDeviceProtocol::dpModbusRtu;

TEST(AttemptResult, OneCallGivesTheOutcomeOfAnAttempt) {
  TSearchScript script;
  TFakeSearcher searcher(script, "COM1:9600,ModbusRTU", dpModbusRtu, TConnectionType::ctSerialPort);
  script.OnSearch = [](TFakeSearcher& Searcher, std::uint8_t Address, TDeviceInfo& Info) {
    switch (Address) {
      case 1:
        Info.Address = 1;
        Info.SerialNumber = 4321;
        return;
      case 2: {
        EConnectionOpenError held = EConnectionOpenError::Create("[PortName=COM1] open");
        held.Reason = "held by minicom";
        throw held;
      }
      case 3:
        throw std::runtime_error("library failure");
      case 4: {
        TDeviceInfo other;
        other.Address = 4;
        other.OtherMaker = true;
        Searcher.Answering = other;
        EModbusSpecificError refused = EModbusSpecificError::Create("exception 2");
        refused.ErrorCode = 2;
        throw refused;
      }
      default:
        Abort();
    }
  };

  const TAttemptResult found = searcher.Attempt(1);
  EXPECT_EQ(found.Outcome, TAttemptOutcome::aoFound);
  EXPECT_EQ(found.Device.SerialNumber, 4321);
  EXPECT_FALSE(found.Error);

  // The failure keeps its exact class and what it carries.
  const TAttemptResult held = searcher.Attempt(2);
  EXPECT_EQ(held.Outcome, TAttemptOutcome::aoFailed);
  const auto* open = dynamic_cast<const EConnectionOpenError*>(held.Error.get());
  ASSERT_NE(open, nullptr);
  EXPECT_EQ(open->Reason, "held by minicom");
  EXPECT_EQ(open->Message, "[PortName=COM1] open");
  EXPECT_THROW(held.Error->Raise(), EConnectionOpenError);

  // A failure from outside the tree is one too, under its own name.
  const TAttemptResult foreign = searcher.Attempt(3);
  EXPECT_EQ(foreign.Outcome, TAttemptOutcome::aoFailed);
  ASSERT_TRUE(foreign.Error);
  EXPECT_TRUE(foreign.Error->Is<EForeignException>());
  EXPECT_THAT(foreign.Error->ClassName(), HasSubstr("runtime_error"));
  EXPECT_EQ(foreign.Error->Message, "library failure");

  // A device of another maker comes with the error that revealed it.
  const TAttemptResult other = searcher.Attempt(4);
  EXPECT_EQ(other.Outcome, TAttemptOutcome::aoOtherMaker);
  EXPECT_TRUE(other.Device.OtherMaker);
  EXPECT_EQ(other.Device.Address, 4);
  const auto* refused = dynamic_cast<const EModbusSpecificError*>(other.Error.get());
  ASSERT_NE(refused, nullptr);
  EXPECT_EQ(refused->ErrorCode, 2);

  // A stop is no outcome: it passes.
  EXPECT_THROW(searcher.Attempt(5), EAbort);
}

// Whatever an attempt's own call lets out (but a stop) is a failed attempt of the task: it is
// reported, and the next address follows.
TEST(AttemptResult, WhatAttemptLetsOutIsAFailedAttempt) {
  TSearchScript script;
  TFakeSearcherFactory factory(script);
  script.OnAttempt = [](std::uint8_t Address) {
    if (Address == 1) throw std::length_error("past the end");
    if (Address == 2) throw ESlaveAddressMismatch::Create("mismatch");
  };
  TSearchDevicesTask task;
  test::RecordEvents(task, script);
  task.SerialPortNames = {"COM1"};
  task.BaudRates = {9600};
  task.Protocols = {dpModbusRtu};
  task.SetAddresses(dpModbusRtu, std::vector<std::uint8_t>{1, 2, 3});
  task.Start();
  task.WaitFor();

  const std::vector<std::string> errors = script.Filter("error");
  ASSERT_EQ(errors.size(), 2u);
  EXPECT_THAT(errors[0], HasSubstr("length_error"));
  EXPECT_EQ(errors[1], "error COM1:9600,ModbusRTU,2 ESlaveAddressMismatch");
  EXPECT_THAT(script.Filter("found"), ElementsAre("found COM1:9600,ModbusRTU,3 reported=3 log=1"));
  EXPECT_THAT(script.Filter("finished"), ElementsAre("finished normal"));
}

}  // namespace
}  // namespace probrix
