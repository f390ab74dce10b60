#include "link/late_answers.hpp"

#include "module/conversions.hpp"
#include "protocol/protocol.hpp"

namespace velmo {

namespace {

// Owed answers remembered at most: an instrument that never answers must not grow the list.
constexpr Py_ssize_t max_owed = 64;
// An answer owed for this many read time-outs is taken as never coming.
constexpr double expiry_in_timeouts = 10.0;
// What one read waits for when nothing is known to resynchronise with: more than any answer.
constexpr Py_ssize_t wait_out_size = 1 << 16;

nb::object instance_dict(nb::handle self) {
    return checked(PyObject_GenericGetDict(self.ptr(), nullptr));
}

Py_ssize_t length_of(nb::handle object) {
    Py_ssize_t length = PyObject_Length(object.ptr());
    if (length < 0)
        throw nb::python_error();
    return length;
}

double as_double(nb::handle number) {
    double value = PyFloat_AsDouble(number.ptr());
    if (value == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return value;
}

// The module's clock, so that tests can drive it.
double now() {
    return as_double(call_method(module_global(names().time), names().monotonic));
}

// Entries are (frame, time it became owed); the frame is the first item.
nb::handle frame_of_entry(nb::handle owed, Py_ssize_t i) {
    return PyTuple_GET_ITEM(PyTuple_GET_ITEM(owed.ptr(), i), 0);
}

Py_ssize_t occurrences(nb::handle owed, nb::handle frame) {
    Py_ssize_t count = 0;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(owed.ptr()); ++i) {
        int equal = PyObject_RichCompareBool(frame_of_entry(owed, i).ptr(), frame.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        count += equal;
    }
    return count;
}

bool is_entry(PyObject *entry) {
    return PyTuple_Check(entry) && PyTuple_GET_SIZE(entry) == 2 &&
           PyFloat_Check(PyTuple_GET_ITEM(entry, 1));
}

// The entry stored in the instance, without answers owed too long to come any more.
nb::object load_owed(nb::handle self) {
    nb::object dict = instance_dict(self);
    PyObject *found = PyDict_GetItemWithError(dict.ptr(), nb::handle(names()._answers_owed).ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return checked(PyTuple_New(0));
    }
    nb::object stored = nb::borrow(found); // the clock below runs Python code
    if (!PyTuple_Check(found))
        return checked(PyTuple_New(0));
    const double oldest = now() - expiry_in_timeouts * as_double(attribute(self, names().timeout));
    nb::object live = checked(PyList_New(0));
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(stored.ptr()); ++i) {
        PyObject *entry = PyTuple_GET_ITEM(stored.ptr(), i);
        if (is_entry(entry) && PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(entry, 1)) >= oldest &&
            PyList_Append(live.ptr(), entry) < 0)
            throw nb::python_error();
    }
    return checked(PyList_AsTuple(live.ptr()));
}

nb::object read_answer(nb::handle port, nb::handle size) {
    return port.attr(names().read)(nb::arg("size") = size);
}

// A command whose answer the link knows, and its frame.
struct KnownAnswer {
    nb::object command;
    nb::object value;
    nb::object frame;
    Py_ssize_t owed = 0; // earlier attempts of it whose answers are owed
};

// Of the cached identity answers, the one with the fewest owed attempts: an owed answer of
// the same command looks exactly like the one awaited, so each must be waited for too.
bool known_answer(nb::handle self, nb::handle commands, nb::handle owed, KnownAnswer &known) {
    const Names &known_names = names();
    const std::pair<PyObject *, PyObject *> candidates[] = {
        {known_names.Get_Model_Number_Command, known_names._cached_model_number},
        {known_names.Get_Item_Number_Command, known_names._cached_item_number},
    };
    bool found = false;
    for (const auto &[command_name, cached_name] : candidates) {
        nb::object value = attribute(self, cached_name);
        if (value.is_none())
            continue;
        KnownAnswer candidate;
        candidate.command = attribute(commands, command_name);
        candidate.value = value;
        candidate.frame = checked(PyBytes_FromObject(
            build_frame(commands, candidate.command, state().empty_arguments).ptr()));
        candidate.owed = occurrences(owed, candidate.frame);
        if (!found || candidate.owed < known.owed) {
            known = candidate;
            found = true;
        }
    }
    return found;
}

bool is_answer(nb::handle commands, const KnownAnswer &known, nb::handle window,
               Py_ssize_t length) {
    if (!checksum_holds(commands, window, length))
        return false;
    try {
        nb::object value =
            convert_response(commands, attribute(known.command, names().payload_length),
                             attribute(known.command, names().payload_type), window);
        int equal = PyObject_RichCompareBool(value.ptr(), known.value.ptr(), Py_EQ);
        if (equal < 0)
            throw nb::python_error();
        return equal;
    } catch (nb::python_error &raised) {
        CaughtError e(raised);
        if (!e.is_ordinary())
            e.rethrow();
        return false;
    }
}

} // namespace

OwedAnswers::OwedAnswers(nb::handle self, nb::handle port, nb::handle frame)
    : self_(self), port_(port), frame_(frame) {
    if (!PyDict_Contains(instance_dict(self).ptr(), nb::handle(names()._answers_owed).ptr())) {
        owed_ = checked(PyTuple_New(0));
        return;
    }
    owed_ = load_owed(self);
    if (occurrences(owed_, frame_copy()) < PyTuple_GET_SIZE(owed_.ptr()))
        resynchronise();
    else
        store();
}

void OwedAnswers::answered(bool complete) {
    // Complete with nothing owed: the normal path. Complete with answers owed: a retry read
    // an earlier attempt's answer and its own is owed now, so the count is unchanged.
    if (!complete)
        owe(frame_copy());
}

void OwedAnswers::owe(nb::handle frame) {
    nb::object entry = nb::make_tuple(frame, now());
    Py_ssize_t size = PyTuple_GET_SIZE(owed_.ptr());
    nb::object kept =
        checked(PyTuple_GetSlice(owed_.ptr(), size >= max_owed ? size - max_owed + 1 : 0, size));
    owed_ = checked(PySequence_Concat(kept.ptr(), nb::make_tuple(entry).ptr()));
    store();
}

nb::object OwedAnswers::frame_copy() {
    // The caller may reuse its buffer for the next command: keep the bytes, not the object.
    if (!copy_.is_valid())
        copy_ = checked(PyBytes_FromObject(frame_.ptr()));
    return copy_;
}

void OwedAnswers::store() {
    nb::object dict = instance_dict(self_);
    if (PyTuple_GET_SIZE(owed_.ptr()) > 0) {
        if (PyDict_SetItem(dict.ptr(), nb::handle(names()._answers_owed).ptr(), owed_.ptr()) < 0)
            throw nb::python_error();
    } else if (PyDict_DelItem(dict.ptr(), nb::handle(names()._answers_owed).ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
    }
}

void OwedAnswers::settled() {
    owed_ = checked(PyTuple_New(0));
    store();
}

void OwedAnswers::resynchronise() {
    nb::object commands = attribute(self_, names().commands);
    KnownAnswer known;
    if (!known_answer(self_, commands, owed_, known)) {
        wait_out();
        return;
    }
    nb::object length = attribute(known.command, names().receive_length);
    const Py_ssize_t size = PyLong_AsSsize_t(length.ptr());
    if (size < 2) {
        if (PyErr_Occurred())
            throw nb::python_error();
        wait_out();
        return;
    }
    call_method(port_, names().reset_input_buffer);
    call_method(port_, names().write, known.frame);
    // Answers come in order: once the known answer and every owed one like it are in, no
    // earlier answer can follow. What comes before is discarded.
    const Py_ssize_t needed = known.owed + 1;
    // Every owed answer and a few more of noise fit; a line that keeps bringing bytes
    // without the answer (a stream) is not waited on for ever.
    Py_ssize_t reads_left = needed + PyTuple_GET_SIZE(owed_.ptr()) + 8;
    nb::object received = checked(PyByteArray_FromStringAndSize(nullptr, 0));
    Py_ssize_t scanned = 0;
    Py_ssize_t found = 0;
    while (found < needed) {
        nb::object chunk = read_answer(port_, length);
        --reads_left;
        received = checked(PySequence_InPlaceConcat(received.ptr(), chunk.ptr()));
        for (; scanned + size <= PyByteArray_GET_SIZE(received.ptr()); ++scanned) {
            nb::object window =
                checked(PySequence_GetSlice(received.ptr(), scanned, scanned + size));
            if (is_answer(commands, known, window, size)) {
                ++found;
                scanned += size - 1;
            }
        }
        if (found < needed && (length_of(chunk) < size || reads_left == 0)) {
            // A whole time-out without the answer: it is owed as well.
            owe(known.frame);
            log_error("Timeout waiting for response (expected %S bytes)", length);
            raise(state().timeout_error, "No response received within %Ss timeout",
                  attribute(self_, names().timeout));
        }
    }
    settled();
}

// Nothing known to resynchronise with: read until a whole time-out passes in silence.
void OwedAnswers::wait_out() {
    nb::object size = new_int(wait_out_size);
    for (Py_ssize_t read = 0; read < PyTuple_GET_SIZE(owed_.ptr()) + 2; ++read)
        if (length_of(read_answer(port_, size)) == 0)
            break;
    settled();
}

} // namespace velmo
