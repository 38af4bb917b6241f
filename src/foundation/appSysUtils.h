#pragma once

// Delphi-compatible text formatting: %s %d %u %x %p %f %%, with index ("%0:s"), left
// alignment ("-"), width and precision ("%.2x" = at least two upper-case hex digits), and "*"
// for width or precision taken from the arguments. A placeholder that does not fit its
// argument, or a missing argument, throws EConvertError.

#include <concepts>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <vector>

namespace probrix {

// One formatting argument. Text arguments given as lvalues or views are referenced, not copied:
// keep such a TVarRec no longer than the text it was made from.
class TVarRec {
 public:
  enum class TKind : std::uint8_t { vkInteger, vkString, vkPointer, vkFloat };

  template <std::integral T>
  requires(!std::same_as<T, bool> && !std::same_as<T, char>) TVarRec(T Value)
      : Kind_(TKind::vkInteger), Size_(sizeof(T)), Signed_(std::is_signed_v<T>) {
    if constexpr (std::is_signed_v<T>) {
      Int_ = static_cast<std::int64_t>(Value);
    } else {
      Int_ = static_cast<std::int64_t>(static_cast<std::uint64_t>(Value));
    }
  }
  TVarRec(bool) = delete;  // a boolean fits no placeholder; catch it at compile time
  TVarRec(char Value) : Kind_(TKind::vkString), Char_(Value) { Str_ = std::string_view(&Char_, 1); }
  TVarRec(const char* Value) : Kind_(TKind::vkString), Str_(Value ? Value : "") {}
  TVarRec(std::string_view Value) : Kind_(TKind::vkString), Str_(Value) {}
  TVarRec(const std::string& Value) : Kind_(TKind::vkString), Str_(Value) {}
  // A temporary string is kept inside the argument, so a stored list never dangles.
  TVarRec(std::string&& Value) : Kind_(TKind::vkString), Owned_(std::move(Value)) { Str_ = Owned_; }
  template <class T>
  requires(!std::same_as<std::remove_cv_t<T>, char>) TVarRec(T* Value)
      : Kind_(TKind::vkPointer), Ptr_(reinterpret_cast<std::uintptr_t>(Value)) {}
  TVarRec(double Value) : Kind_(TKind::vkFloat), Float_(Value) {}

  TVarRec(const TVarRec& Other) { *this = Other; }
  TVarRec& operator=(const TVarRec& Other) {
    Kind_ = Other.Kind_;
    Size_ = Other.Size_;
    Signed_ = Other.Signed_;
    Int_ = Other.Int_;
    Ptr_ = Other.Ptr_;
    Float_ = Other.Float_;
    Char_ = Other.Char_;
    Owned_ = Other.Owned_;
    if (Other.Str_.data() == &Other.Char_) {
      Str_ = std::string_view(&Char_, 1);
    } else if (!Other.Owned_.empty() && Other.Str_.data() == Other.Owned_.data()) {
      Str_ = Owned_;
    } else {
      Str_ = Other.Str_;
    }
    return *this;
  }

  TKind Kind() const { return Kind_; }
  std::int64_t AsInt64() const { return Int_; }
  std::uint64_t AsUInt64() const;  // two's complement in the argument's own width
  bool IsSigned() const { return Signed_; }
  std::string_view AsString() const { return Str_; }
  std::uintptr_t AsPointer() const { return Ptr_; }
  double AsFloat() const { return Float_; }

 private:
  TKind Kind_ = TKind::vkInteger;
  std::uint8_t Size_ = 8;
  bool Signed_ = true;
  std::int64_t Int_ = 0;
  std::uintptr_t Ptr_ = 0;
  double Float_ = 0;
  char Char_ = 0;
  std::string Owned_;
  std::string_view Str_;
};

// A view of an argument list: built from a braced list ({1, "x"}) or a vector.
class TFormatArgs {
 public:
  TFormatArgs() = default;
  // The list's array lives until the end of the caller's full expression, as long as the call.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winit-list-lifetime"
#endif
  TFormatArgs(std::initializer_list<TVarRec> Args) : Data_(Args.begin()), Size_(Args.size()) {}
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic pop
#endif
  TFormatArgs(const std::vector<TVarRec>& Args) : Data_(Args.data()), Size_(Args.size()) {}
  std::size_t size() const { return Size_; }
  const TVarRec& operator[](std::size_t I) const { return Data_[I]; }

 private:
  const TVarRec* Data_ = nullptr;
  std::size_t Size_ = 0;
};

std::string Format(std::string_view Fmt, TFormatArgs Args);

// Small conversions used across the system.
std::string IntToStr(std::int64_t Value);
std::string IntToHex(std::uint64_t Value, int Digits);
// Delphi StrToIntDef: optional sign, decimal or "$"/"0x" hexadecimal, surrounding blanks refused.
int StrToIntDef(std::string_view Text, int Default);
bool TryStrToInt(std::string_view Text, int& Value);
std::string Trim(std::string_view Text);
std::string UpperCaseAscii(std::string_view Text);
std::string LowerCaseAscii(std::string_view Text);
bool SameTextAscii(std::string_view A, std::string_view B);

}  // namespace probrix
