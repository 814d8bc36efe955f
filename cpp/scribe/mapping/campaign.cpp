// The top of the tree: the root node onto the legacy campaign and its job execution.
#include "scribe/mapping/handlers.hpp"
#include "scribe/mapping/rules.hpp"
#include "scribe/runtime/py_calls.hpp"
#include "scribe/runtime/scribe_state.hpp"

namespace korvo::scribe {

namespace {

// campaign.extra is read afresh each time, as the harness may hand us any mapping.
nb::object extra_of(PyObject* campaign) {
    return get_attr(campaign, scribe_interned.extra);
}

// kyts.initinfo.<field> := campaign.extra[key] when the key is there.
void copy_extra_key(PyObject* kyts, PyObject* campaign, PyObject* key) {
    if (!contains(extra_of(campaign).ptr(), key)) return;
    nb::object value = get_item(extra_of(campaign).ptr(), key);
    set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), key, value.ptr());
}

// The veld settings are looked up afresh for every key they are asked about.
nb::object veld_settings(PyObject* campaign) {
    return get_item(extra_of(campaign).ptr(), scribe_interned.veld);
}

void copy_veld_key(PyObject* campaign, PyObject* key, PyObject* target) {
    if (!contains(veld_settings(campaign).ptr(), key)) return;
    nb::object value = get_item(veld_settings(campaign).ptr(), key);
    set_item(target, key, value.ptr());
}

void copy_veld(PyObject* kyts, PyObject* campaign) {
    nb::object veld_args = check(PyDict_New());
    copy_veld_key(campaign, scribe_interned.dnsname, veld_args.ptr());
    copy_veld_key(campaign, scribe_interned.attributes, veld_args.ptr());
    nb::object post = check(PyDict_New());
    copy_veld_key(campaign, scribe_interned.status, post.ptr());
    copy_veld_key(campaign, scribe_interned.cmd, post.ptr());
    copy_veld_key(campaign, scribe_interned.error, post.ptr());
    if (PyDict_GET_SIZE(post.ptr()) > 0)
        set_item(veld_args.ptr(), scribe_interned.post, post.ptr());
    nb::object set_args = get_path(kyts, {scribe_interned.veld, scribe_interned.set_args});
    nb::object no_args = check(PyTuple_New(0));
    check(PyObject_Call(set_args.ptr(), no_args.ptr(), veld_args.ptr()));
}

} // namespace

nb::object handle_campaign(PyObject* self, PyObject* kyts, PyObject* campaign) {
    set_attr(kyts, scribe_interned.starttime, required(campaign, scribe_interned.starttime).ptr());
    set_attr(kyts, scribe_interned.stoptime, required(campaign, scribe_interned.stoptime).ptr());
    copy_runtime(kyts);

    set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), scribe_interned.jobid,
             identifier(required(campaign, scribe_interned.id).ptr()).ptr());
    set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), scribe_interned.name,
             identifier(required(campaign, scribe_interned.name).ptr()).ptr());

    nb::object archivefile = optional(campaign, scribe_interned.archivefile);
    if (truthy(archivefile.ptr())) set_attr(kyts, scribe_interned.archivefile, archivefile.ptr());

    copy_extra_key(kyts, campaign, scribe_interned.testbed);
    copy_extra_key(kyts, campaign, scribe_interned.release);
    copy_extra_key(kyts, campaign, scribe_interned.image);

    nb::object submitter = optional(campaign, scribe_interned.submitter);
    if (truthy(submitter.ptr()))
        set_attr(get_attr(kyts, scribe_interned.initinfo).ptr(), scribe_interned.submitter,
                 submitter.ptr());

    nb::object host = optional(campaign, scribe_interned.host);
    if (truthy(host.ptr()))
        call_method(get_path(kyts, {scribe_interned.initinfo, scribe_interned.hosts}).ptr(),
                    scribe_interned.append, {host.ptr()});

    nb::object cli = optional(campaign, scribe_interned.cli);
    if (truthy(cli.ptr()))
        set_attr(get_path(kyts, {scribe_interned.initinfo, scribe_interned.params}).ptr(),
                 scribe_interned.cli, cli.ptr());

    nb::object korvopath = optional(campaign, scribe_interned.korvopath);
    if (truthy(korvopath.ptr()))
        set_attr(get_path(kyts, {scribe_interned.initinfo, scribe_interned.zet}).ptr(),
                 scribe_interned.path, korvopath.ptr());

    nb::object korvoversion = optional(campaign, scribe_interned.korvoversion);
    if (truthy(korvoversion.ptr()))
        set_attr(get_path(kyts, {scribe_interned.initinfo, scribe_interned.zet}).ptr(),
                 scribe_interned.version, korvoversion.ptr());

    nb::object summary = required(campaign, scribe_interned.summary);
    call_method(get_attr(kyts, scribe_interned.summary).ptr(), scribe_interned.update,
                {summary.ptr()});

    copy_details(kyts, required(campaign, scribe_interned.details).ptr());

    if (contains(extra_of(campaign).ptr(), scribe_interned.veld)) copy_veld(kyts, campaign);

    run_handler(self, Handler::JobExecution, get_attr(kyts, scribe_interned.jobexecution).ptr(),
                campaign);
    return nb::borrow(kyts);
}

nb::object handle_jobexecution(PyObject* self, PyObject* kyjobexc, PyObject* campaign) {
    set_attr(kyjobexc, scribe_interned.starttime,
             required(campaign, scribe_interned.starttime).ptr());
    set_attr(kyjobexc, scribe_interned.stoptime,
             required(campaign, scribe_interned.stoptime).ptr());
    copy_runtime(kyjobexc);

    nb::object tasks = required(campaign, scribe_interned.tasks);
    for_each_item(tasks.ptr(), [&](PyObject* task) {
        nb::object logfile = identifier(optional(task, scribe_interned.logfile).ptr());
        nb::object script_cls = scribe_global(scribe_interned.TestScript);
        nb::object kyts = call(script_cls.ptr(), {logfile.ptr(), Py_None});
        nb::object task_id = identifier(required(task, scribe_interned.id).ptr());
        call_method(kyjobexc, scribe_interned.add_testscript, {kyts.ptr(), task_id.ptr()});
        run_handler(self, Handler::TestScript, kyts.ptr(), task);
    });
    return nb::borrow(kyjobexc);
}

} // namespace korvo::scribe
