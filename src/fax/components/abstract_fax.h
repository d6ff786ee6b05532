// The fax components: the objects an application puts between itself and a fax session.
//
// TCustomAbstractFax owns the session of one direction and its link to a Notifier (the
// component's "hidden window"): every notification of the session runs handleNotification()
// on the component's thread, which turns it into the component's events, hands the session
// the faxes to send and the names of received files, and feeds the status display and the fax
// log. TAbstractFax adds the properties both directions share; TCustomSendFax /
// TCustomReceiveFax (send_fax.h, receive_fax.h) add the direction's own.
//
// Properties live in the component and are copied into the session when a run starts, so a
// property changed during a run takes effect with the next one.
//
// Threads: the component, its events and its properties belong to the thread that owns its
// Notifier. The session's handler runs on the port's dispatcher thread and reaches the
// component only through the Notifier.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "core_iface/message_pump.h"
#include "core_iface/notifier.h"
#include "fax/engine/com_port.h"
#include "fax/engine/responses.h"
#include "fax/engine/session_core.h"
#include "fax/engine/session_defs.h"

namespace pellora::fax {

class TCustomAbstractFax;
class TFaxLog;

// The classes a modem lists (QueryFaxClasses).
using TFaxClassSet = ClassList;
bool contains(const TFaxClassSet& set, TFaxClass faxClass);

// A station ID as it may be shown or written: at most 20 characters, control characters
// (C0, DEL and the C1 range) replaced by '?'. The remote machine chooses its ID freely, so it
// is cleaned before it reaches a log line or a terminal.
std::string cleanStationId(std::string_view id);

// What a component knows about its run at one moment: the session's status query plus the
// component's own values. The status window and the fax log are built from it alone.
struct FaxRunInfo {
    bool sending = false;
    int statusCode = 0;
    int errorCode = 0;
    std::string remoteID;  // cleaned (cleanStationId)
    long connectBPS = 0;
    bool connectHighRes = false, connectWide = false, connectECM = false;
    int hangupCode = 0;
    int currentPage = 0, totalPages = 0;
    long pageLength = 0, bytesTransferred = 0;
    // The component's side.
    std::string faxFile;                   // send: the first list entry; receive: file being received
    std::vector<std::string> faxFileList;  // send only
    std::string coverFile;                 // send only
    std::string phoneNumber;               // send only
    unsigned dialAttempt = 1;              // 1-based; always 1 for receive
    long dialRetryWait = 60;               // seconds
};

// A status window as the component sees it. The window layer supplies the real one; the
// command-line tool draws a status line.
class TAbstractFaxStatus {
public:
    TAbstractFaxStatus() = default;
    virtual ~TAbstractFaxStatus();
    TAbstractFaxStatus(const TAbstractFaxStatus&) = delete;
    TAbstractFaxStatus& operator=(const TAbstractFaxStatus&) = delete;

    TCustomAbstractFax* Fax() const { return fax_; }
    // Links the display to `fax` (and `fax` to the display); null unlinks.
    void setFax(TCustomAbstractFax* fax);

    std::string Caption = "Fax Status";

    // First: show the window and fill it; Last: hide it; otherwise fill it.
    virtual void UpdateDisplay(bool first, bool last) = 0;

private:
    friend class TCustomAbstractFax;
    TCustomAbstractFax* fax_ = nullptr;
};

class TCustomAbstractFax {
public:
    virtual ~TCustomAbstractFax();
    TCustomAbstractFax(const TCustomAbstractFax&) = delete;
    TCustomAbstractFax& operator=(const TCustomAbstractFax&) = delete;

    // --- events (run on the component's thread) ----------------------------------------------
    std::function<void(TCustomAbstractFax& cp, bool first, bool last)> OnFaxStatus;
    std::function<void(TCustomAbstractFax& cp, TFaxLogCode logCode)> OnFaxLog;
    std::function<void(TCustomAbstractFax& cp, int errorCode)> OnFaxError;
    std::function<void(TCustomAbstractFax& cp, int errorCode)> OnFaxFinish;

    bool isTransmitter() const { return transmitter_; }

    // --- linked objects ------------------------------------------------------------------------
    // The serial port. A port that is not open yet is given the components' settings:
    // 8192-byte buffers and RTS/CTS flow control (19200 bit/s, 8N1 are the port's own
    // defaults). The port must outlive the component or be unlinked first.
    TComPort* ComPort() const { return port_; }
    void setComPort(TComPort* port);
    TAbstractFaxStatus* StatusDisplay() const { return display_; }
    void setStatusDisplay(TAbstractFaxStatus* display);
    TFaxLog* FaxLog() const { return log_; }
    void setFaxLog(TFaxLog* log);

    // send: the (first) fax file; receive: the file being received.
    virtual std::string FaxFile() const { return faxFile_; }
    virtual void setFaxFile(const std::string& name) { faxFile_ = name; }

    // Stops the running session (nothing when none runs). Its handler runs on this thread.
    void AbortSession();

    // --- run information -----------------------------------------------------------------------
    int StatusCode() const { return session_->StatusCode(); }
    int ErrorCode() const { return session_->ErrorCode(); }
    std::string RemoteID() const { return cleanStationId(session_->RemoteID()); }
    long ConnectBPS() const { return session_->ConnectBPS(); }
    bool ConnectHighRes() const { return session_->ConnectHighRes(); }
    bool ConnectWide() const { return session_->ConnectWide(); }
    bool ConnectECM() const { return session_->ConnectECM(); }
    int HangupCode() const { return session_->HangupCode(); }
    int CurrentPage() const { return session_->status().currentPage; }
    int TotalPages() const { return session_->status().totalPages; }
    long PageLength() const { return session_->status().pageLength; }
    long BytesTransferred() const { return session_->status().bytesTransferred; }
    // The status text of the current status code.
    std::string StatusText() const { return std::string(statusText(StatusCode())); }
    virtual FaxRunInfo runInfo() const;

    // The handler installed in the Notifier. Public so that a front end with a notification
    // path of its own, and the tests, can deliver notifications directly.
    std::int64_t handleNotification(const Notification& notification);

    // The session behind the component (for front ends that show engine details).
    FaxSession& session() { return *session_; }
    const FaxSession& session() const { return *session_; }

protected:
    TCustomAbstractFax(bool transmitter, Notifier& notifier, MessagePump* pump);

    // The notification handlers, one per notification.
    virtual void StatusNotify(bool first, bool last);
    virtual void LogNotify(TFaxLogCode logCode);
    virtual void ErrorNotify(int errorCode);
    virtual void FinishNotify(int errorCode);
    virtual std::int64_t NextFaxNotify() { return 0; }
    virtual bool AcceptNotify() { return false; }
    virtual void NameNotify() {}

    // Before every start and class query: raises EPortNotAssigned without a port, links the
    // session to it, raises EOutputBufferTooSmall below 8192 bytes and ECommNotOpen for a
    // port that is not open.
    void checkPort();

    std::unique_ptr<FaxSession> session_;
    std::string faxFile_;

private:
    friend class TAbstractFaxStatus;
    friend class TFaxLog;

    const bool transmitter_;
    Notifier& notifier_;
    TComPort* port_ = nullptr;
    TAbstractFaxStatus* display_ = nullptr;
    TFaxLog* log_ = nullptr;
};

// The properties both directions publish.
class TAbstractFax : public TCustomAbstractFax {
public:
    long InitBaud = 0;    // port rate while idle; 0 = no switching
    long NormalBaud = 0;  // port rate during a session when InitBaud is used
    bool AbortNoConnect = false;
    bool ExitOnError = false;
    bool SoftwareFlow = false;
    unsigned StatusInterval = 1;  // seconds between status events (0 is taken as 1)
    unsigned DesiredBPS = 9600;   // highest rate offered (below 2400 is taken as 2400)
    bool DesiredECM = false;
    std::string FaxFileExt = "PLF";

    // fcUnknown and fcDetect detect the class at the start of a run; afterwards the class
    // found is held.
    TFaxClass FaxClass() const { return session_->FaxClass; }
    void setFaxClass(TFaxClass faxClass) { session_->FaxClass = faxClass; }
    // Stored upper-cased with "AT" in front when missing.
    const std::string& ModemInit() const { return modemInit_; }
    void setModemInit(const std::string& init);
    // At most 20 characters.
    const std::string& StationID() const { return stationId_; }
    void setStationID(const std::string& id) { stationId_ = id.substr(0, 20); }

    // The classes the modem lists. While a session is ready the set found last; otherwise
    // the port is checked and the modem asked (without the init string). Empty when the
    // modem did not answer.
    TFaxClassSet QueryFaxClasses();

protected:
    using TCustomAbstractFax::TCustomAbstractFax;
    // Copies the properties into the session; runs before each start.
    virtual void applyProperties();

private:
    std::string modemInit_;
    std::string stationId_;
    TFaxClassSet classes_;
};

}  // namespace pellora::fax
