// Error codes, their texts and the exception classes of the fax engine and the image code.
//
// Inside the engine and the image code a failure is a negative integer code; file failures
// are the runtime's I/O error numbers negated (2 "File not found", 100 "Attempt to read beyond
// end of file", ...). Only where a component operation fails is the code turned into an
// exception, by raiseFaxError().
#pragma once

#include <stdexcept>
#include <string>

namespace pellora::fax {

// Codes used by the image code and the serial port layer (negated where they are returned).
inline constexpr int ecOK = 0;
inline constexpr int ecFileNotFound = -2;
inline constexpr int ecPathNotFound = -3;
inline constexpr int ecTooManyOpenFiles = -4;
inline constexpr int ecAccessDenied = -5;
inline constexpr int ecInvalidHandle = -6;
inline constexpr int ecOutOfMemory = -8;
inline constexpr int ecReadBeyondEof = -100;
inline constexpr int ecDiskFull = -101;
inline constexpr int ecWriteProtected = -150;
inline constexpr int ecSeekError = -156;
inline constexpr int ecDeviceWriteError = -160;
inline constexpr int ecDeviceReadError = -161;
inline constexpr int ecGeneralFailure = -162;
inline constexpr int ecBadArgument = -1002;
inline constexpr int ecGotQuitMsg = -1003;
inline constexpr int ecBadId = -2001;          // no such device
inline constexpr int ecBaudRate = -2002;       // unsupported baud rate
inline constexpr int ecHardware = -2005;       // in use elsewhere (lock file, exclusive open)
inline constexpr int ecCommNotOpen = -2007;    // the port is not open
inline constexpr int ecAlreadyOpen = -2008;    // this process has the device open already
inline constexpr int ecNoHandles = -2009;
inline constexpr int ecPutBlockFail = -3004;   // not enough room: nothing was queued
inline constexpr int ecOutputBufferTooSmall = -3006;
inline constexpr int ecBufferIsEmpty = -3007;  // read with nothing received
inline constexpr int ecNoMoreTriggers = -5001;
inline constexpr int ecBadTriggerHandle = -5003;
inline constexpr int ecFaxBadFormat = -8001;
inline constexpr int ecBadGraphicsFormat = -8002;
inline constexpr int ecConvertAbort = -8003;
inline constexpr int ecUnpackAbort = -8004;
inline constexpr int ecCantMakeBitmap = -8005;
inline constexpr int ecBmpTooBig = -8054;

// The text for a code; the sign is ignored. Codes without an entry get the operating
// system's message for that number, cleaned up to one line of at most 255 characters.
std::string faxErrorText(int code);

// What a file operation that failed with `err` (an errno value) reports: the runtime I/O
// error number, negated. `writing` picks the device error for an otherwise unknown failure.
int ioErrorCode(int err, bool writing);

// Base of every exception the fax components raise. code() is the negative engine code.
class EFaxException : public std::runtime_error {
  public:
    EFaxException(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const noexcept { return code_; }

  private:
    int code_;
};

// A failed file operation; ioErrorCode() is the positive runtime number (2 = file not found).
class EInOutError : public EFaxException {
  public:
    using EFaxException::EFaxException;
    int ioErrorCode() const noexcept { return -code(); }
};

// The runtime's out-of-memory error (code -8).
class EOutOfMemory : public EFaxException {
  public:
    using EFaxException::EFaxException;
};

#define PELLORA_FAX_EXCEPTION(Name)         \
    class Name : public EFaxException {     \
      public:                               \
        using EFaxException::EFaxException; \
    };

PELLORA_FAX_EXCEPTION(EBadArgument)
PELLORA_FAX_EXCEPTION(EGotQuitMsg)
PELLORA_FAX_EXCEPTION(EBufferTooBig)
PELLORA_FAX_EXCEPTION(EPortNotAssigned)
PELLORA_FAX_EXCEPTION(EInternal)
PELLORA_FAX_EXCEPTION(EModemNotAssigned)
PELLORA_FAX_EXCEPTION(EPhonebookNotAssigned)
PELLORA_FAX_EXCEPTION(ECannotUseWithWinSock)
PELLORA_FAX_EXCEPTION(EBadId)
PELLORA_FAX_EXCEPTION(EBaudRate)
PELLORA_FAX_EXCEPTION(EByteSize)
PELLORA_FAX_EXCEPTION(EDefault)
PELLORA_FAX_EXCEPTION(EHardware)
PELLORA_FAX_EXCEPTION(EMemory)
PELLORA_FAX_EXCEPTION(ECommNotOpen)
PELLORA_FAX_EXCEPTION(EAlreadyOpen)
PELLORA_FAX_EXCEPTION(ENoHandles)
PELLORA_FAX_EXCEPTION(ENoTimers)
PELLORA_FAX_EXCEPTION(ENoPortSelected)
PELLORA_FAX_EXCEPTION(ENotOpenedByTapi)
PELLORA_FAX_EXCEPTION(ENullApi)
PELLORA_FAX_EXCEPTION(ERegisterHandlerFailed)
PELLORA_FAX_EXCEPTION(EPutBlockFail)
PELLORA_FAX_EXCEPTION(EGetBlockFail)
PELLORA_FAX_EXCEPTION(EOutputBufferTooSmall)
PELLORA_FAX_EXCEPTION(EBufferIsEmpty)
PELLORA_FAX_EXCEPTION(ETracingNotEnabled)
PELLORA_FAX_EXCEPTION(ELoggingNotEnabled)
PELLORA_FAX_EXCEPTION(EBaseAddressNotSet)
PELLORA_FAX_EXCEPTION(ETriggerTooLong)
PELLORA_FAX_EXCEPTION(EBadTriggerHandle)
PELLORA_FAX_EXCEPTION(EProtocol)
PELLORA_FAX_EXCEPTION(EFaxBadFormat)
PELLORA_FAX_EXCEPTION(EBadGraphicsFormat)
PELLORA_FAX_EXCEPTION(EConvertAbort)
PELLORA_FAX_EXCEPTION(EUnpackAbort)
PELLORA_FAX_EXCEPTION(ECantMakeBitmap)
PELLORA_FAX_EXCEPTION(EFaxBadMachine)
PELLORA_FAX_EXCEPTION(EFaxBadModemResult)
PELLORA_FAX_EXCEPTION(EFaxTrainError)
PELLORA_FAX_EXCEPTION(EFaxInitError)
PELLORA_FAX_EXCEPTION(EFaxBusy)
PELLORA_FAX_EXCEPTION(EFaxVoiceCall)
PELLORA_FAX_EXCEPTION(EFaxDataCall)
PELLORA_FAX_EXCEPTION(EFaxNoDialTone)
PELLORA_FAX_EXCEPTION(EFaxNoCarrier)
PELLORA_FAX_EXCEPTION(EFaxSessionError)
PELLORA_FAX_EXCEPTION(EFaxPageError)

#undef PELLORA_FAX_EXCEPTION

// Raises the exception a component raises for `code`: nothing for codes of 0 and above;
// -2..-162 EInOutError with the runtime I/O text (-8 EOutOfMemory); codes that have a class of
// their own that class with the code's text; any other code EFaxException "Fax exception".
void raiseFaxError(int code);

}  // namespace pellora::fax
