#pragma once

// Reads fixed-width fields from a window of a byte stream. Reading past the window's end
// raises EEndOfStreamError, which the searchers turn into a frame-too-short error.

#include <cstdint>
#include <string>

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

  TStream* Stream = nullptr;  // not owned
  std::int32_t StartPosition = 0;
  std::int32_t EndPosition = -1;  // the last readable byte
  std::string Objname;

 protected:
  explicit TAbstractBinaryReader(const char* ClassName) : ClassName_(ClassName) {}

 private:
  const char* ClassName_;
};

// Multi-byte numbers arrive most significant byte first.
class TBigEndianBinaryReader : public TAbstractBinaryReader {
 public:
  TBigEndianBinaryReader(TStream* AStream, std::int32_t Size);

  std::int32_t ReadBytes(void* Dest, std::int32_t Count) override;
};

}  // namespace probrix
