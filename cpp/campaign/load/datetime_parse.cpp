#include "campaign/load/datetime_parse.hpp"

#include "common/iso_datetime.hpp"

namespace korvo::campaign::load {

nb::object parse_datetime_text(const char* s, size_t n) {
    return datetime_from_iso(s, n);
}

} // namespace korvo::campaign::load
