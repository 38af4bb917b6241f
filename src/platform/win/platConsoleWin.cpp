#include <algorithm>
#include <iostream>

#include "platform/platConsole.h"
#include "platform/win/platWin.h"

namespace probrix::platform {

namespace {

// The length of the UTF-8 sequence a byte starts; 1 for a byte that starts none.
std::size_t SequenceLength(unsigned char Lead) {
  if (Lead >= 0xF0 && Lead <= 0xF4) return 4;
  if (Lead >= 0xE0) return Lead <= 0xEF ? 3 : 1;
  if (Lead >= 0xC2) return 2;
  return 1;
}

bool WriteConsoleAll(HANDLE Console, std::wstring_view Text) {
  while (!Text.empty()) {
    // The console takes a limited amount per call.
    const DWORD chunk = static_cast<DWORD>(std::min<std::size_t>(Text.size(), 8192));
    DWORD written = 0;
    if (!::WriteConsoleW(Console, Text.data(), chunk, &written, nullptr) || written == 0)
      return false;
    Text.remove_prefix(written);
  }
  return true;
}

}  // namespace

TUtf16StreamBuf::TUtf16StreamBuf(TWriter Write) : Write_(std::move(Write)) {
  setp(Buffer_, Buffer_ + sizeof(Buffer_));
}

TUtf16StreamBuf::int_type TUtf16StreamBuf::overflow(int_type C) {
  if (!Drain() || pptr() == epptr()) return traits_type::eof();
  if (!traits_type::eq_int_type(C, traits_type::eof())) {
    *pptr() = traits_type::to_char_type(C);
    pbump(1);
  }
  return traits_type::not_eof(C);
}

int TUtf16StreamBuf::sync() { return Drain() ? 0 : -1; }

bool TUtf16StreamBuf::Drain() {
  const std::size_t size = static_cast<std::size_t>(pptr() - pbase());
  // A character cut at the end of the buffer waits for the rest of its bytes.
  std::size_t whole = size;
  for (std::size_t back = 1; back <= 3 && back <= size; ++back) {
    const auto byte = static_cast<unsigned char>(Buffer_[size - back]);
    if ((byte & 0xC0) == 0x80) continue;
    if (SequenceLength(byte) > back) whole = size - back;
    break;
  }
  const bool ok = whole == 0 || Write_(WideFromUtf8(std::string_view(Buffer_, whole)));
  std::copy(Buffer_ + whole, Buffer_ + size, Buffer_);
  setp(Buffer_, Buffer_ + sizeof(Buffer_));
  pbump(static_cast<int>(size - whole));
  return ok;
}

void UseUnicodeConsole() {
  const auto attach = [](std::ostream& Stream, DWORD Which) {
    const HANDLE out = ::GetStdHandle(Which);
    DWORD mode = 0;
    // A file or a pipe takes the UTF-8 bytes as they are.
    if (out == nullptr || out == INVALID_HANDLE_VALUE || !::GetConsoleMode(out, &mode)) return;
    Stream.flush();
    // Never freed: the standard streams are flushed once more when the program ends.
    Stream.rdbuf(
        new TUtf16StreamBuf([out](std::wstring_view Text) { return WriteConsoleAll(out, Text); }));
  };
  attach(std::cout, STD_OUTPUT_HANDLE);
  attach(std::cerr, STD_ERROR_HANDLE);
}

}  // namespace probrix::platform
