// The native module korvo.reporter.campaign: the report model and its serialisers.
#include "campaign/bindings/bindings.hpp"
#include "campaign/model/interned.hpp"
#include "campaign/model/module_state.hpp"
#include "common/iso_datetime.hpp"

namespace nb = nanobind;
using namespace korvo::campaign;

namespace {

// from module import name [as alias], bound as a module attribute that callers may replace.
void import_global(nb::module_& m, const char* module, const char* name) {
    nb::module_ source = nb::module_::import_(module);
    m.attr(name) = source.attr(name);
}

} // namespace

NB_MODULE(campaign, m) {
    init_names();
    korvo::init_iso_datetime();
    campaign_module.globals = PyModule_GetDict(m.ptr());
    import_global(m, "korvo.utils.utils", "get_time");
    import_global(m, "korvo.results", "TestResult");
    import_global(m, "korvo.results", "ResultCounter");
    import_global(m, "korvo.results", "Passed");
    import_global(m, "korvo.datastructures", "AttrDict");
    bind_constants(m);
    bind_model(m);
    bind_files(m);
    nb::handle base = m.attr("ReportObjectBase");
    bind_json(m, base);
    bind_yaml(m, base);
    bind_output(base);
    bind_junit(m);
    bind_html(m);
}
