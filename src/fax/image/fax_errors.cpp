#include "fax/image/fax_errors.h"

#include <cerrno>
#include <cstring>
#include <string_view>
#include <type_traits>

namespace pellora::fax {
namespace {

// How a code is raised when a component meets it.
enum class Kind {
    None,      // no exception (0 "OK")
    InOut,     // EInOutError
    OutOfMem,  // EOutOfMemory
    Fax,       // EFaxException with the code's own text
    BadArgument,
    GotQuitMsg,
    BufferTooBig,
    PortNotAssigned,
    Internal,
    ModemNotAssigned,
    PhonebookNotAssigned,
    CannotUseWithWinSock,
    BadId,
    BaudRate,
    ByteSize,
    Default,
    Hardware,
    Memory,
    CommNotOpen,
    AlreadyOpen,
    NoHandles,
    NoTimers,
    NoPortSelected,
    NotOpenedByTapi,
    NullApi,
    RegisterHandlerFailed,
    PutBlockFail,
    GetBlockFail,
    OutputBufferTooSmall,
    BufferIsEmpty,
    TracingNotEnabled,
    LoggingNotEnabled,
    BaseAddressNotSet,
    TriggerTooLong,
    BadTriggerHandle,
    Protocol,
    FaxBadFormat,
    BadGraphicsFormat,
    ConvertAbort,
    UnpackAbort,
    CantMakeBitmap,
    FaxBadMachine,
    FaxBadModemResult,
    FaxTrainError,
    FaxInitError,
    FaxBusy,
    FaxVoiceCall,
    FaxDataCall,
    FaxNoDialTone,
    FaxNoCarrier,
    FaxSessionError,
    FaxPageError,
};

struct Entry {
    int code;
    const char* text;
    Kind kind;
};

// Sorted by code.
constexpr Entry kEntries[] = {
    {0, "OK", Kind::None},
    {2, "File not found", Kind::InOut},
    {3, "Path not found", Kind::InOut},
    {4, "Too many open files", Kind::InOut},
    {5, "File access denied", Kind::InOut},
    {6, "Invalid file handle", Kind::InOut},
    {8, "Insufficient memory", Kind::OutOfMem},
    {15, "Invalid drive", Kind::InOut},
    {18, "No more files", Kind::InOut},
    {100, "Attempt to read beyond end of file", Kind::InOut},
    {101, "Disk is full", Kind::InOut},
    {102, "File/device not assigned", Kind::InOut},
    {103, "File/device not open", Kind::InOut},
    {104, "File/device not open for input", Kind::InOut},
    {105, "File/device not open for output", Kind::InOut},
    {150, "Disk is write-protected", Kind::InOut},
    {151, "Unknown disk unit", Kind::InOut},
    {152, "Drive is not ready", Kind::InOut},
    {153, "Unknown command", Kind::InOut},
    {154, "Data error", Kind::InOut},
    {155, "Bad request structure length", Kind::InOut},
    {156, "Seek error", Kind::InOut},
    {157, "Unknown media type", Kind::InOut},
    {158, "Disk sector not found", Kind::InOut},
    {159, "Printer is out of paper", Kind::InOut},
    {160, "Device write error", Kind::InOut},
    {161, "Device read error", Kind::InOut},
    {162, "General failure", Kind::InOut},
    {1001, "Bad handle passed to com function", Kind::Fax},
    {1002, "Bad argument passed to function", Kind::BadArgument},
    {1003, "Got quit message", Kind::GotQuitMsg},
    {1004, "Terminal buffer greater than 65521", Kind::BufferTooBig},
    {1005, "ComPort component not assigned", Kind::PortNotAssigned},
    {1006, "Internal error creating window class", Kind::Internal},
    {1007, "Modem component not assigned", Kind::ModemNotAssigned},
    {1008, "Phonebook component not assigned", Kind::PhonebookNotAssigned},
    {1009, "Component not compatible with WinSock", Kind::CannotUseWithWinSock},
    {2001, "ie_BadId - Specified comport doesn't exist", Kind::BadId},
    {2002, "ie_Baudrate - unsupported baud rate", Kind::BaudRate},
    {2003, "ie_Bytesize - invalid byte size", Kind::ByteSize},
    {2004, "ie_Default - error in default parameters", Kind::Default},
    {2005, "ie_Hardware - Specified comport in use", Kind::Hardware},
    {2006, "ie_Memory - unable to allocate queues", Kind::Memory},
    {2007, "ie_NOpen - device not open", Kind::CommNotOpen},
    {2008, "ie_Open - device already open", Kind::AlreadyOpen},
    {2009, "No more handles, can't open port", Kind::NoHandles},
    {2010, "No timers available", Kind::NoTimers},
    {2011, "The ComNumber property of the TComPort has not been set", Kind::NoPortSelected},
    {2012, "Comport was not opened by Tapi", Kind::NotOpenedByTapi},
    {3001, "No device layer specified", Kind::NullApi},
    {3002, "Function not supported by driver", Kind::Fax},
    {3003, "EnableCommNotification failed", Kind::RegisterHandlerFailed},
    {3004, "Failed to put entire block", Kind::PutBlockFail},
    {3005, "Failed to get entire block", Kind::GetBlockFail},
    {3006, "Output buffer too small for block", Kind::OutputBufferTooSmall},
    {3007, "Buffer is empty", Kind::BufferIsEmpty},
    {3008, "Tracing not enabled", Kind::TracingNotEnabled},
    {3009, "Logging not enabled", Kind::LoggingNotEnabled},
    {3010, "Base address not set", Kind::BaseAddressNotSet},
    {5001, "No more trigger slots", Kind::Fax},
    {5002, "Data trigger too long", Kind::TriggerTooLong},
    {5003, "Bad trigger handle", Kind::BadTriggerHandle},
    {6005, "Cancel requested", Kind::Fax},
    {6006, "Fatal time out", Kind::Protocol},
    {6010, "No filename specified in protocol receive", Kind::Fax},
    {6011, "File was rejected", Kind::Fax},
    {8001, "File is not a PLF file", Kind::FaxBadFormat},
    {8002, "Unsupported graphics file format", Kind::BadGraphicsFormat},
    {8003, "User aborted fax conversion", Kind::ConvertAbort},
    {8004, "User aborted fax unpack", Kind::UnpackAbort},
    {8005, "CreateBitmapIndirect API failure", Kind::CantMakeBitmap},
    {8050, "No image loaded into viewer", Kind::Fax},
    {8051, "No block of image marked", Kind::Fax},
    {8052, "FAXFONT.FNT not found, or resource bad", Kind::Fax},
    {8053, "Invalid page number specified for fax", Kind::Fax},
    {8054, "BMP size exceeds Windows' maxheight of 32767", Kind::Fax},
    {8055, "Font selected for enhanced text converter too large", Kind::Fax},
    {8060, "Fax incompatible with remote fax", Kind::FaxBadMachine},
    {8061, "Bad response from modem", Kind::FaxBadModemResult},
    {8062, "Modems failed to train", Kind::FaxTrainError},
    {8063, "Error while initializing modem", Kind::FaxInitError},
    {8064, "Called fax number was busy", Kind::FaxBusy},
    {8065, "Called fax number answered with voice", Kind::FaxVoiceCall},
    {8066, "Incoming data call", Kind::FaxDataCall},
    {8067, "No dial tone", Kind::FaxNoDialTone},
    {8068, "Failed to connect to remote fax", Kind::FaxNoCarrier},
    {8069, "Fax failed in mid-session", Kind::FaxSessionError},
    {8070, "Fax failed at page end", Kind::FaxPageError},
    {8071, "NextBand GDI error in fax print driver", Kind::Fax},
    {8072, "Multiple resolutions per session not supported", Kind::Fax},
    {8073, "Initialization of fax converter failed", Kind::Fax},
    {8074, "Remote fax did not answer", Kind::Fax},
};

const Entry* findEntry(long code) {
    for (const auto& e : kEntries)
        if (e.code == code) return &e;
    return nullptr;
}

// The operating system's message for an error number as one tidy line.
std::string systemMessage(long number) {
    std::string text;
    if (number >= 0 && number <= 0x7fffffff) {
        char buf[512];
        // The GNU strerror_r returns a pointer, the POSIX one an int; handle both.
        auto r = strerror_r(static_cast<int>(number), buf, sizeof buf);
        if constexpr (std::is_same_v<decltype(r), int>)
            text = (r == 0) ? buf : "Unknown error " + std::to_string(number);
        else
            text = r ? r : "";
    } else {
        text = "Unknown error " + std::to_string(number);
    }
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    std::string out;
    for (char c : text) {
        if (c == ' ' && !out.empty() && out.back() == ' ') continue;
        out += c;
    }
    if (out.size() > 255) out.resize(255);
    return out;
}

template <class E>
[[noreturn]] void raise(int code, const char* text) {
    throw E(code, text);
}

}  // namespace

std::string faxErrorText(int code) {
    long positive = code < 0 ? -static_cast<long>(code) : code;
    if (const Entry* e = findEntry(positive)) return e->text;
    return systemMessage(positive);
}

int ioErrorCode(int err, bool writing) {
    switch (err) {
        case 0:
            return writing ? ecDeviceWriteError : ecReadBeyondEof;  // short transfer
        case ENOENT:
            return ecFileNotFound;
        case ENOTDIR:
        case ENAMETOOLONG:
            return ecPathNotFound;
        case EMFILE:
        case ENFILE:
            return ecTooManyOpenFiles;
        case EACCES:
        case EPERM:
        case EISDIR:
        case ETXTBSY:
            return ecAccessDenied;
        case EBADF:
            return ecInvalidHandle;
        case ENOMEM:
            return ecOutOfMemory;
        case ENOSPC:
        case EDQUOT:
        case EFBIG:
            return ecDiskFull;
        case EROFS:
            return ecWriteProtected;
        case ESPIPE:
        case EOVERFLOW:
            return ecSeekError;
        case ENXIO:
        case ENODEV:
            return -152;  // drive not ready
        default:
            return writing ? ecDeviceWriteError : ecDeviceReadError;
    }
}

void raiseFaxError(int code) {
    if (code >= 0) return;
    std::string text = faxErrorText(code);
    if (code == ecOutOfMemory) throw EOutOfMemory(code, text);
    if (code <= -2 && code >= -162) throw EInOutError(code, text);
    const Entry* e = findEntry(-static_cast<long>(code));
    if (!e) throw EFaxException(code, "Fax exception");
    const char* t = e->text;
    switch (e->kind) {
        case Kind::None:
        case Kind::InOut:
        case Kind::OutOfMem:
        case Kind::Fax:
            raise<EFaxException>(code, t);
        case Kind::BadArgument:
            raise<EBadArgument>(code, t);
        case Kind::GotQuitMsg:
            raise<EGotQuitMsg>(code, t);
        case Kind::BufferTooBig:
            raise<EBufferTooBig>(code, t);
        case Kind::PortNotAssigned:
            raise<EPortNotAssigned>(code, t);
        case Kind::Internal:
            raise<EInternal>(code, t);
        case Kind::ModemNotAssigned:
            raise<EModemNotAssigned>(code, t);
        case Kind::PhonebookNotAssigned:
            raise<EPhonebookNotAssigned>(code, t);
        case Kind::CannotUseWithWinSock:
            raise<ECannotUseWithWinSock>(code, t);
        case Kind::BadId:
            raise<EBadId>(code, t);
        case Kind::BaudRate:
            raise<EBaudRate>(code, t);
        case Kind::ByteSize:
            raise<EByteSize>(code, t);
        case Kind::Default:
            raise<EDefault>(code, t);
        case Kind::Hardware:
            raise<EHardware>(code, t);
        case Kind::Memory:
            raise<EMemory>(code, t);
        case Kind::CommNotOpen:
            raise<ECommNotOpen>(code, t);
        case Kind::AlreadyOpen:
            raise<EAlreadyOpen>(code, t);
        case Kind::NoHandles:
            raise<ENoHandles>(code, t);
        case Kind::NoTimers:
            raise<ENoTimers>(code, t);
        case Kind::NoPortSelected:
            raise<ENoPortSelected>(code, t);
        case Kind::NotOpenedByTapi:
            raise<ENotOpenedByTapi>(code, t);
        case Kind::NullApi:
            raise<ENullApi>(code, t);
        case Kind::RegisterHandlerFailed:
            raise<ERegisterHandlerFailed>(code, t);
        case Kind::PutBlockFail:
            raise<EPutBlockFail>(code, t);
        case Kind::GetBlockFail:
            raise<EGetBlockFail>(code, t);
        case Kind::OutputBufferTooSmall:
            raise<EOutputBufferTooSmall>(code, t);
        case Kind::BufferIsEmpty:
            raise<EBufferIsEmpty>(code, t);
        case Kind::TracingNotEnabled:
            raise<ETracingNotEnabled>(code, t);
        case Kind::LoggingNotEnabled:
            raise<ELoggingNotEnabled>(code, t);
        case Kind::BaseAddressNotSet:
            raise<EBaseAddressNotSet>(code, t);
        case Kind::TriggerTooLong:
            raise<ETriggerTooLong>(code, t);
        case Kind::BadTriggerHandle:
            raise<EBadTriggerHandle>(code, t);
        case Kind::Protocol:
            raise<EProtocol>(code, t);
        case Kind::FaxBadFormat:
            raise<EFaxBadFormat>(code, t);
        case Kind::BadGraphicsFormat:
            raise<EBadGraphicsFormat>(code, t);
        case Kind::ConvertAbort:
            raise<EConvertAbort>(code, t);
        case Kind::UnpackAbort:
            raise<EUnpackAbort>(code, t);
        case Kind::CantMakeBitmap:
            raise<ECantMakeBitmap>(code, t);
        case Kind::FaxBadMachine:
            raise<EFaxBadMachine>(code, t);
        case Kind::FaxBadModemResult:
            raise<EFaxBadModemResult>(code, t);
        case Kind::FaxTrainError:
            raise<EFaxTrainError>(code, t);
        case Kind::FaxInitError:
            raise<EFaxInitError>(code, t);
        case Kind::FaxBusy:
            raise<EFaxBusy>(code, t);
        case Kind::FaxVoiceCall:
            raise<EFaxVoiceCall>(code, t);
        case Kind::FaxDataCall:
            raise<EFaxDataCall>(code, t);
        case Kind::FaxNoDialTone:
            raise<EFaxNoDialTone>(code, t);
        case Kind::FaxNoCarrier:
            raise<EFaxNoCarrier>(code, t);
        case Kind::FaxSessionError:
            raise<EFaxSessionError>(code, t);
        case Kind::FaxPageError:
            raise<EFaxPageError>(code, t);
    }
    throw EFaxException(code, "Fax exception");
}

}  // namespace pellora::fax
