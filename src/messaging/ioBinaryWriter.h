#pragma once

// Writes fixed-width fields to a byte stream (request bodies).

#include <cstdint>
#include <string>
#include <utility>

#include "messaging/ioBinaryStream.h"

namespace probrix {

class TAbstractBinaryWriter {
 public:
  virtual ~TAbstractBinaryWriter() = default;
  TAbstractBinaryWriter(const TAbstractBinaryWriter&) = delete;
  TAbstractBinaryWriter& operator=(const TAbstractBinaryWriter&) = delete;

  // How a value of Count bytes in memory goes to the stream.
  virtual void WriteBytes(const void* Source, std::int32_t Count) = 0;
  // The bytes as they are; a stream that cannot take them raises its own error.
  virtual void WriteBuffer(const void* Source, std::int32_t Count);

  void SetStream(TStream* AStream);

  void WriteByte(std::uint8_t Value);
  void WriteWord(std::uint16_t Value);

  const char* ClassName() const { return ClassName_; }
  TStream* Stream() const { return Stream_; }
  std::int32_t StartPosition() const { return StartPosition_; }
  // The name of what is written, for the messages.
  const std::string& Objname() const { return Objname_; }
  void SetObjname(std::string Value) { Objname_ = std::move(Value); }

 protected:
  explicit TAbstractBinaryWriter(const char* AClassName) : ClassName_(AClassName) {}

 private:
  const char* ClassName_;
  TStream* Stream_ = nullptr;  // not owned
  std::int32_t StartPosition_ = 0;
  std::string Objname_;
};

// Multi-byte numbers go out most significant byte first.
class TBigEndianBinaryWriter : public TAbstractBinaryWriter {
 public:
  explicit TBigEndianBinaryWriter(TStream* AStream);

  void WriteBytes(const void* Source, std::int32_t Count) override;
};

}  // namespace probrix
