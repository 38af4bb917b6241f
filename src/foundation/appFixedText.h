#pragma once

// Text built in a fixed buffer, without allocation, for code that may run inside a signal
// handler. What does not fit is cut off (and the text then counts as incomplete).

#include <cstddef>
#include <cstdint>
#include <string_view>

namespace probrix {

template <std::size_t Capacity>
class TFixedText {
 public:
  TFixedText& Add(std::string_view Text) noexcept {
    for (char c : Text) Put(c);
    return *this;
  }
  // Value in decimal, at least Digits digits (zero-padded).
  TFixedText& Decimal(std::uint64_t Value, int Digits = 1) noexcept {
    return Number(Value, 10, Digits);
  }
  // Value in upper-case hexadecimal, at least Digits digits (zero-padded).
  TFixedText& Hex(std::uint64_t Value, int Digits = 1) noexcept {
    return Number(Value, 16, Digits);
  }

  std::string_view View() const noexcept { return std::string_view(Data_, Size_); }
  // NUL-terminated.
  const char* CStr() noexcept {
    Data_[Size_] = '\0';
    return Data_;
  }
  bool Complete() const noexcept { return !Cut_; }
  std::size_t Room() const noexcept { return Capacity - Size_; }

 private:
  void Put(char C) noexcept {
    if (Size_ < Capacity) {
      Data_[Size_++] = C;
    } else {
      Cut_ = true;
    }
  }

  TFixedText& Number(std::uint64_t Value, unsigned Base, int Digits) noexcept {
    char digits[64];
    int count = 0;
    do {
      digits[count++] = "0123456789ABCDEF"[Value % Base];
      Value /= Base;
    } while (Value != 0);
    for (int i = count; i < Digits && i < 64; ++i) Put('0');
    while (count > 0) Put(digits[--count]);
    return *this;
  }

  char Data_[Capacity + 1];
  std::size_t Size_ = 0;
  bool Cut_ = false;
};

}  // namespace probrix
