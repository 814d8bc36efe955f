// Common setups and cleanups: a legacy common section holding common subsections,
// each holding test steps.
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/escape.hpp"

namespace korvo::scribe {

nb::object handle_commonsection(PyObject* self, PyObject* kycommsect, PyObject* commonsection) {
    fill_section_record(kycommsect, commonsection);

    nb::object sections = required(commonsection, scribe_interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object name = identifier(required(sect, scribe_interned.name).ptr());
        nb::object add = get_attr(kycommsect, scribe_interned.add_commonsubsection);
        nb::object kysubsect = call(add.ptr(), {name.ptr()}, scribe_constants.kw_name);
        run_handler(self, Handler::SubSection, kysubsect.ptr(), sect);
    });
    return nb::borrow(kycommsect);
}

nb::object handle_subsection(PyObject* self, PyObject* kysubsect, PyObject* subsection) {
    copy_timing(kysubsect, subsection);

    set_identity(kysubsect, display_id(subsection).ptr(), subsection);

    nb::object description = escaped_description(subsection);
    if (description) set_attr(kysubsect, scribe_interned.description, description.ptr());
    fill_record_body(kysubsect, kysubsect, subsection);
    merge_extra(kysubsect, required(subsection, scribe_interned.extra).ptr());

    add_steps(self, kysubsect, subsection);
    return nb::borrow(kysubsect);
}

} // namespace korvo::scribe
