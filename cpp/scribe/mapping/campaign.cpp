// The top of the tree: the root node onto the legacy campaign and its job execution.
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

namespace {

// campaign.extra is read afresh each time, as the harness may hand us any mapping.
nb::object extra_of(PyObject* campaign) {
    return get_attr(campaign, snames.extra);
}

// kyts.initinfo.<field> := campaign.extra[key] when the key is there.
void copy_extra_key(PyObject* kyts, PyObject* campaign, PyObject* key) {
    if (!contains(extra_of(campaign).ptr(), key)) return;
    nb::object value = get_item(extra_of(campaign).ptr(), key);
    set_attr(get_attr(kyts, snames.initinfo).ptr(), key, value.ptr());
}

// The veld settings are looked up afresh for every key they are asked about.
nb::object veld_settings(PyObject* campaign) {
    return get_item(extra_of(campaign).ptr(), snames.veld);
}

void copy_veld_key(PyObject* campaign, PyObject* key, PyObject* target) {
    if (!contains(veld_settings(campaign).ptr(), key)) return;
    nb::object value = get_item(veld_settings(campaign).ptr(), key);
    set_item(target, key, value.ptr());
}

void copy_veld(PyObject* kyts, PyObject* campaign) {
    nb::object veld_args = check(PyDict_New());
    copy_veld_key(campaign, snames.dnsname, veld_args.ptr());
    copy_veld_key(campaign, snames.attributes, veld_args.ptr());
    nb::object post = check(PyDict_New());
    copy_veld_key(campaign, snames.status, post.ptr());
    copy_veld_key(campaign, snames.cmd, post.ptr());
    copy_veld_key(campaign, snames.error, post.ptr());
    if (PyDict_GET_SIZE(post.ptr()) > 0) set_item(veld_args.ptr(), snames.post, post.ptr());
    nb::object set_args = get_path(kyts, {snames.veld, snames.set_args});
    nb::object no_args = check(PyTuple_New(0));
    check(PyObject_Call(set_args.ptr(), no_args.ptr(), veld_args.ptr()));
}

} // namespace

nb::object handle_campaign(PyObject* self, PyObject* kyts, PyObject* campaign) {
    set_attr(kyts, snames.starttime, required(campaign, snames.starttime).ptr());
    set_attr(kyts, snames.stoptime, required(campaign, snames.stoptime).ptr());
    copy_runtime(kyts);

    set_attr(get_attr(kyts, snames.initinfo).ptr(), snames.jobid,
             required(campaign, snames.id).ptr());
    set_attr(get_attr(kyts, snames.initinfo).ptr(), snames.name,
             required(campaign, snames.name).ptr());

    nb::object archivefile = optional(campaign, snames.archivefile);
    if (truthy(archivefile.ptr())) set_attr(kyts, snames.archivefile, archivefile.ptr());

    copy_extra_key(kyts, campaign, snames.testbed);
    copy_extra_key(kyts, campaign, snames.release);
    copy_extra_key(kyts, campaign, snames.image);

    nb::object submitter = optional(campaign, snames.submitter);
    if (truthy(submitter.ptr()))
        set_attr(get_attr(kyts, snames.initinfo).ptr(), snames.submitter, submitter.ptr());

    nb::object host = optional(campaign, snames.host);
    if (truthy(host.ptr()))
        call_method(get_path(kyts, {snames.initinfo, snames.hosts}).ptr(), snames.append,
                    {host.ptr()});

    nb::object cli = optional(campaign, snames.cli);
    if (truthy(cli.ptr()))
        set_attr(get_path(kyts, {snames.initinfo, snames.params}).ptr(), snames.cli, cli.ptr());

    nb::object korvopath = optional(campaign, snames.korvopath);
    if (truthy(korvopath.ptr()))
        set_attr(get_path(kyts, {snames.initinfo, snames.zet}).ptr(), snames.path, korvopath.ptr());

    nb::object korvoversion = optional(campaign, snames.korvoversion);
    if (truthy(korvoversion.ptr()))
        set_attr(get_path(kyts, {snames.initinfo, snames.zet}).ptr(), snames.version,
                 korvoversion.ptr());

    nb::object summary = required(campaign, snames.summary);
    call_method(get_attr(kyts, snames.summary).ptr(), snames.update, {summary.ptr()});

    copy_details(kyts, required(campaign, snames.details).ptr());

    if (contains(extra_of(campaign).ptr(), snames.veld)) copy_veld(kyts, campaign);

    run_handler(self, Handler::JobExecution, get_attr(kyts, snames.jobexecution).ptr(), campaign);
    return nb::borrow(kyts);
}

nb::object handle_jobexecution(PyObject* self, PyObject* kyjobexc, PyObject* campaign) {
    set_attr(kyjobexc, snames.starttime, required(campaign, snames.starttime).ptr());
    set_attr(kyjobexc, snames.stoptime, required(campaign, snames.stoptime).ptr());
    copy_runtime(kyjobexc);

    nb::object tasks = required(campaign, snames.tasks);
    for_each_item(tasks.ptr(), [&](PyObject* task) {
        nb::object logfile = optional(task, snames.logfile);
        nb::object script_cls = scribe_global(snames.TestScript);
        nb::object kyts = call(script_cls.ptr(), {logfile.ptr(), Py_None});
        nb::object task_id = required(task, snames.id);
        call_method(kyjobexc, snames.add_testscript, {kyts.ptr(), task_id.ptr()});
        run_handler(self, Handler::TestScript, kyts.ptr(), task);
    });
    return nb::borrow(kyjobexc);
}

} // namespace korvo::scribe
