// The native module korvo.reporter.scribe: the legacy two-file XML export.
#include "scribe/bindings/bindings.hpp"

NB_MODULE(scribe, m) {
    korvo::scribe::bind_escape(m);
    korvo::scribe::bind_scribe(m);
    korvo::scribe::bind_xml(m);
}
