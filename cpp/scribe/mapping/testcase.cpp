// Testcases: a legacy test case holding test sections, each holding test steps that
// nest to any depth.
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"
#include "scribe/xml/escape.hpp"

namespace korvo::scribe {

void add_steps(PyObject* self, PyObject* holder, PyObject* node) {
    nb::object sections = required(node, scribe_interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object step_id = display_id(sect);
        nb::object step_name = escape(required(sect, scribe_interned.name).ptr());
        nb::object add = get_attr(holder, scribe_interned.add_teststep);
        nb::object kystep =
            call(add.ptr(), {step_id.ptr(), step_name.ptr()}, scribe_constants.kw_id_name);
        run_handler(self, Handler::Step, kystep.ptr(), sect);
    });
}

namespace {

// "index" and "continue_" of a step's extra are record members, not extra entries.
void move_extra_key(PyObject* kystep, PyObject* step_extra, PyObject* key) {
    if (!contains(step_extra, key)) return;
    nb::object value = call_method(step_extra, scribe_interned.pop, {key});
    set_attr(kystep, key, value.ptr());
}

} // namespace

nb::object handle_testcase(PyObject* self, PyObject* kytc, PyObject* testcase) {
    copy_timing(kytc, testcase);

    nb::object initinfo = get_attr(kytc, scribe_interned.initinfo);
    set_identity(initinfo.ptr(), required(testcase, scribe_interned.id).ptr(), testcase);
    set_attr(initinfo.ptr(), scribe_interned.swversion, scribe_constants.none_text);
    set_attr(initinfo.ptr(), scribe_interned.hwversion, scribe_constants.none_text);
    set_attr(initinfo.ptr(), scribe_interned.fwversion, scribe_constants.none_text);
    set_attr(initinfo.ptr(), scribe_interned.tstversion, scribe_constants.none_text);

    nb::object description = escaped_description(testcase);
    if (description) set_attr(initinfo.ptr(), scribe_interned.description, description.ptr());
    fill_record_body(kytc, initinfo.ptr(), testcase);
    merge_extra(kytc, required(testcase, scribe_interned.extra).ptr());

    nb::object sections = required(testcase, scribe_interned.sections);
    for_each_item(sections.ptr(), [&](PyObject* sect) {
        nb::object sectionid = display_id(sect);
        nb::object add = get_attr(kytc, scribe_interned.add_testsection);
        nb::object kysect = call(add.ptr(), {sectionid.ptr()}, scribe_constants.kw_sectionid);
        run_handler(self, Handler::TestSection, kysect.ptr(), sect);
    });
    return nb::borrow(kytc);
}

nb::object handle_testsection(PyObject* self, PyObject* kytest, PyObject* testsection) {
    fill_section_record(kytest, testsection);
    add_steps(self, kytest, testsection);
    return nb::borrow(kytest);
}

nb::object handle_step(PyObject* self, PyObject* kystep, PyObject* step) {
    // Steps nest without bound; a too deep (or cyclic) tree ends in RecursionError.
    RecursionGuard guard(" while mapping a test step");
    copy_timing(kystep, step);
    // Escaped like every other description: one control character would otherwise
    // make the whole details document unreadable.
    nb::object description = escaped_description(step);
    set_attr(kystep, scribe_interned.description,
             description ? description.ptr() : scribe_constants.empty_text);
    fill_record_body(kystep, kystep, step);

    nb::object step_extra =
        call_method(required(step, scribe_interned.extra).ptr(), scribe_interned.copy);
    move_extra_key(kystep, step_extra.ptr(), scribe_interned.index);
    move_extra_key(kystep, step_extra.ptr(), scribe_interned.continue_);
    merge_extra(kystep, step_extra.ptr());

    add_steps(self, kystep, step);
    return nb::borrow(kystep);
}

} // namespace korvo::scribe
