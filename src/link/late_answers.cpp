#include "link/late_answers.hpp"

#include "module/conversions.hpp"

#include <algorithm>
#include <chrono>

namespace velmo {

namespace {

// Instance dict entry, present only while a window is open: (closes_at, length, frame).
constexpr const char *window_key = "_late_answer_window";

double now_seconds() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

nb::object instance_dict(nb::handle self) {
    return checked(PyObject_GenericGetDict(self.ptr(), nullptr));
}

double float_item(PyObject *tuple, Py_ssize_t index) {
    double value = PyFloat_AsDouble(PyTuple_GET_ITEM(tuple, index));
    if (value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

void close_window(nb::handle dict) {
    if (PyDict_DelItem(dict.ptr(), name_of(window_key).ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
    }
}

} // namespace

LateAnswerWatch::LateAnswerWatch(nb::handle self, nb::handle frame) : self_(self), frame_(frame) {
    nb::object dict = instance_dict(self);
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), name_of(window_key).ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return;
    }
    // Held: the sleep below runs Python code, which may replace the entry.
    nb::object window = nb::borrow(found);
    if (!PyTuple_Check(found) || PyTuple_GET_SIZE(found) != 3) {
        close_window(dict);
        return;
    }
    double closes_at = float_item(found, 0);
    double remaining = closes_at - now_seconds();
    if (remaining <= 0) {
        close_window(dict);
        return;
    }
    int same_command = PyObject_RichCompareBool(PyTuple_GET_ITEM(found, 2), frame.ptr(), Py_EQ);
    if (same_command < 0)
        throw nb::python_error();
    if (same_command) {
        // A late answer to this very command is still its answer: a retry need not wait.
        in_own_window_ = true;
        closes_at_ = closes_at;
        length_ = float_item(found, 1);
        return;
    }
    call_method(module_global("time"), "sleep", new_float(remaining));
    close_window(dict);
}

void LateAnswerWatch::writing() {
    written_at_ = now_seconds();
}

void LateAnswerWatch::answered(bool complete) {
    if (complete && !in_own_window_)
        return;
    double now = now_seconds();
    // A timed-out read lasted the port's read time-out; an answer is awaited for as long
    // again after it. An answer read inside an open window may have been the earlier
    // attempt's, so this attempt's own answer may still come.
    double length = complete ? length_ : std::max(length_, now - written_at_);
    double closes_at = std::max(closes_at_, complete ? written_at_ + 2 * length : now + length);
    nb::object window =
        checked(PyTuple_Pack(3, new_float(closes_at).ptr(), new_float(length).ptr(), frame_.ptr()));
    if (PyDict_SetItem(instance_dict(self_).ptr(), name_of(window_key).ptr(), window.ptr()) < 0)
        throw nb::python_error();
}

} // namespace velmo
