#include <gtest/gtest.h>

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"

namespace probrix {
namespace {

const TBytes RequestBody = BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A});

TEST(ModbusCrc, KnownVectors) {
  // The check value of CRC-16/MODBUS over "123456789".
  const std::string check = "123456789";
  EXPECT_EQ(ModbusUtils::CalcCrc16(reinterpret_cast<const std::uint8_t*>(check.data()), 9), 0x4B37);
  EXPECT_EQ(ModbusUtils::CalcCrc16(nullptr, 0), 0xFFFF);
  EXPECT_EQ(ModbusUtils::BuildRtuFrame(RequestBody),
            BytesOf({0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A, 0x45, 0xBD}));
}

TEST(ModbusTcpFrame, HeaderCarriesTransactionAndLength) {
  EXPECT_EQ(ModbusUtils::BuildTcpFrame(RequestBody, 1),
            BytesOf({0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x03, 0x03, 0xE8, 0x00, 0x0A}));
  const TBytes frame = ModbusUtils::BuildTcpFrame(RequestBody, 0xABCD);
  EXPECT_EQ(frame.substr(0, 6), BytesOf({0xAB, 0xCD, 0x00, 0x00, 0x00, 0x06}));
}

TEST(ModbusRtuFrame, LengthLimits) {
  try {
    ModbusUtils::ParseRtuFrame(BytesOf({0x01, 0x03, 0x00, 0x00}));
    FAIL() << "no exception";
  } catch (const ECorruptMessageFrame& e) {
    EXPECT_EQ(e.Message,
              "Сообщение MODBUS RTU не содержит достаточного количества байт. Кол-во байт в "
              "сообщении: 4 (минимальная длина сообщения: 5 байт)");
  }
  const TBytes body = BytesOf({0x11, 0x03, 0x00});
  EXPECT_EQ(ModbusUtils::ParseRtuFrame(ModbusUtils::BuildRtuFrame(body)), body);
  EXPECT_THROW(ModbusUtils::ParseRtuFrame(TBytes()), ECorruptMessageFrame);
}

TEST(ModbusRtuFrame, ExchangedCrcBytesShownInArrivalOrder) {
  TBytes frame = ModbusUtils::BuildRtuFrame(RequestBody);  // ... 45 BD
  std::swap(frame[6], frame[7]);
  try {
    ModbusUtils::ParseRtuFrame(frame);
    FAIL() << "no exception";
  } catch (const EInvalidCRC& e) {
    EXPECT_EQ(e.Message,
              "Ошибка CRC в полученном сообщении. CRC в сообщении: 0xBD45, ожидаемое CRC: 0x45BD");
    EXPECT_EQ(e.InnerException(), nullptr);
  }
  frame = ModbusUtils::BuildRtuFrame(RequestBody);
  frame[2] ^= 0x01;
  EXPECT_THROW(ModbusUtils::ParseRtuFrame(frame), EInvalidCRC);
}

TEST(ModbusTcpFrame, ParseChecks) {
  const TBytes body = BytesOf({0x01, 0x03, 0x00});
  // Exactly nine bytes, and a non-zero protocol identifier is ignored.
  TBytes frame = ModbusUtils::BuildTcpFrame(body, 7);
  frame[2] = 0x12;
  frame[3] = 0x34;
  ASSERT_EQ(frame.size(), 9u);
  EXPECT_EQ(ModbusUtils::ParseTcpFrame(frame, 7), body);

  try {
    ModbusUtils::ParseTcpFrame(frame.substr(0, 8), 7);
    FAIL() << "no exception";
  } catch (const ECorruptMessageFrame& e) {
    EXPECT_NE(e.Message.find("MODBUS TCP"), std::string::npos);
    EXPECT_NE(e.Message.find(": 8 (минимальная длина сообщения: 9 байт)"), std::string::npos);
  }

  try {
    ModbusUtils::ParseTcpFrame(ModbusUtils::BuildTcpFrame(body, 0xFFFE), 2);
    FAIL() << "no exception";
  } catch (const EUnexpectedTransactionIdError& e) {
    EXPECT_EQ(e.Message,
              "Получен ответ MODBUS TCP с неожиданным идентификатором транзакции. Ожидаемый "
              "идентификатор: 2, получен идентификатор: 65534");
  }
}

TEST(ModbusBody, ExceptionResponsesAndTheirTexts) {
  const std::string prefix = "Произошла ошибка при выполнении команды. ";
  struct TCase {
    std::uint8_t Code;
    std::string Text;
  };
  const TCase cases[] = {
      {1,
       "Ведомое устройство не может выполнить запрос, т.к. получен запрос с неизвестным кодом "
       "функции. Код ошибки: 0x01."},
      {2, "Адрес данных, указанный в запросе, недоступен. Код ошибки: 0x02."},
      {6, "Ведомое устройство занято обработкой команды. Код ошибки: 0x06."},
      {0, "Получен неизвестный код ошибки. Код ошибки: 0x00."},
      {0xFF, "Получен неизвестный код ошибки. Код ошибки: 0xFF."},
  };
  for (const auto& c : cases) {
    try {
      ModbusUtils::CheckBody(BytesOf({0x01, 0x83, c.Code}));
      ADD_FAILURE() << "no exception for code " << int(c.Code);
    } catch (const EModbusSpecificError& e) {
      EXPECT_STREQ(e.ClassName(), "EModbusSpecificError");
      EXPECT_EQ(e.Message, prefix + c.Text);
      EXPECT_EQ(e.ErrorCode, c.Code);
    }
  }
  // Through the RTU and TCP parsers alike.
  EXPECT_THROW(ModbusUtils::ParseRtuFrame(ModbusUtils::BuildRtuFrame(BytesOf({1, 0x83, 2}))),
               EModbusSpecificError);
  EXPECT_THROW(ModbusUtils::ParseTcpFrame(ModbusUtils::BuildTcpFrame(BytesOf({1, 0x90, 4}), 3), 3),
               EModbusSpecificError);
  try {
    ModbusUtils::CheckBody(BytesOf({0x01, 0x03}));
    FAIL() << "no exception";
  } catch (const ECorruptMessageFrame& e) {
    EXPECT_EQ(e.Message,
              "Тело сообщения MODBUS не содержит достаточного количества байт. Кол-во байт в теле "
              "сообщения: 2 (требуемая минимальная длина: 3 байт)");
  }
  EXPECT_NO_THROW(ModbusUtils::CheckBody(BytesOf({0x01, 0x03, 0x00})));
}

TEST(ModbusRtuLength, FromTheFirstThreeBytes) {
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x03, 0x14}).data()), 25);
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x83, 0x02}).data()), 5);
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x10, 0x00}).data()), 8);
  EXPECT_EQ(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x04, 0xFF}).data()), 260);
  try {
    ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x07, 0x00}).data());
    FAIL() << "no exception";
  } catch (const EUnknownCommandCode& e) {
    EXPECT_EQ(e.Message, "Получен ответ с неизвестным кодом команды: \"0x07\"");
  }
  EXPECT_THROW(ModbusUtils::GetRtuPacketLength(BytesOf({0x01, 0x00, 0x00}).data()),
               EUnknownCommandCode);
}

TEST(ModbusFunctionCode, BitSevenAndSwap) {
  EXPECT_EQ(ModbusUtils::DecodeFunctionCode(0x83).Code, 3);
  EXPECT_TRUE(ModbusUtils::DecodeFunctionCode(0x83).IsException);
  EXPECT_FALSE(ModbusUtils::DecodeFunctionCode(0x03).IsException);
  EXPECT_TRUE(ModbusUtils::IsExceptionFunctionCode(0x80));
  EXPECT_FALSE(ModbusUtils::IsExceptionFunctionCode(0x7F));
  EXPECT_EQ(ModbusUtils::SwapBytes16(0x1234), 0x3412);
}

}  // namespace
}  // namespace probrix
