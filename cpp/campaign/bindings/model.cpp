// Python names of the report model: the node classes, their operations and recursive_update.
#include <type_traits>

#include "campaign/bindings/bindings.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/merge.hpp"
#include "campaign/model/module_state.hpp"
#include "campaign/model/node.hpp"
#include "campaign/model/observer.hpp"

namespace korvo::campaign {

namespace {

// Node state lives in the instance __dict__; the C++ part is the model's ReportObjectBase.
struct Campaign : ReportObjectBase {};
struct Task : ReportObjectBase {};
struct Section : ReportObjectBase {};
struct Plugin : ReportObjectBase {};

nb::list name_list(std::initializer_list<const char*> items) {
    nb::list out;
    for (const char* item : items)
        out.append(nb::str(item));
    return out;
}

#define NODE_ARGS                                                                                  \
    nb::arg("id").none(), nb::arg("seq_num").none(), nb::arg("parent").none() = nb::none(),        \
                                                     nb::arg("type").none() = nb::none()

template <typename T, void (*Init)(PyObject*)>
void def_named_init(nb::class_<T, ReportObjectBase>& cls) {
    cls.def(
        "__init__",
        [](nb::pointer_and_handle<T> self, nb::handle id, nb::handle seq_num, nb::handle parent,
           nb::handle type) {
            new (self.p) T();
            init_base(self.h.ptr(), id.ptr(), seq_num.ptr(), parent.ptr(), type.ptr());
            Init(self.h.ptr());
        },
        nb::kw_only(), NODE_ARGS);
}

using KwFn = void (*)(PyObject*, PyObject*);

// Runs one public operation so that a watcher of the tree hears when it has ended.
template <typename F> auto observed(F&& f) {
    ObservedOperation operation;
    if constexpr (std::is_void_v<decltype(f())>) {
        f();
        operation.finish();
    } else {
        auto out = f();
        operation.finish();
        return out;
    }
}

template <KwFn F> void kw_method(nb::handle self, nb::kwargs kwargs) {
    observed([&] { F(self.ptr(), kwargs.ptr()); });
}

nb::object add_observed(nb::handle self, PyObject* list_name, PyObject* class_name, nb::kwargs kw,
                        const char* method) {
    return observed([&] { return add_child(self.ptr(), list_name, class_name, kw.ptr(), method); });
}

} // namespace

void bind_model(nb::module_& m) {
    static PyType_Slot observed_slots[] = {{Py_tp_setattro, (void*)observed_setattro},
                                           {0, nullptr}};
    auto base =
        nb::class_<ReportObjectBase>(m, "ReportObjectBase", nb::dynamic_attr(),
                                     nb::is_weak_referenceable(), nb::type_slots(observed_slots));
    base.def(
        "__init__",
        [](nb::pointer_and_handle<ReportObjectBase> self, nb::handle id, nb::handle seq_num,
           nb::handle parent, nb::handle type) {
            new (self.p) ReportObjectBase();
            init_base(self.h.ptr(), id.ptr(), seq_num.ptr(), parent.ptr(), type.ptr());
        },
        NODE_ARGS);
    base.def_prop_ro("fullid", [](nb::handle self) { return fullid(self.ptr()); });
    base.def_prop_ro("idlist", [](nb::handle self) { return idlist(self.ptr()); });
    base.def("start", &kw_method<base_start>);
    base.def("stop", &kw_method<base_stop>);
    base.def(
        "update",
        [](nb::handle self, nb::handle data) {
            observed([&] { base_update(self.ptr(), data.ptr()); });
        },
        nb::arg("data").none());
    base.def(
        "update_extra",
        [](nb::handle self, nb::handle data) {
            observed([&] { base_update_extra(self.ptr(), data.ptr()); });
        },
        nb::arg("data").none());
    base.def(
        "add_detail",
        [](nb::handle self, nb::handle detail) {
            observed([&] { base_add_detail(self.ptr(), detail.ptr()); });
        },
        nb::arg("detail").none());
    base.def("roll_up", [](nb::handle self) { observed([&] { base_roll_up(self.ptr()); }); });
    base.attr("_ARG_ORDER") = name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                                         "stoptime", "runtime", "details", "extra"});

    auto campaign = nb::class_<Campaign, ReportObjectBase>(m, "Campaign", nb::dynamic_attr());
    def_named_init<Campaign, init_campaign>(campaign);
    campaign.def_prop_ro("testscripts",
                         [](nb::handle self) { return get_attr(self.ptr(), interned.tasks); });
    campaign.def("add_task", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.tasks, interned.Task, kw, "add_task");
    });
    campaign.def("add_plugin", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.tasks, interned.Plugin, kw, "add_plugin");
    });
    campaign.def("stop", &kw_method<campaign_stop>);
    campaign.def("roll_up",
                 [](nb::handle self) { observed([&] { campaign_roll_up(self.ptr()); }); });
    campaign.attr("_ARG_ORDER") = name_list(
        {"type",     "id",         "fullid",      "idlist",  "name",          "starttime",
         "stoptime", "runtime",    "cli",         "jobfile", "korvopath",     "korvoversion",
         "host",     "submitter",  "archivefile", "summary", "pluginsummary", "details",
         "extra",    "totaltasks", "tasks"});

    auto task = nb::class_<Task, ReportObjectBase>(m, "Task", nb::dynamic_attr());
    def_named_init<Task, init_task>(task);
    task.def("stop", &kw_method<task_stop>);
    task.def("roll_up", [](nb::handle self) { observed([&] { task_roll_up(self.ptr()); }); });
    task.def("add_section", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.sections, interned.Section, kw, "add_section");
    });
    task.def("add_plugin", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.sections, interned.Plugin, kw, "add_plugin");
    });
    task.attr("_ARG_ORDER") =
        name_list({"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
                   "description", "logfile", "testscript", "parameters", "summary", "pluginsummary",
                   "details", "extra", "sections"});

    auto section = nb::class_<Section, ReportObjectBase>(m, "Section", nb::dynamic_attr());
    def_named_init<Section, init_section>(section);
    section.def("start", &kw_method<section_start>);
    section.def("stop", &kw_method<section_stop>);
    section.def("add_section", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.sections, interned.Section, kw, "add_section");
    });
    section.attr("_ARG_ORDER") = name_list(
        {"type", "id", "fullid", "idlist", "name", "starttime", "stoptime", "runtime",
         "description", "xref", "logs", "parameters", "result", "details", "extra", "sections"});

    auto plugin = nb::class_<Plugin, ReportObjectBase>(m, "Plugin", nb::dynamic_attr());
    def_named_init<Plugin, init_plugin>(plugin);
    plugin.def("start", &kw_method<plugin_start>);
    plugin.def("stop", &kw_method<plugin_stop>);
    plugin.def("roll_up", [](nb::handle self) { observed([&] { plugin_roll_up(self.ptr()); }); });
    plugin.def("add_section", [](nb::handle self, nb::kwargs kw) {
        return add_observed(self, interned.sections, interned.Section, kw, "add_section");
    });
    plugin.attr("_ARG_ORDER") = name_list({"type", "id", "fullid", "idlist", "name", "starttime",
                                           "stoptime", "runtime", "description", "logfile", "logs",
                                           "summary", "result", "details", "extra", "sections"});

    campaign_module.base_type = (PyTypeObject*)base.ptr();
    campaign_module.campaign_type = (PyTypeObject*)campaign.ptr();
    campaign_module.task_type = (PyTypeObject*)task.ptr();
    campaign_module.section_type = (PyTypeObject*)section.ptr();
    campaign_module.plugin_type = (PyTypeObject*)plugin.ptr();
    remember_native_methods();

    m.def(
        "recursive_update", [](nb::handle a, nb::handle b) { recursive_update(a.ptr(), b.ptr()); },
        nb::arg("a").none(), nb::arg("b").none());
}

} // namespace korvo::campaign
