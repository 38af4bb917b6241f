#include "messaging/ioModbusTransceiver.h"

#include "foundation/ioExceptions.h"
#include "messaging/ioModbusCoreTypes.h"
#include "messaging/updStrUtils.h"

namespace probrix {

std::int32_t TModbusAbstractReceiver::ReadExact(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                                std::int32_t Timeout, std::int32_t Count) {
  std::int32_t total = 0;
  std::int64_t elapsedAtStart = 0;
  std::int32_t current = Timeout;
  Stopwatch.Restart();
  TStopwatchStopper stopper(Stopwatch);
  const bool limited = Timeout != Connection.InfiniteTimeout();
  while (total < Count) {
    if (limited) {
      const std::int64_t elapsed = Stopwatch.ElapsedMilliseconds();
      elapsedAtStart = elapsed;
      const std::int64_t remaining = static_cast<std::int64_t>(Timeout) - elapsed;
      if (remaining <= 0) {
        throw EReadTimeoutError::CreateFmt(
            "Время ожидания чтения %d байт данных истекло. Прочитано %d байт "
            "(ReadTimeout=%d msec, elapsedTimeout=%d msec, remainingTimeout=%d msec)",
            {Count, total, Timeout, elapsed, remaining});
      }
      current = static_cast<std::int32_t>(remaining);
    }
    Connection.SetReadTimeout(current);
    const std::int32_t wanted = Count - total;
    const std::int32_t n = Connection.Read(Buffer + total, wanted);
    // A connection returns 1..wanted bytes or throws; anything else must not be counted, or
    // the next read would land outside the buffer (or never end).
    if (n <= 0 || n > wanted) {
      throw EUnexpectedReceiveError::CreateFmt(
          "[%s] Недопустимый результат операции чтения: запрошено байт: %d, получено байт: %d",
          {Connection.ConnectionString(), wanted, n});
    }
    Connection.WriteLogFmt(
        TTrafficLogKind::RawRead, "<raw (size=%d) %s (OperationTime=%d ms)",
        {n, HexDump(Buffer + total, n), Stopwatch.ElapsedMilliseconds() - elapsedAtStart});
    total += n;
  }
  return total;
}

std::int32_t TModbusAbstractReceiver::ReadHeader(IDeviceConnection& Connection,
                                                 std::uint8_t* Buffer) {
  const std::int32_t length = GetHeaderLength();
  try {
    return ReadExact(Connection, Buffer, StartOfPacketReadTimeout, length);
  } catch (const EReadTimeoutError& E) {
    throw EReadMessageTimeoutError::CreateFmt("Не получен заголовок (%d байт) MODBUS пакета. ",
                                              {length}, &E);
  }
}

std::int32_t TModbusAbstractReceiver::ReadRemainder(IDeviceConnection& Connection,
                                                    std::uint8_t* Buffer, std::int32_t Count) {
  try {
    return ReadExact(Connection, Buffer, ReadTimeout, Count);
  } catch (const EReadTimeoutError& E) {
    // The fourth word starts with a Latin "o": the device texts are kept as they are.
    throw EReadMessageTimeoutError::CreateFmt("Не получен oстаток (%d байт) MODBUS пакета. ",
                                              {Count}, &E);
  }
}

std::int32_t TModbusAbstractReceiver::ReadPacket(IDeviceConnection& Connection,
                                                 std::uint8_t* Buffer, std::int32_t Capacity) {
  const std::int32_t headerLength = GetHeaderLength();
  if (headerLength > Capacity) {
    throw ECorruptMessageFrame::CreateFmt(
        "Заголовок MODBUS пакета (%d байт) не помещается в буфер приёма (%d байт)",
        {headerLength, Capacity});
  }
  std::int32_t count = ReadHeader(Connection, Buffer);
  const std::int64_t headerTime = Stopwatch.ElapsedMilliseconds();
  std::int64_t restTime = 0;
  const std::int32_t length = GetPacketLength(Buffer);
  if (length < count || length > Capacity) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимая длина MODBUS пакета: %d байт (заголовок: %d байт, буфер приёма: %d байт)",
        {length, count, Capacity});
  }
  if (length != count) {
    count += ReadRemainder(Connection, Buffer + count, length - count);
    restTime = Stopwatch.ElapsedMilliseconds();
  }
  Connection.WriteLogFmt(TTrafficLogKind::PacketReceived,
                         "<--- (size=%d) %s (WaitHeaderTime=%d ms, WaitEndOfPacketTime=%d ms)",
                         {count, HexDump(Buffer, count), headerTime, headerTime + restTime});
  return count;
}

std::uint16_t TModbusRtuReceiver::GetPacketLength(const std::uint8_t* Header) {
  return ModbusUtils::GetRtuPacketLength(Header);
}

std::uint16_t TModbusRtuReceiver::GetHeaderLength() { return ModbusUtils::RtuHeaderLength; }

std::int32_t TModbusTcpReceiver::ReadPacket(IDeviceConnection& Connection, std::uint8_t* Buffer,
                                            std::int32_t Capacity) {
  try {
    return TModbusAbstractReceiver::ReadPacket(Connection, Buffer, Capacity);
  } catch (const ECorruptMessageFrame&) {
    Connection.CloseQuietly();  // the next exchange opens a fresh stream
    throw;
  }
}

std::uint16_t TModbusTcpReceiver::GetPacketLength(const std::uint8_t* Header) {
  const auto length = static_cast<std::uint16_t>((Header[4] << 8) | Header[5]);
  constexpr std::int32_t maxLength = TDeviceMessenger::BufferSize - ModbusUtils::TcpHeaderLength;
  if (length == 0 || length > maxLength) {
    throw ECorruptMessageFrame::CreateFmt(
        "Недопустимое значение поля длины в заголовке MODBUS TCP: %d (допустимо от 1 до %d)",
        {length, maxLength});
  }
  return static_cast<std::uint16_t>(ModbusUtils::TcpHeaderLength + length);
}

std::uint16_t TModbusTcpReceiver::GetHeaderLength() { return ModbusUtils::TcpHeaderLength; }

std::unique_ptr<TMessageSender> TModbusAbstractTransceiver::CreateSender() {
  return std::make_unique<TModbusSender>();
}

std::unique_ptr<TMessageReceiver> TModbusRtuTransceiver::CreateReceiver() {
  return std::make_unique<TModbusRtuReceiver>();
}

std::unique_ptr<TMessageReceiver> TModbusTcpTransceiver::CreateReceiver() {
  return std::make_unique<TModbusTcpReceiver>();
}

}  // namespace probrix
