#include <gtest/gtest.h>

#include <new>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"

namespace probrix {
namespace {

TEST(Exceptions, DescriptionsOfSingleExceptions) {
  EXPECT_EQ(DescribeException(nullptr), "");
  Exception plain("x");
  EXPECT_EQ(DescribeException(plain), "[Exception] x");

  EReadTimeoutError e = EReadTimeoutError::Create("timeout");
  EXPECT_STREQ(e.ClassName(), "EReadTimeoutError");
  EXPECT_EQ(e.GetDescription(), "[EReadTimeoutError] timeout");
  EXPECT_EQ(e.GetFullDescription(), e.GetDescription());
  EXPECT_EQ(e.GetFullMessage(), "timeout");
  EXPECT_EQ(DescribeException(e), "[EReadTimeoutError] timeout");
}

TEST(Exceptions, TwoAndThreeLevelChains) {
  EInOutSocketError sock = EInOutSocketError::Create("closed by peer");
  EConnectionIOError io = EConnectionIOError::Create("read failed", &sock);
  EXPECT_EQ(
      io.GetFullDescription(),
      "[EConnectionIOError] read failed (InnerException: [EInOutSocketError] closed by peer)");
  EXPECT_EQ(io.GetFullMessage(), "read failed (closed by peer)");

  EReadSOHTimeoutError top = EReadSOHTimeoutError::Create("no SOH", &io);
  EXPECT_EQ(top.GetFullDescription(),
            "[EReadSOHTimeoutError] no SOH (InnerException: [EConnectionIOError] read failed "
            "(InnerException: [EInOutSocketError] closed by peer))");
  EXPECT_EQ(top.GetFullMessage(), "no SOH (read failed (closed by peer))");
  EXPECT_EQ(DescribeException(&top), top.GetFullDescription());
}

TEST(Exceptions, CauseOutsideTheTreeKeepsItsClassAndCode) {
  EOSError os = EOSError::Create("disk full");
  os.ErrorCode = 28;
  EConnectionOpenError open = EConnectionOpenError::Create("cannot open", &os);
  ASSERT_NE(open.InnerException(), nullptr);
  const auto* copy = dynamic_cast<const EOSError*>(open.InnerException());
  ASSERT_NE(copy, nullptr);
  EXPECT_EQ(copy->ErrorCode, 28);
  EXPECT_EQ(open.GetFullDescription(),
            "[EConnectionOpenError] cannot open (InnerException: [EOSError] disk full)");
  EXPECT_EQ(open.GetFullMessage(), "cannot open (disk full)");

  std::bad_alloc oom;
  EUnexpectedSendError send = EUnexpectedSendError::Create("send", &oom);
  ASSERT_NE(send.InnerException(), nullptr);
  EXPECT_STREQ(send.InnerException()->ClassName(), "std::bad_alloc");
  EXPECT_EQ(DescribeException(oom), std::string("[std::bad_alloc] ") + oom.what());
}

TEST(Exceptions, CauseDestroyedRightAfterTheWrapperIsBuilt) {
  auto cause = std::make_unique<ETimeoutSocketError>(ETimeoutSocketError::Create("late"));
  cause->ErrorCode = 110;
  EReadTimeoutError wrapper = EReadTimeoutError::Create("read", cause.get());
  cause.reset();
  const auto* inner = dynamic_cast<const ETimeoutSocketError*>(wrapper.InnerException());
  ASSERT_NE(inner, nullptr);
  EXPECT_EQ(inner->Message, "late");
  EXPECT_EQ(inner->ErrorCode, 110);

  // Copies (as thrown exceptions are) own their own chain too.
  EReadTimeoutError copy = wrapper;
  wrapper.SetInnerException(nullptr);
  EXPECT_EQ(wrapper.InnerException(), nullptr);
  ASSERT_NE(copy.InnerException(), nullptr);
  EXPECT_EQ(copy.InnerException()->Message, "late");
}

TEST(Exceptions, CloneKeepsClassCodeAndChain) {
  EInOutSocketError sock = EInOutSocketError::Create("reset");
  sock.ErrorCode = 10054;
  std::unique_ptr<Exception> clone = sock.Clone();
  auto* socketClone = dynamic_cast<EInOutSocketError*>(clone.get());
  ASSERT_NE(socketClone, nullptr);
  EXPECT_EQ(socketClone->ErrorCode, 10054);
  EXPECT_EQ(socketClone->Message, "reset");

  ESlaveDeviceBusy busy = ESlaveDeviceBusy::Create("busy", &sock);
  busy.ErrorCode = 6;
  auto busyClone = busy.Clone();
  auto* b = dynamic_cast<ESlaveDeviceBusy*>(busyClone.get());
  ASSERT_NE(b, nullptr);
  EXPECT_EQ(b->ErrorCode, 6);
  EXPECT_EQ(b->GetFullDescription(), busy.GetFullDescription());
}

TEST(Exceptions, RaiseThrowsTheDynamicClass) {
  std::unique_ptr<Exception> e = ECorruptMessageFrame::Create("bad frame").Clone();
  try {
    e->Raise();
    FAIL() << "Raise returned";
  } catch (const EMessageParseError& caught) {
    EXPECT_STREQ(caught.ClassName(), "ECorruptMessageFrame");
    EXPECT_TRUE(caught.Is<EDeviceMessagingError>());
    EXPECT_FALSE(caught.Is<EConnectionError>());
  }
}

TEST(Exceptions, CreateFmtFallsBackWhenTheFormatDoesNotFit) {
  EReadTimeoutError ok = EReadTimeoutError::CreateFmt("%s: %d ms", {"COM1", 200});
  EXPECT_EQ(ok.Message, "COM1: 200 ms");

  EReadTimeoutError bad = EReadTimeoutError::CreateFmt("%d", {"text"});
  EXPECT_STREQ(bad.ClassName(), "EReadTimeoutError");
  EXPECT_EQ(bad.Message,
            "%d [Ошибка при генерации исключения. EConvertError: Format '%d' invalid or "
            "incompatible with argument]");

  EConnectionIOError inner = EConnectionIOError::Create("io");
  EReadTimeoutError missing = EReadTimeoutError::CreateFmt("%s %s", {"one"}, &inner);
  EXPECT_NE(missing.Message.find("No argument for format '%s %s'"), std::string::npos);
  ASSERT_NE(missing.InnerException(), nullptr);
}

TEST(Exceptions, SocketErrorsCarryCodeAndSystemText) {
  auto e = CreateSocketError<EConnectOperationRejected>("connect to 127.0.0.1:1", 111);
  EXPECT_EQ(e.ErrorCode, 111);
  EXPECT_EQ(e.Message.rfind("connect to 127.0.0.1:1 (SysErrorMessage: ", 0), 0u);
  const std::string tail = "(ErrorCode=111))";
  ASSERT_GE(e.Message.size(), tail.size());
  EXPECT_EQ(e.Message.substr(e.Message.size() - tail.size()), tail);
  EXPECT_EQ(e.InnerException(), nullptr);

  auto f = CreateSocketErrorFmt<ERetrievingHostAddressError>("host %s", {"nohost"}, -2);
  EXPECT_EQ(f.ErrorCode, -2);
  EXPECT_EQ(f.Message.rfind("host nohost (SysErrorMessage: ", 0), 0u);
}

TEST(Exceptions, ClassNamesOutsideTheTree) {
  EXPECT_STREQ(EMathInvalidArgument::Create("x").ClassName(), "EInvalidArgument");
  EXPECT_STREQ(EInvalidArgument::Create("x").ClassName(), "EInvalidArgument");
  EXPECT_FALSE(EMathInvalidArgument::Create("x").Is<EInvalidArgument>());
  EXPECT_TRUE(EMathInvalidArgument::Create("x").Is<EMathError>());
  EXPECT_FALSE(ETimeoutException::Create("x").Is<ExceptionEx>());
}

}  // namespace
}  // namespace probrix
