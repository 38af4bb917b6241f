#pragma once

// The connection, messaging, device and socket branches of the exception tree.

#include <cstdint>

#include "foundation/appExceptions.h"

namespace probrix {

PROBRIX_DECLARE_EXCEPTION(EConnectionError, ExceptionEx)
// A connection could not be opened. Reason says why where the operator can act on it (the
// program that holds a serial port, the rights the user lacks); empty otherwise.
class EConnectionOpenError : public EConnectionError {
  PROBRIX_EXCEPTION_BODY(EConnectionOpenError, EConnectionError)
  std::string Reason;
};
PROBRIX_DECLARE_EXCEPTION(EConnectionCloseError, EConnectionError)
PROBRIX_DECLARE_EXCEPTION(EConnectionIOError, EConnectionError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedIOError, EConnectionIOError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedSendError, EUnexpectedIOError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedReceiveError, EUnexpectedIOError)

PROBRIX_DECLARE_EXCEPTION(EDeviceMessagingError, ExceptionEx)
PROBRIX_DECLARE_EXCEPTION(EMessageParseError, EDeviceMessagingError)
PROBRIX_DECLARE_EXCEPTION(ECorruptMessageFrame, EMessageParseError)
PROBRIX_DECLARE_EXCEPTION(EDeviceRequestError, EDeviceMessagingError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedTransactionIdError, EDeviceRequestError)
PROBRIX_DECLARE_EXCEPTION(EInvalidCRC, EDeviceRequestError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedMessage, EDeviceRequestError)
PROBRIX_DECLARE_EXCEPTION(EUnexpectedCommandCode, EUnexpectedMessage)
PROBRIX_DECLARE_EXCEPTION(EAddressMismatchError, EDeviceRequestError)
PROBRIX_DECLARE_EXCEPTION(EMasterAddressMismatch, EAddressMismatchError)
PROBRIX_DECLARE_EXCEPTION(ESlaveAddressMismatch, EAddressMismatchError)

// The device answered that it cannot execute the command; ErrorCode is the device's code.
class ECommandExecutionError : public EDeviceRequestError {
  PROBRIX_EXCEPTION_BODY(ECommandExecutionError, EDeviceRequestError)
  std::uint8_t ErrorCode = 0;
};
PROBRIX_DECLARE_EXCEPTION(EUnknownCommandCode, ECommandExecutionError)
PROBRIX_DECLARE_EXCEPTION(ESlaveDeviceBusy, ECommandExecutionError)
PROBRIX_DECLARE_EXCEPTION(EBadCommandParams, ECommandExecutionError)
PROBRIX_DECLARE_EXCEPTION(ECommandSpecificError, ECommandExecutionError)
PROBRIX_DECLARE_EXCEPTION(EModbusSpecificError, ECommandSpecificError)
PROBRIX_DECLARE_EXCEPTION(EModbusRegisterAddressUnavailable, EModbusSpecificError)
PROBRIX_DECLARE_EXCEPTION(EModbusSlaveNonRecoverableErrorOccur, EModbusSpecificError)
PROBRIX_DECLARE_EXCEPTION(EModbusSlavePendingOperation, EModbusSpecificError)
PROBRIX_DECLARE_EXCEPTION(EModbusSlaveCannotPerformProgramFunction, EModbusSpecificError)

PROBRIX_DECLARE_EXCEPTION(ESocketInvalidOperation, ExceptionEx)

// A socket call failed; ErrorCode is the system's own error code, 0 when the peer closed.
class ESocketError : public ExceptionEx {
  PROBRIX_EXCEPTION_BODY(ESocketError, ExceptionEx)
  std::int32_t ErrorCode = 0;
};
PROBRIX_DECLARE_EXCEPTION(EWinsockLibraryError, ESocketError)
PROBRIX_DECLARE_EXCEPTION(ECreateSocketError, ESocketError)
PROBRIX_DECLARE_EXCEPTION(EConnectOperationRejected, ESocketError)
PROBRIX_DECLARE_EXCEPTION(ERetrievingHostAddressError, ESocketError)
PROBRIX_DECLARE_EXCEPTION(EInOutSocketError, ESocketError)
PROBRIX_DECLARE_EXCEPTION(ETimeoutSocketError, ESocketError)

// "<Msg> (SysErrorMessage: <platform text> (ErrorCode=<code>))"
std::string SocketErrorMessage(std::string_view Msg, std::int32_t ErrorCode);

// Builds (does not throw) a socket error of class T with the platform's text for ErrorCode.
template <class T>
T CreateSocketError(std::string_view Msg, std::int32_t ErrorCode) {
  static_assert(std::is_base_of_v<ESocketError, T>);
  T E = T::Create(SocketErrorMessage(Msg, ErrorCode));
  E.ErrorCode = ErrorCode;
  return E;
}

template <class T>
T CreateSocketErrorFmt(std::string_view Fmt, TFormatArgs Args, std::int32_t ErrorCode) {
  return CreateSocketError<T>(FormatExceptionMessage(Fmt, Args), ErrorCode);
}

}  // namespace probrix
