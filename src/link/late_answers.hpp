// An instrument answers its commands in order, but an answer may come after the port's read
// time-out, seconds later. Every attempt whose answer was not read in full leaves that
// answer owed: it may still arrive, and must never be read as a later command's answer.
// The link keeps the frames whose answers are owed, with the time each became owed (on the
// module's `time.monotonic`), oldest first, in the instance-dict entry `_answers_owed`,
// present only while something is owed. An answer owed for ten read time-outs is taken as
// never coming.
//
// A retry of the same command may read an earlier attempt's answer: that is still this
// command's answer, and its own becomes owed in turn. Before any other command the link
// resynchronises: it sends a command whose answer it knows (the model or item number it
// cached when it connected) and reads until that answer; since answers come in order, every
// earlier one has then come or never will. An answer that does not come in time ends in a
// time-out, never in a value.
#pragma once

#include "module/runtime.hpp"

namespace velmo {

class OwedAnswers {
  public:
    // Resynchronises first when answers to other commands are owed; call before the
    // transaction's input reset.
    OwedAnswers(nb::handle self, nb::handle port, nb::handle frame);
    // Call once the answer's read returned.
    void answered(bool complete);

  private:
    void resynchronise();
    void wait_out();
    void owe(nb::handle frame);
    void settled();
    void store();
    nb::object frame_copy();

    nb::handle self_;
    nb::handle port_;
    nb::handle frame_;
    nb::object copy_;
    nb::object owed_; // tuple of (frame, owed since), oldest first
};

} // namespace velmo
