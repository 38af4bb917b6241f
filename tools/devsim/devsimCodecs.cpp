#include "devsim/devsimCodecs.h"

namespace probrix::devsim {

const char* ChecksumName(TChecksum Kind) { return Kind == TChecksum::ckCrc8 ? "crc8" : "crc1"; }

std::uint8_t OrvatbusCrc1(const std::uint8_t* Data, std::size_t Count) {
  std::uint8_t sum = 0;
  for (std::size_t i = 0; i < Count; ++i) sum ^= Data[i];
  return sum;
}

std::uint8_t OrvatbusCrc8(const std::uint8_t* Data, std::size_t Count) {
  std::uint8_t crc = 0;
  for (std::size_t i = 0; i < Count; ++i) {
    crc ^= Data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint8_t>((crc >> 1) ^ 0x8C)
                      : static_cast<std::uint8_t>(crc >> 1);
    }
  }
  return crc;
}

std::uint8_t OrvatbusChecksum(TChecksum Kind, const std::uint8_t* Data, std::size_t Count) {
  return Kind == TChecksum::ckCrc8 ? OrvatbusCrc8(Data, Count) : OrvatbusCrc1(Data, Count);
}

std::uint8_t OrvatbusEncodeAddress(int Address, bool Flag) {
  return static_cast<std::uint8_t>(Address + 0x20 + (Flag ? 0x80 : 0));
}

int OrvatbusDecodeAddress(std::uint8_t Byte) {
  return static_cast<std::uint8_t>(Byte - 0x20) & 0x7F;
}

TBytes OrvatbusPack(const TBytes& Body, TChecksum Kind, bool CorruptChecksum) {
  TBytes plain;
  plain.reserve(Body.size() + 2);
  plain.push_back(OrvatbusSoh);
  plain += Body;
  std::uint8_t sum = OrvatbusChecksum(Kind, plain.data(), plain.size());
  if (CorruptChecksum) sum ^= 0x5A;

  TBytes packed;
  packed.reserve(2 * plain.size() + 4);
  packed.push_back(OrvatbusSoh);
  auto put = [&packed](std::uint8_t b) {
    if (b == OrvatbusEtx || b == OrvatbusEscape || b == OrvatbusSoh) {
      packed.push_back(OrvatbusEscape);
      packed.push_back(static_cast<std::uint8_t>(~b));
    } else {
      packed.push_back(b);
    }
  };
  for (std::size_t i = 1; i < plain.size(); ++i) put(plain[i]);
  put(sum);
  packed.push_back(OrvatbusEtx);
  return packed;
}

std::optional<TBytes> OrvatbusUnpack(const TBytes& Packed, TChecksum Kind) {
  if (Packed.size() < 6 || Packed.front() != OrvatbusSoh || Packed.back() != OrvatbusEtx) {
    return std::nullopt;
  }
  TBytes plain;
  plain.reserve(Packed.size());
  plain.push_back(OrvatbusSoh);
  for (std::size_t i = 1; i + 1 < Packed.size(); ++i) {
    std::uint8_t b = Packed[i];
    if (b == OrvatbusEscape) {
      if (i + 2 >= Packed.size()) return std::nullopt;
      std::uint8_t next = Packed[++i];
      if (next != 0x00 && next != 0xEF && next != 0xFC) return std::nullopt;
      b = static_cast<std::uint8_t>(~next);
    } else if (b == OrvatbusSoh || b == OrvatbusEtx) {
      return std::nullopt;
    }
    plain.push_back(b);
  }
  // SOH, three header bytes, checksum.
  if (plain.size() < 5) return std::nullopt;
  const std::uint8_t expected = OrvatbusChecksum(Kind, plain.data(), plain.size() - 1);
  if (plain.back() != expected) return std::nullopt;
  return plain.substr(1, plain.size() - 2);
}

std::uint16_t ModbusCrc16(const std::uint8_t* Data, std::size_t Count) {
  std::uint16_t crc = 0xFFFF;
  for (std::size_t i = 0; i < Count; ++i) {
    crc ^= Data[i];
    for (int bit = 0; bit < 8; ++bit) {
      crc = (crc & 1) ? static_cast<std::uint16_t>((crc >> 1) ^ 0xA001)
                      : static_cast<std::uint16_t>(crc >> 1);
    }
  }
  return crc;
}

TBytes ModbusRtuFrame(const TBytes& Body, bool CorruptCrc) {
  std::uint16_t crc = ModbusCrc16(Body.data(), Body.size());
  if (CorruptCrc) crc ^= 0x5AA5;
  TBytes frame = Body;
  frame.push_back(static_cast<std::uint8_t>(crc & 0xFF));
  frame.push_back(static_cast<std::uint8_t>(crc >> 8));
  return frame;
}

TBytes ModbusTcpFrame(const TBytes& Body, std::uint16_t TransactionId, int LengthField) {
  const unsigned length =
      LengthField >= 0 ? static_cast<unsigned>(LengthField) & 0xFFFF : Body.size() & 0xFFFF;
  TBytes frame;
  frame.reserve(Body.size() + 6);
  frame.push_back(static_cast<std::uint8_t>(TransactionId >> 8));
  frame.push_back(static_cast<std::uint8_t>(TransactionId & 0xFF));
  frame.push_back(0);
  frame.push_back(0);
  frame.push_back(static_cast<std::uint8_t>(length >> 8));
  frame.push_back(static_cast<std::uint8_t>(length & 0xFF));
  frame += Body;
  return frame;
}

TBytes OrvatAsciiLine(std::uint8_t AddressChar, const std::string& Text) {
  TBytes line;
  line.reserve(15);
  line.push_back(AddressChar);
  for (std::size_t i = 0; i < 12; ++i) {
    line.push_back(i < Text.size() ? static_cast<std::uint8_t>(Text[i]) : std::uint8_t{' '});
  }
  line.push_back(0x0D);
  line.push_back(0x0A);
  return line;
}

namespace {

std::uint32_t NextRandom(std::uint32_t& State) {
  // xorshift32: cheap, deterministic, good enough for filler bytes.
  if (State == 0) State = 0x9E3779B9u;
  State ^= State << 13;
  State ^= State >> 17;
  State ^= State << 5;
  return State;
}

}  // namespace

TBytes GarbageBytes(std::size_t Count, std::uint32_t Seed) {
  TBytes out;
  out.reserve(Count);
  while (out.size() < Count) {
    const auto b = static_cast<std::uint8_t>(NextRandom(Seed) >> 24);
    if (b == OrvatbusSoh || b == OrvatbusEtx || b == OrvatbusEscape || b == 0x0D || b == 0x0A) {
      continue;
    }
    out.push_back(b);
  }
  return out;
}

TBytes NoiseBytes(std::size_t Count, std::uint32_t Seed) {
  TBytes out;
  out.reserve(Count);
  while (out.size() < Count) {
    const auto b = static_cast<std::uint8_t>(NextRandom(Seed) >> 24);
    if (b != OrvatbusSoh) out.push_back(b);
  }
  return out;
}

}  // namespace probrix::devsim
