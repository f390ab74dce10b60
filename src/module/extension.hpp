// What the package's two extension modules share in their own multi-phase initialisation:
// nanobind's runtime and the slots that say what a module supports.
#pragma once

#include <nanobind/nanobind.h>

namespace velmo {

// nanobind's runtime (rendering a python_error, its function and type objects) reads the
// per-domain internals that its NB_MODULE macro would create and release. These modules write
// their own creation and execution steps, so they call that macro's private entries here and
// nowhere else; the entries were renamed in nanobind 2.10, before which nothing was released.
inline void attach_nanobind(PyObject *module) {
#if NB_VERSION_MAJOR > 2 || (NB_VERSION_MAJOR == 2 && NB_VERSION_MINOR >= 10)
    nanobind::detail::nb_module_exec(NB_DOMAIN_STR, module);
#else
    (void)module;
    nanobind::detail::init(NB_DOMAIN_STR);
#endif
}

inline void detach_nanobind(void *module) {
#if NB_VERSION_MAJOR > 2 || (NB_VERSION_MAJOR == 2 && NB_VERSION_MINOR >= 10)
    nanobind::detail::nb_module_free(module);
#else
    (void)module;
#endif
}

} // namespace velmo

// The last slots of a module: one interpreter per process (the runtime and the fast-path
// caches are per process) and the GIL held, where CPython has those slots (3.12 and 3.13 on),
// and the end of the list.
#if PY_VERSION_HEX >= 0x030C0000
#define VELMO_INTERPRETERS_SLOT                                                                    \
    {Py_mod_multiple_interpreters, Py_MOD_MULTIPLE_INTERPRETERS_NOT_SUPPORTED},
#else
#define VELMO_INTERPRETERS_SLOT
#endif
#if PY_VERSION_HEX >= 0x030D0000
#define VELMO_GIL_SLOT {Py_mod_gil, Py_MOD_GIL_USED},
#else
#define VELMO_GIL_SLOT
#endif
// clang-format off
#define VELMO_CLOSING_SLOTS VELMO_INTERPRETERS_SLOT VELMO_GIL_SLOT {0, nullptr}
// clang-format on
