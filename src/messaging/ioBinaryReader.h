#pragma once

// Reads fixed-width fields from a window of a byte stream. Reading past the window's end
// raises EEndOfStreamError, which the searchers turn into a frame-too-short error.

#include <cstdint>
#include <string>
#include <utility>

#include "messaging/ioBinaryStream.h"

namespace probrix {

class TAbstractBinaryReader {
 public:
  virtual ~TAbstractBinaryReader() = default;
  TAbstractBinaryReader(const TAbstractBinaryReader&) = delete;
  TAbstractBinaryReader& operator=(const TAbstractBinaryReader&) = delete;

  // How Count stream bytes become a value in memory.
  virtual std::int32_t ReadBytes(void* Dest, std::int32_t Count) = 0;
  // Count raw bytes in stream order; fewer than Count raises EEndOfStreamError (the bytes read
  // stay consumed).
  virtual std::int32_t ReadBuffer(void* Dest, std::int32_t Count);

  // The window starts at the stream's current position and holds Size bytes.
  void SetStream(TStream* AStream, std::int32_t Size);
  void SetSize(std::int32_t Size);

  std::uint8_t ReadByte();
  std::uint16_t ReadWord();
  std::uint32_t ReadInteger();

  std::int32_t BytesLeft() const;
  bool AtEnd() const;

  const char* ClassName() const { return ClassName_; }
  TStream* Stream() const { return Stream_; }
  std::int32_t StartPosition() const { return StartPosition_; }
  std::int32_t EndPosition() const { return EndPosition_; }  // the last readable byte
  // The name of what is read, for the messages.
  const std::string& Objname() const { return Objname_; }
  void SetObjname(std::string Value) { Objname_ = std::move(Value); }

 protected:
  explicit TAbstractBinaryReader(const char* AClassName) : ClassName_(AClassName) {}

 private:
  const char* ClassName_;
  TStream* Stream_ = nullptr;  // not owned
  std::int32_t StartPosition_ = 0;
  std::int32_t EndPosition_ = -1;
  std::string Objname_;
};

// Multi-byte numbers arrive most significant byte first.
class TBigEndianBinaryReader : public TAbstractBinaryReader {
 public:
  TBigEndianBinaryReader(TStream* AStream, std::int32_t Size);

  std::int32_t ReadBytes(void* Dest, std::int32_t Count) override;
};

}  // namespace probrix
