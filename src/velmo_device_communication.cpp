// Entry of the extension module: creation from its module spec, the import-time steps in
// order, the module state's life, and the guards against re-initialisation and a second
// interpreter.
#include "calibration/calibration.hpp"
#include "device/device.hpp"
#include "link/link.hpp"
#include "module/extension.hpp"
#include "module/module.hpp"
#include "module/runtime.hpp"
#include "protocol/protocol.hpp"
#include "streaming/streaming.hpp"

namespace velmo {

namespace {

const char *const module_doc =
    "High-performance serial communication with VELMO measuring instruments\n"
    "(HDA640, RPX310, TMV520).\n"
    "\n"
    "Fast paths run in machine arithmetic:\n"
    "- conversion of ADC counts to calibrated loads,\n"
    "- checksum calculation,\n"
    "- stream parsing.\n";

// The one module object that this process runs, from its execution until it is freed, and
// the interpreter it runs in. From 3.12 on the module's slots keep it out of an interpreter
// that isolates its modules; this refuses any other second interpreter too.
struct RunningModule {
    PyObject *module = nullptr; // not owned
    int64_t interpreter = -1;
};

RunningModule running;

int64_t current_interpreter() {
    return PyInterpreterState_GetID(PyInterpreterState_Get());
}

ModuleState &state_of(PyObject *module) {
    return *static_cast<ModuleState *>(PyModule_GetState(module));
}

PyObject *create_module(PyObject *module_spec, PyModuleDef *) noexcept {
    if (running.module && running.interpreter != current_interpreter()) {
        PyErr_SetString(PyExc_ImportError, "Interpreter change detected - this module can only "
                                           "be loaded into one interpreter per process.");
        return nullptr;
    }
    PyObject *name = PyObject_GetAttrString(module_spec, "name");
    if (!name)
        return nullptr;
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    return module;
}

int exec_module(PyObject *module) noexcept {
    if (running.module) {
        if (running.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'velmo_device_communication' has already "
                                            "been imported. Re-initialisation is not supported.");
        return -1;
    }
    attach_nanobind(module);
    CallScope scope(module);
    try {
        initialise_state(state_of(module), module);
        nanobind::module_ m = nanobind::borrow<nanobind::module_>(module);
        m.attr("__doc__") = module_doc;
        bind_module(m);
        bind_calibration(m);
        bind_teds_data(m);
        bind_streaming(m);
        bind_link(m);
        bind_sampling_rate_enums(m);
        bind_protocol(m);
        bind_device(m);
        running = {module, current_interpreter()};
        return 0;
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    // What the failed execution made goes with the module object: its state holds it.
    return -1;
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
    return traverse_state(state_of(module), visit, arg);
}

int clear_module(PyObject *module) {
    clear_state(state_of(module));
    return 0;
}

void free_module(void *module) {
    ModuleState &state = state_of(static_cast<PyObject *>(module));
    // A module refused before its execution began never took nanobind's runtime.
    const bool executed = state.module != nullptr;
    clear_state(state);
    if (running.module == module)
        running = RunningModule();
    if (executed)
        detach_nanobind(module);
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void *)create_module},
    {Py_mod_exec, (void *)exec_module},
    VELMO_CLOSING_SLOTS,
};

} // namespace

PyModuleDef module_definition = {
    PyModuleDef_HEAD_INIT,
    "velmo_device_communication",
    module_doc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace velmo

extern "C" NB_EXPORT PyObject *PyInit_velmo_device_communication() {
    return PyModuleDef_Init(&velmo::module_definition);
}
