// Entry of the extension module: creation from its module spec, the import-time steps in
// order, and the guards against re-initialisation and a second interpreter.
#include "calibration/calibration.hpp"
#include "device/device.hpp"
#include "link/link.hpp"
#include "module/module.hpp"
#include "module/runtime.hpp"
#include "protocol/protocol.hpp"
#include "streaming/streaming.hpp"

namespace {

const char *const module_doc =
    "High-performance serial communication with VELMO measuring instruments\n"
    "(HDA640, RPX310, TMV520).\n"
    "\n"
    "Fast paths run in machine arithmetic:\n"
    "- conversion of ADC counts to calibrated loads,\n"
    "- checksum calculation,\n"
    "- stream parsing.\n";

int64_t loaded_interpreter = -1;

PyObject *create_module(PyObject *module_spec, PyModuleDef *) noexcept {
    int64_t interpreter = PyInterpreterState_GetID(PyInterpreterState_Get());
    if (loaded_interpreter == -1) {
        loaded_interpreter = interpreter;
    } else if (loaded_interpreter != interpreter) {
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
    using velmo::state;
    if (state.module) {
        if (state.module == module)
            return 0;
        PyErr_SetString(PyExc_RuntimeError, "Module 'velmo_device_communication' has already "
                                            "been imported. Re-initialisation is not supported.");
        return -1;
    }
    // nanobind's runtime (rendering a python_error, its function and type objects) reads
    // the per-domain internals that its NB_MODULE macro would create. This module writes its
    // own creation and execution steps, so it calls that macro's private entry here and
    // nowhere else; the entry was renamed in nanobind 2.10.
#if NB_VERSION_MAJOR > 2 || (NB_VERSION_MAJOR == 2 && NB_VERSION_MINOR >= 10)
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, module);
#else
    nanobind::detail::init(NB_DOMAIN_STR);
#endif
    state.module = Py_NewRef(module);
    state.dict = PyModule_GetDict(module);
    try {
        nanobind::module_ m = nanobind::borrow<nanobind::module_>(module);
        m.attr("__doc__") = module_doc;
        velmo::bind_module(m);
        velmo::bind_calibration(m);
        velmo::bind_teds_data(m);
        velmo::bind_streaming(m);
        velmo::bind_link(m);
        velmo::bind_sampling_rate_enums(m);
        velmo::bind_protocol(m);
        velmo::bind_device(m);
        return 0;
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (const std::exception &e) {
        PyErr_SetString(PyExc_ImportError, e.what());
    }
    Py_CLEAR(state.module);
    state.dict = nullptr;
    return -1;
}

PyModuleDef_Slot module_slots[] = {
    {Py_mod_create, (void *)create_module},
    {Py_mod_exec, (void *)exec_module},
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "velmo_device_communication",
    module_doc,
    0,
    nullptr,
    module_slots,
    nullptr,
    nullptr,
    nullptr,
};

} // namespace

extern "C" NB_EXPORT PyObject *PyInit_velmo_device_communication() {
    return PyModuleDef_Init(&module_def);
}
