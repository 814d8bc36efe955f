// Pausing Python's cyclic garbage collector around one long native pass.
//
// A pass that allocates millions of container objects (legacy records, elements,
// output chunks) would otherwise trigger collections that walk the whole, growing
// heap again and again, which makes the pass super-linear. Nothing of the pass can
// become cyclic garbage that must be reclaimed before it ends, so collection waits.
#pragma once

#include <Python.h>

namespace korvo {

// Disables automatic collection for the object's lifetime and then restores the
// caller's setting: re-enabled only when it was enabled on entry, also when an error
// unwinds through the scope. A caller that had disabled collection keeps it disabled;
// explicit gc.collect() calls still work meanwhile. Nests.
class GcPause {
  public:
    GcPause();
    ~GcPause();
    GcPause(const GcPause&) = delete;
    GcPause& operator=(const GcPause&) = delete;

  private:
    bool was_enabled_ = false;
};

} // namespace korvo
