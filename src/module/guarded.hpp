// The edge of a C entry point that Python calls: C++ exceptions go no further, and become a
// pending Python error with the entry's error result.
#pragma once

#include <nanobind/nanobind.h>

#include <exception>
#include <new>

namespace velmo {

// Turns a C++ exception into a pending Python error.
inline void restore_exception(std::exception_ptr error) noexcept {
    try {
        std::rethrow_exception(error);
    } catch (nanobind::python_error &e) {
        e.restore();
    } catch (nanobind::builtin_exception &e) {
        PyErr_SetString(PyExc_RuntimeError, e.what());
    } catch (std::bad_alloc &) {
        PyErr_NoMemory();
    } catch (std::exception &e) {
        PyErr_SetString(PyExc_SystemError, e.what());
    } catch (...) {
        PyErr_SetString(PyExc_SystemError, "unknown C++ exception");
    }
}

// A C entry point whose body returns an object: NULL on an exception.
template <typename Body> PyObject *guarded_call(Body body) noexcept {
    try {
        return body().release().ptr();
    } catch (...) {
        restore_exception(std::current_exception());
        return nullptr;
    }
}

// A slot whose body returns nothing: -1 on an exception.
template <typename Body> int guarded_slot(Body body) noexcept {
    try {
        body();
        return 0;
    } catch (...) {
        restore_exception(std::current_exception());
        return -1;
    }
}

} // namespace velmo
