#include "link/late_answers.hpp"

#include <algorithm>
#include <vector>

#include "module/conversions.hpp"
#include "protocol/checksum.hpp"
#include "protocol/protocol.hpp"

namespace velmo {

namespace {

// An answer owed for this many read time-outs is taken as never coming.
constexpr double owed_for_timeouts = 5.0;
// Reads of one wait at most: a clock that stands still must not hold the link for ever.
constexpr int max_reads = 4096;
// What one read asks for while only waiting: more than any answer, so it waits a time-out.
constexpr Py_ssize_t wait_out_size = 1 << 16;

nb::object instance_dict(nb::handle self) {
    return checked(PyObject_GenericGetDict(self.ptr(), nullptr));
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

double read_timeout(nb::handle self) {
    return as_double(attribute(self, names().timeout));
}

void forget(nb::handle dict, nb::handle name) {
    if (PyDict_DelItem(dict.ptr(), name.ptr()) < 0) {
        if (!PyErr_ExceptionMatches(PyExc_KeyError))
            throw nb::python_error();
        PyErr_Clear();
    }
}

// Entries are (owed until, attempts owed).
struct Owed {
    double until = 0;
    Py_ssize_t attempts = 0;
};

bool read_entry(PyObject *value, Owed &owed) {
    if (!PyTuple_Check(value) || PyTuple_GET_SIZE(value) != 2 ||
        !PyFloat_Check(PyTuple_GET_ITEM(value, 0)) || !PyLong_Check(PyTuple_GET_ITEM(value, 1)))
        return false;
    owed.until = PyFloat_AS_DOUBLE(PyTuple_GET_ITEM(value, 0));
    owed.attempts = PyLong_AsSsize_t(PyTuple_GET_ITEM(value, 1));
    if (owed.attempts < 0 && PyErr_Occurred())
        throw nb::python_error();
    return true;
}

Owed entry_of(nb::handle owed, nb::handle frame) {
    Owed entry;
    PyObject *value = PyDict_GetItemWithError(owed.ptr(), frame.ptr());
    if (!value && PyErr_Occurred())
        throw nb::python_error();
    if (value)
        read_entry(value, entry);
    return entry;
}

bool is_owed(nb::handle owed, nb::handle frame) {
    int present = PyDict_Contains(owed.ptr(), frame.ptr());
    if (present < 0)
        throw nb::python_error();
    return present;
}

// The frame's answers may come until `until`, `more` of them more than before.
void add_owed(nb::handle owed, nb::handle frame, double until, Py_ssize_t more = 1) {
    Owed entry = entry_of(owed, frame);
    nb::object value = nb::make_tuple(std::max(entry.until, until), entry.attempts + more);
    if (PyDict_SetItem(owed.ptr(), frame.ptr(), value.ptr()) < 0)
        throw nb::python_error();
}

// Calls visit(frame, value, entry) for every well-formed entry.
template <typename Visit> void for_each_owed(nb::handle owed, Visit visit) {
    PyObject *frame, *value;
    Py_ssize_t position = 0;
    Owed entry;
    while (PyDict_Next(owed.ptr(), &position, &frame, &value))
        if (read_entry(value, entry))
            visit(frame, value, entry);
}

Py_ssize_t attempts_owed(nb::handle owed) {
    Py_ssize_t total = 0;
    for_each_owed(owed,
                  [&](PyObject *, PyObject *, const Owed &entry) { total += entry.attempts; });
    return total;
}

// The owed answers stored in the instance that may still come at `at`.
nb::object live_entries(nb::handle self, double at) {
    nb::object live = checked(PyDict_New());
    PyObject *found =
        PyDict_GetItemWithError(instance_dict(self).ptr(), nb::handle(names()._answers_owed).ptr());
    if (!found) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return live;
    }
    nb::object stored = nb::borrow(found);
    if (!PyDict_Check(found))
        return live;
    for_each_owed(stored, [&](PyObject *frame, PyObject *value, const Owed &entry) {
        if (entry.until > at && PyDict_SetItem(live.ptr(), frame, value) < 0)
            throw nb::python_error();
    });
    return live;
}

// Whether every owed answer is one of `frame`'s attempts: a retry may read any of them.
bool only_owed(nb::handle owed, nb::handle frame) {
    Py_ssize_t size = PyDict_GET_SIZE(owed.ptr());
    return size == 0 || (size == 1 && is_owed(owed, frame));
}

// A command whose answer the link knows, and its frame.
struct KnownAnswer {
    nb::object command;
    nb::object value;
    nb::object frame;
    Py_ssize_t size = 0;
};

std::vector<KnownAnswer> known_answers(nb::handle self, nb::handle commands) {
    const Names &known_names = names();
    const std::pair<PyObject *, PyObject *> candidates[] = {
        {known_names.Get_Model_Number_Command, known_names._cached_model_number},
        {known_names.Get_Item_Number_Command, known_names._cached_item_number},
    };
    std::vector<KnownAnswer> known;
    for (const auto &[command_name, cached_name] : candidates) {
        nb::object value = attribute(self, cached_name);
        if (value.is_none())
            continue;
        KnownAnswer answer;
        answer.command = attribute(commands, command_name);
        answer.size = PyLong_AsSsize_t(attribute(answer.command, names().receive_length).ptr());
        if (answer.size < 2) {
            if (PyErr_Occurred())
                throw nb::python_error();
            continue;
        }
        answer.value = value;
        answer.frame = checked(PyBytes_FromObject(
            build_frame(commands, answer.command, state().empty_arguments).ptr()));
        known.push_back(std::move(answer));
    }
    return known;
}

// Bytes waiting at the port, or 0 where it cannot tell.
Py_ssize_t bytes_waiting(nb::handle port) {
    PyObject *waiting = PyObject_GetAttr(port.ptr(), nb::handle(names().in_waiting).ptr());
    if (!waiting) {
        if (!PyErr_ExceptionMatches(PyExc_AttributeError))
            throw nb::python_error();
        PyErr_Clear();
        return 0;
    }
    Py_ssize_t count = PyLong_AsSsize_t(nb::steal(waiting).ptr());
    if (count < 0) {
        if (PyErr_Occurred())
            throw nb::python_error();
        return 0;
    }
    return count;
}

class Resynchronisation {
  public:
    Resynchronisation(nb::handle self, nb::handle port, nb::handle owed)
        : self_(self), port_(port), owed_(owed), commands_(attribute(self, names().commands)),
          timeout_(read_timeout(self)), started_(now()), owed_attempts_(attempts_owed(owed)) {}

    // Returns once every owed answer has come or never will; raises the time-out of a known
    // answer that did not come in time.
    void run() {
        std::vector<KnownAnswer> known = known_answers(self_, commands_);
        if (known.empty()) {
            // Nothing to resynchronise with: wait until no owed answer can come any more.
            wait(nullptr, latest_until());
            settled();
            return;
        }
        // An awaited answer that has come by now ends the debt; one that has not is not
        // waited for, since the next known answer ends it as well.
        if (const KnownAnswer *awaited = awaited_answer(known);
            awaited && bytes_waiting(port_) >= awaited->size && wait(awaited, now())) {
            settled();
            return;
        }
        forget(instance_dict(self_), names()._answer_awaited);
        for (;;) {
            auto next = std::find_if(known.begin(), known.end(), [&](const KnownAnswer &answer) {
                return !is_owed(owed_, answer.frame);
            });
            if (next != known.end()) {
                ask(*next);
                return;
            }
            // Every known answer may still come, so none of them can mark the line's end yet:
            // wait until the first of them may not, and drop it.
            double earliest = entry_of(owed_, known.front().frame).until;
            for (const KnownAnswer &answer : known)
                earliest = std::min(earliest, entry_of(owed_, answer.frame).until);
            wait(nullptr, earliest);
            for (const KnownAnswer &answer : known)
                if (entry_of(owed_, answer.frame).until <= earliest)
                    forget(owed_, answer.frame);
        }
    }

  private:
    // Sends the known command and reads until its answer; every answer before it is owed.
    void ask(const KnownAnswer &answer) {
        call_method(port_, names().write, answer.frame);
        add_owed(owed_, answer.frame, now() + (1.0 + owed_for_timeouts) * timeout_);
        nb::object dict = instance_dict(self_);
        if (PyDict_SetItem(dict.ptr(), nb::handle(names()._answers_owed).ptr(), owed_.ptr()) < 0 ||
            PyDict_SetItem(dict.ptr(), nb::handle(names()._answer_awaited).ptr(),
                           answer.frame.ptr()) < 0)
            throw nb::python_error();
        if (wait(&answer, now() + timeout_)) {
            settled();
            return;
        }
        nb::object length = attribute(answer.command, names().receive_length);
        log_error("Timeout waiting for response (expected %S bytes)", length);
        raise(state().timeout_error,
              "No response received within %Ss timeout (answers to %zd earlier attempts are "
              "still owed)",
              attribute(self_, names().timeout), attempts_owed(owed_));
    }

    const KnownAnswer *awaited_answer(const std::vector<KnownAnswer> &known) {
        PyObject *awaited = PyDict_GetItemWithError(instance_dict(self_).ptr(),
                                                    nb::handle(names()._answer_awaited).ptr());
        if (!awaited) {
            if (PyErr_Occurred())
                throw nb::python_error();
            return nullptr;
        }
        for (const KnownAnswer &answer : known)
            if (answer.frame.equal(nb::handle(awaited)) && is_owed(owed_, answer.frame))
                return &answer;
        return nullptr;
    }

    double latest_until() {
        double latest = 0;
        for_each_owed(owed_, [&](PyObject *, PyObject *, const Owed &entry) {
            latest = std::max(latest, entry.until);
        });
        return latest;
    }

    // Reads and discards until `awaited`'s answer has come (true) or the clock passes
    // `until` (false); without an answer to await, until the clock passes `until`.
    bool wait(const KnownAnswer *awaited, double until) {
        std::vector<uint8_t> unmatched; // the last bytes, which may begin the answer
        for (int reads = 0; reads < max_reads; ++reads) {
            // Never more than the answer needs, so that a read does not wait on bytes that
            // are not coming; everything waiting, so that a stream does not outrun the wait.
            Py_ssize_t size = awaited ? std::max(awaited->size - (Py_ssize_t)unmatched.size(),
                                                 bytes_waiting(port_))
                                      : wait_out_size;
            nb::object chunk =
                call_with_keywords(attribute(port_, names().read), {new_int(size)}, {names().size});
            Py_buffer view;
            if (PyObject_GetBuffer(chunk.ptr(), &view, PyBUF_SIMPLE) < 0)
                throw nb::python_error();
            const auto *data = static_cast<const uint8_t *>(view.buf);
            unmatched.insert(unmatched.end(), data, data + view.len);
            discarded_ += view.len;
            PyBuffer_Release(&view);
            if (awaited && find(*awaited, unmatched))
                return true;
            if (now() >= until)
                return false;
        }
        return false;
    }

    bool find(const KnownAnswer &awaited, std::vector<uint8_t> &bytes) {
        const size_t size = (size_t)awaited.size;
        size_t start = 0;
        for (; start + size <= bytes.size(); ++start)
            if (is_answer(awaited, bytes.data() + start)) {
                discarded_ -= awaited.size;
                return true;
            }
        bytes.erase(bytes.begin(), bytes.begin() + (Py_ssize_t)start);
        return false;
    }

    bool is_answer(const KnownAnswer &awaited, const uint8_t *data) {
        const size_t size = (size_t)awaited.size;
        if (data[size - 1] != weighted_checksum(data, size - 1))
            return false;
        nb::object window = checked(PyBytes_FromStringAndSize((const char *)data, awaited.size));
        try {
            nb::object value =
                convert_response(commands_, attribute(awaited.command, names().payload_length),
                                 attribute(awaited.command, names().payload_type), window);
            int equal = PyObject_RichCompareBool(value.ptr(), awaited.value.ptr(), Py_EQ);
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

    void settled() {
        nb::object dict = instance_dict(self_);
        forget(dict, names()._answers_owed);
        forget(dict, names()._answer_awaited);
        const long waited_ms = (long)((now() - started_) * 1000.0);
        log_debug("In step again after %zd owed answers: %zd bytes discarded, %ld ms waited",
                  owed_attempts_, discarded_, waited_ms);
    }

    nb::handle self_;
    nb::handle port_;
    nb::handle owed_;
    nb::object commands_;
    double timeout_;
    double started_;
    Py_ssize_t owed_attempts_;
    Py_ssize_t discarded_ = 0;
};

} // namespace

OwedAnswers::OwedAnswers(nb::handle self, nb::handle port, nb::handle frame)
    : self_(self), port_(port), frame_(frame) {
    nb::object dict = instance_dict(self);
    if (!PyDict_Contains(dict.ptr(), nb::handle(names()._answers_owed).ptr())) {
        owed_ = checked(PyDict_New());
        return;
    }
    owed_ = live_entries(self, now());
    if (only_owed(owed_, frame_copy())) {
        // A retry: its input reset and new frame end any wait for a known answer.
        forget(dict, names()._answer_awaited);
        store();
        return;
    }
    Resynchronisation(self, port, owed_).run();
    owed_ = checked(PyDict_New());
}

void OwedAnswers::answered(bool complete) {
    if (complete && !is_owed(owed_, frame_copy()))
        return;
    // A complete answer with answers of this frame owed may be an earlier attempt's: as
    // many are owed as before then, this attempt's own among them.
    add_owed(owed_, frame_copy(), now() + owed_for_timeouts * read_timeout(self_),
             complete ? 0 : 1);
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
    if (PyDict_GET_SIZE(owed_.ptr()) == 0)
        forget(dict, names()._answers_owed);
    else if (PyDict_SetItem(dict.ptr(), nb::handle(names()._answers_owed).ptr(), owed_.ptr()) < 0)
        throw nb::python_error();
}

} // namespace velmo
