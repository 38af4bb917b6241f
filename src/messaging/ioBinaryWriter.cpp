#include "messaging/ioBinaryWriter.h"

#include <bit>

#include "foundation/appExceptions.h"

namespace probrix {

void TAbstractBinaryWriter::WriteBuffer(const void* Source, std::int32_t Count) {
  Stream_->WriteBuffer(Source, Count);
}

void TAbstractBinaryWriter::SetStream(TStream* AStream) {
  if (AStream == nullptr) {
    throw EInvalidStreamArgument::CreateFmt(
        "Значение параметра Stream равно null (%s.%s, Objname: %s)",
        {ClassName(), "Create", Objname_});
  }
  Stream_ = AStream;
  StartPosition_ = AStream->Position();
}

void TAbstractBinaryWriter::WriteByte(std::uint8_t Value) { WriteBytes(&Value, 1); }

void TAbstractBinaryWriter::WriteWord(std::uint16_t Value) { WriteBytes(&Value, 2); }

TBigEndianBinaryWriter::TBigEndianBinaryWriter(TStream* AStream)
    : TAbstractBinaryWriter("TBigEndianBinaryWriter") {
  SetStream(AStream);
}

void TBigEndianBinaryWriter::WriteBytes(const void* Source, std::int32_t Count) {
  const auto* src = static_cast<const std::uint8_t*>(Source);
  for (std::int32_t i = Count - 1; i >= 0; --i) {
    // Most significant byte first: the last one in little-endian memory.
    const std::int32_t at = std::endian::native == std::endian::little ? i : Count - 1 - i;
    WriteBuffer(src + at, 1);
  }
}

}  // namespace probrix
