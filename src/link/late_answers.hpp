// An instrument may answer after the port's read time-out. Such a late answer must not be
// read as the answer to the next command: after an attempt that timed out or was cut
// short, the link keeps the window in which that answer may still come, and a command
// other than the one that opened it first waits the window out, so that the input reset
// that starts every transaction drains the late bytes.
#pragma once

#include "module/runtime.hpp"

namespace velmo {

class LateAnswerWatch {
  public:
    // Waits out an open window of another command; call before the input reset.
    LateAnswerWatch(nb::handle self, nb::handle frame);
    // Call right before the command is written.
    void writing();
    // Call once the answer's read returned; opens or widens the window if the answer was
    // incomplete or this command ran inside its own open window.
    void answered(bool complete);

  private:
    nb::handle self_;
    nb::handle frame_;
    bool in_own_window_ = false;
    double closes_at_ = 0;
    double length_ = 0;
    double written_at_ = 0;
};

} // namespace velmo
