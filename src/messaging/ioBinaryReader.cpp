#include "messaging/ioBinaryReader.h"

#include <algorithm>
#include <bit>

#include "foundation/appExceptions.h"

namespace probrix {

std::int32_t TAbstractBinaryReader::ReadBuffer(void* Dest, std::int32_t Count) {
  if (Count <= 0) return 0;
  std::int32_t read = 0;
  if (!AtEnd()) {
    read = Stream_->Read(Dest, std::min(Count, BytesLeft()));
    if (read >= Count) return read;
  }
  throw EEndOfStreamError::CreateFmt(
      "Чтение после конца потока невозможно. Запрошено байт: %d, прочитано байт: %d (%s.%s "
      "Objname: %s)",
      {Count, read, ClassName(), "ReadBuffer", Objname_});
}

void TAbstractBinaryReader::SetStream(TStream* AStream, std::int32_t Size) {
  if (AStream == nullptr) {
    throw EInvalidStreamArgument::CreateFmt(
        "Значение параметра Stream равно null (%s.%s, Objname: %s)",
        {ClassName(), "Create", Objname_});
  }
  Stream_ = AStream;
  StartPosition_ = AStream->Position();
  SetSize(Size);
}

void TAbstractBinaryReader::SetSize(std::int32_t Size) { EndPosition_ = Size + StartPosition_ - 1; }

std::uint8_t TAbstractBinaryReader::ReadByte() {
  std::uint8_t value = 0;
  ReadBytes(&value, 1);
  return value;
}

std::uint16_t TAbstractBinaryReader::ReadWord() {
  std::uint16_t value = 0;
  ReadBytes(&value, 2);
  return value;
}

std::uint32_t TAbstractBinaryReader::ReadInteger() {
  std::uint32_t value = 0;
  ReadBytes(&value, 4);
  return value;
}

std::int32_t TAbstractBinaryReader::BytesLeft() const {
  if (Stream_ == nullptr) return 0;
  return std::max<std::int32_t>(EndPosition_ - Stream_->Position() + 1, 0);
}

bool TAbstractBinaryReader::AtEnd() const {
  return Stream_ == nullptr || Stream_->Position() > EndPosition_;
}

TBigEndianBinaryReader::TBigEndianBinaryReader(TStream* AStream, std::int32_t Size)
    : TAbstractBinaryReader("TBigEndianBinaryReader") {
  SetStream(AStream, Size);
}

std::int32_t TBigEndianBinaryReader::ReadBytes(void* Dest, std::int32_t Count) {
  auto* dest = static_cast<std::uint8_t*>(Dest);
  for (std::int32_t i = 0; i < Count; ++i) {
    // The first stream byte is the most significant one: the last in little-endian memory.
    const std::int32_t at = std::endian::native == std::endian::little ? Count - 1 - i : i;
    ReadBuffer(dest + at, 1);
  }
  return Count;
}

}  // namespace probrix
