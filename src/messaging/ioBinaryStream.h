#pragma once

// The in-memory byte stream under the binary reader and writer: request bodies are written
// into one, response bodies read from one.

#include <cstdint>

#include "foundation/appTypes.h"

namespace probrix {

class TStream {
 public:
  virtual ~TStream() = default;

  // Copies up to Count bytes from the current position; returns how many were copied.
  virtual std::int32_t Read(void* Buffer, std::int32_t Count) = 0;
  // Stores up to Count bytes at the current position; returns how many were stored.
  virtual std::int32_t Write(const void* Buffer, std::int32_t Count) = 0;
  virtual std::int32_t Position() const = 0;
  virtual void SetPosition(std::int32_t Value) = 0;
  virtual std::int32_t Size() const = 0;

  // Stores all Count bytes or throws EStreamError.
  void WriteBuffer(const void* Buffer, std::int32_t Count);
};

// A growable stream over a byte string; a write beyond the end extends it.
class TBytesStream : public TStream {
 public:
  TBytesStream() = default;
  explicit TBytesStream(TBytes Data) : Data_(std::move(Data)) {}

  std::int32_t Read(void* Buffer, std::int32_t Count) override;
  std::int32_t Write(const void* Buffer, std::int32_t Count) override;
  std::int32_t Position() const override { return Position_; }
  // Clamped to 0..Size.
  void SetPosition(std::int32_t Value) override;
  std::int32_t Size() const override { return static_cast<std::int32_t>(Data_.size()); }

  const TBytes& Bytes() const { return Data_; }

 private:
  TBytes Data_;
  std::int32_t Position_ = 0;
};

}  // namespace probrix
