#include "messaging/ioBinaryStream.h"

#include <algorithm>
#include <cstring>

#include "foundation/appExceptions.h"

namespace probrix {

void TStream::WriteBuffer(const void* Buffer, std::int32_t Count) {
  if (Count <= 0) return;
  const std::int32_t written = Write(Buffer, Count);
  if (written != Count) {
    throw EStreamError::CreateFmt("Ошибка записи в поток. Запрошено байт: %d, записано байт: %d",
                                  {Count, written});
  }
}

std::int32_t TBytesStream::Read(void* Buffer, std::int32_t Count) {
  if (Count <= 0 || Position_ >= Size()) return 0;
  const std::int32_t n = std::min(Count, Size() - Position_);
  std::memcpy(Buffer, Data_.data() + Position_, static_cast<std::size_t>(n));
  Position_ += n;
  return n;
}

std::int32_t TBytesStream::Write(const void* Buffer, std::int32_t Count) {
  if (Count <= 0) return 0;
  const auto* src = static_cast<const std::uint8_t*>(Buffer);
  const std::size_t end = static_cast<std::size_t>(Position_) + static_cast<std::size_t>(Count);
  if (end > Data_.size()) Data_.resize(end);
  std::memcpy(Data_.data() + Position_, src, static_cast<std::size_t>(Count));
  Position_ += Count;
  return Count;
}

void TBytesStream::SetPosition(std::int32_t Value) {
  Position_ = std::clamp<std::int32_t>(Value, 0, Size());
}

}  // namespace probrix
