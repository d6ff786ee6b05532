// Lets pending window messages run during long loops of the core (decoding, converting).
// The Qt layer implements it with QCoreApplication::processEvents; the command-line tool
// with its own small event queue.
#pragma once

namespace pellora::fax {

class MessagePump {
  public:
    virtual ~MessagePump() = default;
    // Processes pending messages; returns false when a quit request was among them.
    virtual bool processPending() = 0;
};

}  // namespace pellora::fax
