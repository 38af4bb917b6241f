#include "FuzzSupport.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "foundation/appExceptions.h"
#include "foundation/ioExceptions.h"

namespace probrix::fuzz {

void Require(bool Condition, const char* Message) {
  if (Condition) return;
  std::fprintf(stderr, "fuzz check failed: %s\n", Message);
  std::abort();
}

TFuzzReceive BuildReceive(const std::uint8_t* Data, std::size_t Size) {
  TFuzzReceive r;
  std::size_t p = 0;
  const std::uint8_t mode = Size > 0 ? Data[p++] : 0;
  const TConnectionType type =
      (mode & 0x04) ? TConnectionType::ctTcp : TConnectionType::ctSerialPort;
  r.Connection = test::TScriptedConnection::New("FUZZ", type);
  r.Connection->EmptyScriptLimit = std::chrono::milliseconds(3);
  switch (mode & 0x03) {
    case 0:
      r.Capacity = TDeviceMessenger::BufferSize;
      break;
    case 1:
      r.Capacity = p < Size ? (Data[p++] & 0x3F) + 1 : 1;
      break;
    case 2:
      r.Capacity = 256;
      break;
    default:
      r.Capacity = 3;
      break;
  }
  const std::int32_t infinite = r.Connection->InfiniteTimeout();
  auto budget = [infinite](int Choice) { return Choice == 3 ? infinite : Choice; };
  r.StartOfPacketReadTimeout = budget((mode >> 3) & 0x03);
  r.ReadTimeout = budget((mode >> 5) & 0x03);

  std::chrono::milliseconds delay{0}, totalDelay{0};
  while (p < Size) {
    const std::uint8_t c = Data[p++];
    if (c <= 0xDF) {
      const std::size_t n = std::min<std::size_t>(c + 1u, Size - p);
      if (n == 0) break;
      r.Connection->AddChunk(TBytes(Data + p, n), delay);
      p += n;
    } else if (c <= 0xE7) {
      if (p >= Size) break;
      r.Connection->AddChunk(TBytes(((c & 7u) + 1u) * 1024u, Data[p++]), delay);
    } else if (c <= 0xEB) {
      const std::chrono::milliseconds d((c & 3) + 1);
      if (totalDelay + d <= std::chrono::milliseconds(6)) {
        totalDelay += d;
        delay = d;
      }
      continue;
    } else if (c == 0xEC) {
      r.Connection->AddReadFailure(EReadTimeoutError::Create("[FUZZ] read timeout"), delay);
    } else if (c == 0xED) {
      r.Connection->AddReadFailure(EConnectionIOError::Create("[FUZZ] connection lost"), delay);
    } else if (c == 0xEE) {
      r.Connection->AddReadFailure(EStreamError::Create("[FUZZ] stream failure"), delay);
    } else {
      if (p >= Size) break;
      r.Connection->AddChunk(TBytes(Data + p, Size - p), delay);
      p = Size;
    }
    delay = std::chrono::milliseconds(0);
  }
  r.Connection->Open();
  return r;
}

TBytes RunReceive(TMessageReceiver& Receiver, const std::uint8_t* Data, std::size_t Size) {
  TFuzzReceive r = BuildReceive(Data, Size);
  Receiver.SetStartOfPacketReadTimeout(r.StartOfPacketReadTimeout);
  Receiver.SetReadTimeout(r.ReadTimeout);
  std::vector<std::uint8_t> buffer(static_cast<std::size_t>(r.Capacity));
  try {
    const std::int32_t n = Receiver.ReadPacket(*r.Connection, buffer.data(), r.Capacity);
    Require(n >= 0 && n <= r.Capacity, "ReadPacket returned a count outside the buffer");
    return TBytes(buffer.data(), static_cast<std::size_t>(n));
  } catch (const Exception&) {
    return TBytes();
  }
}

}  // namespace probrix::fuzz
