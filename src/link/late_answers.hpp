// An instrument answers its commands in order, but an answer may come after the port's read
// time-out, seconds later. Every attempt whose answer was not read in full leaves that
// answer owed: it may still arrive, and must never be read as a later command's answer.
//
// The link remembers no count it could get wrong, only until when each frame's answer may
// still come: the instance-dict entry `_answers_owed` maps a frame to (the module's
// `time.monotonic` until which its answer may arrive, how many attempts of it are owed),
// present only while something is owed. An answer owed for five read time-outs is taken as
// never coming, whatever happens meanwhile, so the debt always ends.
//
// A retry of the same command may read an earlier attempt's answer: that is still this
// command's answer. Before any other command the link resynchronises: it sends a command
// whose answer it knows (the model or item number it cached when it connected) and none of
// whose answers is owed, and reads, discarding, until that answer; since answers come in
// order, every earlier one has then come or never will. When that answer is late too, it
// is owed and awaited (`_answer_awaited`): nothing else is sent before it has come or
// another known answer has. Only when every known answer is owed does the link wait, at
// most until the first of them may no longer come. An answer that does not come in time
// ends in a time-out, never in a value.
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
    nb::object frame_copy();
    void store();

    nb::handle self_;
    nb::handle port_;
    nb::handle frame_;
    nb::object copy_;
    nb::object owed_; // dict: frame -> (owed until, attempts owed)
};

} // namespace velmo
