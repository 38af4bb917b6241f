#pragma once

// Shared by the Windows half of the platform layer only: the layers above never include it.
// Text at the system boundary (UTF-8 in memory, UTF-16 for the wide calls), the system's error
// codes turned into the kinds of platError.h, and the waits that watch a handle together with
// the calling thread's cancel event (platCancel.h).

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

// A device that is not there (an unplugged adapter); MinGW's winerror.h lacks it.
#ifndef ERROR_NO_SUCH_DEVICE
#define ERROR_NO_SUCH_DEVICE 433L
#endif

#include <chrono>
#include <functional>
#include <optional>
#include <streambuf>
#include <string>
#include <string_view>

#include "platform/platError.h"

namespace probrix::platform {

// UTF-8 to UTF-16 and back; bytes that are not UTF-8 become U+FFFD.
std::wstring WideFromUtf8(std::string_view Text);
std::string Utf8FromWide(std::wstring_view Text);

// Where an error code arose: a missing device at the opening means it is not there; during
// input or output it means the device went away.
enum class TWinErrorContext : std::uint8_t { ecOpen, ecUse };

// The kind of a system error code (GetLastError, WSAGetLastError; 0: no failure) with its code
// and text: not found = ERROR_FILE_NOT_FOUND, ERROR_PATH_NOT_FOUND, ERROR_BAD_NETPATH (and
// ERROR_DEV_NOT_EXIST at open); access denied = ERROR_ACCESS_DENIED, WSAEACCES; busy =
// ERROR_SHARING_VIOLATION, ERROR_LOCK_VIOLATION, ERROR_BUSY; timed out = WAIT_TIMEOUT,
// ERROR_TIMEOUT, ERROR_COUNTER_TIMEOUT, WSAETIMEDOUT; gone = ERROR_INVALID_HANDLE,
// ERROR_BAD_COMMAND, ERROR_DEVICE_NOT_CONNECTED, ERROR_GEN_FAILURE, and in use
// ERROR_DEV_NOT_EXIST, ERROR_NO_SUCH_DEVICE, ERROR_DEVICE_REMOVED (an adapter pulled out),
// WSAECONNRESET, WSAECONNABORTED; cancelled = ERROR_OPERATION_ABORTED, ERROR_CANCELLED.
TOsError WinError(DWORD Code, TWinErrorContext Context = TWinErrorContext::ecUse);
// WinError of GetLastError().
TOsError LastWinError(TWinErrorContext Context = TWinErrorContext::ecUse);

// The calling thread's cancel event, nullptr when none is bound.
HANDLE CurrentCancelHandle() noexcept;

// The console control handler of InstallStopSignals (platCancel.h), run on a thread the system
// starts for the event.
BOOL WINAPI ConsoleControlHandler(DWORD Kind);

using TWaitClock = std::chrono::steady_clock;

// Milliseconds until Deadline for WaitForMultipleObjects: INFINITE for none, rounded up so that
// a wait does not end before its deadline.
DWORD WaitMsUntil(const std::optional<TWaitClock::time_point>& Deadline) noexcept;

// Waits until Handle is signalled, Deadline passes (none: no limit) or the thread's cancel
// event is set: 0 when Handle was signalled, WAIT_TIMEOUT, ERROR_OPERATION_ABORTED for the
// cancel event, or the code of a failed wait.
DWORD WaitHandle(HANDLE Handle, const std::optional<TWaitClock::time_point>& Deadline) noexcept;

// The event of the overlapped transfers of the calling thread, made on first use; nullptr when it
// cannot be made.
HANDLE ThreadTransferEvent() noexcept;

// One overlapped transfer on Handle that ends by itself, at Deadline (none: no limit) or at the
// calling thread's cancel event, whichever comes first; what did not finish is cancelled, and
// the bytes moved until then count (Done). Start(OVERLAPPED*) issues it and returns 0 (done at
// once), ERROR_IO_PENDING or its failure; Finish(OVERLAPPED*, BOOL Wait, DWORD& Done) reads the
// outcome as GetOverlappedResult does. Returns 0, WAIT_TIMEOUT, ERROR_OPERATION_ABORTED (the
// cancel event) or the failure's code.
template <class StartFn, class FinishFn>
DWORD OverlappedTransfer(HANDLE Handle, StartFn Start, FinishFn Finish,
                         const std::optional<TWaitClock::time_point>& Deadline, DWORD& Done) {
  Done = 0;
  const HANDLE event = ThreadTransferEvent();
  if (!event) return ::GetLastError();
  ::ResetEvent(event);
  OVERLAPPED ov{};
  ov.hEvent = event;
  const DWORD started = Start(&ov);
  if (started == 0) return Finish(&ov, FALSE, Done) ? 0 : ::GetLastError();
  if (started != ERROR_IO_PENDING) return started;
  const DWORD wait = WaitHandle(event, Deadline);
  if (wait != 0) ::CancelIoEx(Handle, &ov);
  // The record must outlive the transfer: wait for its end, also after a cancel.
  if (!Finish(&ov, TRUE, Done)) {
    const DWORD error = ::GetLastError();
    return error == ERROR_OPERATION_ABORTED && wait != 0 ? wait : error;
  }
  return wait;
}

// The baud rate a BAUD_* flag of the communication properties (dwMaxBaud) stands for; 0 for a
// programmable rate (BAUD_USER) or a flag not known. The flag is a bit, not a rate: BAUD_128K
// reads as 65536 and would refuse 115200 if it were compared as one.
std::uint32_t BaudRateOfFlag(DWORD Flag);

// The kinds of the failures of a serial device. At the opening, ERROR_ACCESS_DENIED is the
// system's answer to every opener after the first (a port opens without sharing): the port is
// busy, held by another program, not a matter of rights.
TOsError SerialOpenError(DWORD Code);
// During use, a device that went away (an adapter pulled out) answers ERROR_ACCESS_DENIED,
// ERROR_BAD_COMMAND, ERROR_DEVICE_REMOVED or ERROR_NO_SUCH_DEVICE: it is gone.
TOsError SerialUseError(DWORD Code);
// A transfer that ended with Code. ERROR_OPERATION_ABORTED is cancelled only when the program's
// own stop (StopRequested) ended it; otherwise the driver aborted it for a fault of the line (a
// driver left with fAbortOnError set does so at the first framing error): ekLineFault, naming
// the CE_* faults of Faults where they are known.
TOsError SerialTransferError(DWORD Code, bool StopRequested, DWORD Faults);

// Locks all of File for its writers (the advisory lock of AppendToFile and of the crash log,
// which take turns on one file): 0 once locked; ERROR_LOCK_VIOLATION when another writer still
// holds it after WaitMs; any other failure at once, unretried (a handle without read or write
// data access, a file system without locks), and the caller writes unserialised. Allocates
// nothing, so a crash filter may call it.
DWORD LockWholeFile(HANDLE File, int WaitMs) noexcept;
void UnlockWholeFile(HANDLE File) noexcept;
// Opens Path (NUL-terminated) to append to it, creating it, shared with all other readers and
// writers, with the data access that LockWholeFile needs. Allocates nothing.
HANDLE OpenFileForAppend(const wchar_t* Path) noexcept;

// A stream buffer that hands the UTF-8 text written to it to Write as UTF-16, whole characters
// only: a sequence cut at the end of the buffer waits for its rest. Bytes that are not UTF-8
// become U+FFFD. The console streams of UseUnicodeConsole (platConsole.h).
class TUtf16StreamBuf : public std::streambuf {
 public:
  using TWriter = std::function<bool(std::wstring_view Text)>;
  explicit TUtf16StreamBuf(TWriter Write);

 protected:
  int_type overflow(int_type C) override;
  int sync() override;

 private:
  // Writes the whole characters the buffer holds and keeps the rest.
  bool Drain();

  TWriter Write_;
  char Buffer_[1024];
};

// A handle closed with its owner.
class TWinHandle {
 public:
  TWinHandle() = default;
  explicit TWinHandle(HANDLE Handle) noexcept : Handle_(Handle) {}
  ~TWinHandle() { Reset(); }
  TWinHandle(const TWinHandle&) = delete;
  TWinHandle& operator=(const TWinHandle&) = delete;
  HANDLE Get() const noexcept { return Handle_; }
  bool Valid() const noexcept { return Handle_ != nullptr && Handle_ != INVALID_HANDLE_VALUE; }
  void Reset(HANDLE Handle = nullptr) noexcept {
    if (Valid()) ::CloseHandle(Handle_);
    Handle_ = Handle;
  }

 private:
  HANDLE Handle_ = nullptr;
};

}  // namespace probrix::platform
