#include "module/module.hpp"

#include "module/conversions.hpp"
#include "module/enums.hpp"
#include "module/errors.hpp"
#include "module/retry.hpp"

namespace velmo {

static void bind_from(nb::module_ &m, const char *module, const char *name, const char *as) {
    nb::object source = checked(PyImport_ImportModule(module));
    nb::object value = name ? nb::object(source.attr(name)) : source;
    if (PyObject_SetAttrString(m.ptr(), as, value.ptr()) < 0)
        throw nb::python_error();
}

static void bind_standard_modules(nb::module_ &m) {
    bind_from(m, "enum", "Enum", "Enum");
    bind_from(m, "serial", nullptr, "serial");
    checked(PyImport_ImportModule("serial.tools.list_ports"));
    for (const char *name : {"Optional", "Callable", "Dict", "Any", "Union"})
        bind_from(m, "typing", name, name);
    bind_from(m, "logging", nullptr, "logging");
    bind_from(m, "struct", nullptr, "struct");
    bind_from(m, "datetime", "datetime", "datetime");
    bind_from(m, "time", nullptr, "time");
    bind_from(m, "functools", "wraps", "wraps");
    bind_from(m, "hashlib", nullptr, "hashlib");
}

static void bind_logger(nb::module_ &m) {
    const Names &known = names();
    nb::object name = m.attr(known.dunder_name);
    m.attr(known.logger) = call_method(module_global(known.logging), known.getLogger, name);
}

void bind_module(nb::module_ &m) {
    bind_standard_modules(m);
    bind_logger(m);
    state().empty_arguments = new_empty_arguments().release().ptr();
    m.attr(names().DEVICE_CREATION_TOKEN) =
        checked(PyObject_CallNoArgs((PyObject *)&PyBaseObject_Type));
    bind_teds_unit_mapping(m);
    bind_errors(m);
    bind_retry(m);
    bind_unit_enum(m);
}

} // namespace velmo
