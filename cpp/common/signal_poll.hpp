// Lets Ctrl-C through long native walks: every few thousand steps the interpreter's pending
// signal handlers run, so SIGINT raises KeyboardInterrupt in the middle of a walk.
#pragma once

#include "common/py_support.hpp"

namespace korvo {

class SignalPoll {
  public:
    // One step of the walk; throws the handler's exception (KeyboardInterrupt) when one runs.
    void step() {
        if (++steps_ % kEvery == 0 && PyErr_CheckSignals() < 0) throw nb::python_error();
    }

  private:
    // A step costs well under a microsecond, so this is a millisecond or two of work.
    static constexpr unsigned kEvery = 4096;
    unsigned steps_ = 0;
};

} // namespace korvo
