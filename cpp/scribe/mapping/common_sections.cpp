// Common setups and cleanups: a legacy common section holding common subsections,
// each holding test steps.
#include "scribe/xml/escape.hpp"
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

nb::object handle_commonsection(PyObject* self, PyObject* kycommsect, PyObject* commonsection) {
    copy_timing(kycommsect, commonsection);
    nb::object description = escaped_description(commonsection);
    if (description)
        set_item(get_attr(kycommsect, scribe_interned.extra).ptr(), scribe_interned.description, description.ptr());
    fill_record_body(kycommsect, kycommsect, commonsection);
    merge_extra(kycommsect, required(commonsection, scribe_interned.extra).ptr());

    nb::object sections = required(commonsection, scribe_interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object name = required(sect, scribe_interned.name);
        nb::object add = get_attr(kycommsect, scribe_interned.add_commonsubsection);
        nb::object kysubsect = call(add.ptr(), {name.ptr()}, scribe_constants.kw_name);
        run_handler(self, Handler::SubSection, kysubsect.ptr(), sect);
    });
    return nb::borrow(kycommsect);
}

nb::object handle_subsection(PyObject* self, PyObject* kysubsect, PyObject* subsection) {
    copy_timing(kysubsect, subsection);

    nb::object sect_id = display_id(subsection);
    nb::object id_rec = get_attr(kysubsect, scribe_interned.id);
    set_item(get_attr(id_rec.ptr(), scribe_interned.attrs).ptr(), scribe_interned.name, sect_id.ptr());
    set_attr(id_rec.ptr(), scribe_interned.idtypevalue, sect_id.ptr());
    nb::object name = required(subsection, scribe_interned.name);
    set_attr(kysubsect, scribe_interned.name, name.ptr());

    nb::object description = escaped_description(subsection);
    if (description) set_attr(kysubsect, scribe_interned.description, description.ptr());
    fill_record_body(kysubsect, kysubsect, subsection);
    merge_extra(kysubsect, required(subsection, scribe_interned.extra).ptr());

    add_steps(self, kysubsect, subsection);
    return nb::borrow(kysubsect);
}

} // namespace korvo::scribe
