// velmo._columns: the module, its state and the two stream parsers.
#include "columns/columns.hpp"

#include "columns/reader.hpp"
#include "module/extension.hpp"
#include "module/guarded.hpp"

#include <algorithm>
#include <cstring>
#include <vector>

namespace velmo::columns {

PyObject *State::*const ColumnType<double>::one_item = &State::load_template;
PyObject *State::*const ColumnType<uint32_t>::one_item = &State::count_template;

void verify_column(const Py_buffer &view, nb::handle array, const char *typecode, size_t itemsize,
                   size_t length) {
    const bool format_matches = view.format && std::strcmp(view.format, typecode) == 0;
    if (!format_matches || (size_t)view.itemsize != itemsize ||
        (size_t)view.len != length * itemsize) {
        PyErr_Format(PyExc_TypeError,
                     "a column of %zu items of type '%s' came out as %s of %zd bytes", length,
                     typecode, Py_TYPE(array.ptr())->tp_name, view.len);
        throw nb::python_error();
    }
}

namespace {

nb::object new_remainder(const uint8_t *rest, size_t size) {
    PyObject *remainder = PyByteArray_FromStringAndSize(reinterpret_cast<const char *>(rest),
                                                        static_cast<Py_ssize_t>(size));
    if (!remainder)
        throw nb::python_error();
    return nb::steal(remainder);
}

nb::object result(nb::handle loads, nb::handle counts, nb::handle remainder, size_t invalid) {
    nb::object skipped = nb::steal(PyLong_FromSize_t(invalid));
    if (!skipped.is_valid())
        throw nb::python_error();
    PyObject *tuple = PyTuple_Pack(4, loads.ptr(), counts.ptr(), remainder.ptr(), skipped.ptr());
    if (!tuple)
        throw nb::python_error();
    return nb::steal(tuple);
}

// An exact ADCConverter: the packets are counted, then converted straight into columns of
// that size.
template <typename Packet>
nb::object parse_native(const State &state, nb::handle data, const AdcCalibration &calibration) {
    // Exported from here on, so that the input cannot be resized while it is parsed.
    ExportedBuffer input(data, PyBUF_C_CONTIGUOUS);
    const uint8_t *bytes = input.data();
    const size_t n = input.size();
    const size_t found = count_packets<Packet>(bytes, n);
    Column<double> loads(state, found);
    Column<uint32_t> counts(state, found);
    size_t length = 0;
    const PacketScan scan =
        scan_into<Packet>(bytes, n, calibration, loads.items(), counts.items(), length);
    return result(loads.finish(), counts.finish(),
                  new_remainder(bytes + scan.position, n - scan.position), scan.invalid);
}

// A reading's values as the columns hold them.
double load_of(nb::handle value) {
    const double load = PyFloat_AsDouble(value.ptr());
    if (load == -1.0 && PyErr_Occurred())
        throw nb::python_error();
    return load;
}

uint32_t count_of(nb::handle value) {
    const unsigned long long count = PyLong_AsUnsignedLongLong(value.ptr());
    if (count == (unsigned long long)-1 && PyErr_Occurred())
        throw nb::python_error();
    if (count > UINT32_MAX) {
        PyErr_SetString(PyExc_OverflowError, "a count does not fit 32 bits");
        throw nb::python_error();
    }
    return (uint32_t)count;
}

// Any converter but an exact ADCConverter: the module's own parser, its readings copied into
// the columns. Every skipped window advanced the parser by one byte, so the bytes it
// consumed tell how many it skipped.
template <typename Packet>
nb::object parse_through_module(const State &state, nb::handle data, nb::handle converter,
                                PyObject *parser_name) {
    nb::object input = nb::borrow(data);
    if (!PyBytes_Check(data.ptr()) && !PyByteArray_CheckExact(data.ptr()))
        input = nb::steal(PyBytes_FromObject(data.ptr()));
    if (!input.is_valid())
        throw nb::python_error();
    nb::object parsed = nb::handle(state.device_module)
                            .attr(state.StreamDataConverter)
                            .attr(parser_name)(input, converter);
    nb::object readings = parsed.attr(state.readings);
    nb::object remainder = parsed.attr(state.remainder);
    if (!PyList_Check(readings.ptr())) {
        PyErr_Format(PyExc_TypeError, "readings must be a list, got %s",
                     Py_TYPE(readings.ptr())->tp_name);
        throw nb::python_error();
    }
    // Reading an attribute runs Python code that may change the list: each item is held while
    // it is read, and the size is taken again at every step.
    std::vector<double> load_values;
    std::vector<uint32_t> count_values;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(readings.ptr()); ++i) {
        nb::object reading = nb::borrow(PyList_GET_ITEM(readings.ptr(), i));
        load_values.push_back(load_of(reading.attr(state.calibrated_value)));
        count_values.push_back(count_of(reading.attr(state.adc_value)));
    }
    const size_t length = load_values.size();
    Column<double> loads(state, length);
    Column<uint32_t> counts(state, length);
    std::copy(load_values.begin(), load_values.end(), loads.items());
    std::copy(count_values.begin(), count_values.end(), counts.items());
    ExportedBuffer rest(remainder, PyBUF_SIMPLE);
    // A replaced parser may report more than it consumed: no skipped windows then.
    const size_t input_size = nb::len(input);
    const size_t consumed = input_size - std::min(input_size, rest.size());
    const size_t parsed_bytes = length * Packet::size;
    return result(loads.finish(), counts.finish(), new_remainder(rest.data(), rest.size()),
                  consumed > parsed_bytes ? consumed - parsed_bytes : 0);
}

// (data, converter), by position or keyword.
void parse_arguments(const State &state, const char *function, PyObject *const *args,
                     Py_ssize_t nargs, PyObject *kwnames, PyObject *(&parsed)[2]) {
    PyObject *const names[] = {state.data, state.converter};
    const Py_ssize_t keywords = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    if (nargs > 2) {
        PyErr_Format(PyExc_TypeError, "%s() takes 2 positional arguments but %zd were given",
                     function, nargs);
        throw nb::python_error();
    }
    for (Py_ssize_t i = 0; i < nargs; ++i)
        parsed[i] = args[i];
    for (Py_ssize_t k = 0; k < keywords; ++k) {
        PyObject *keyword = PyTuple_GET_ITEM(kwnames, k);
        size_t index = 0;
        while (index < 2 && keyword != names[index] &&
               PyUnicode_Compare(keyword, names[index]) != 0)
            ++index;
        if (index == 2 || parsed[index]) {
            PyErr_Format(PyExc_TypeError,
                         index == 2 ? "%s() got an unexpected keyword argument '%U'"
                                    : "%s() got multiple values for argument '%U'",
                         function, keyword);
            throw nb::python_error();
        }
        parsed[index] = args[nargs + k];
    }
    for (size_t i = 0; i < 2; ++i)
        if (!parsed[i]) {
            PyErr_Format(PyExc_TypeError, "%s() missing required argument '%U'", function,
                         names[i]);
            throw nb::python_error();
        }
}

template <typename Packet, PyObject *State::*Parser>
PyObject *parse(PyObject *module, PyObject *const *args, Py_ssize_t nargsf,
                PyObject *kwnames) noexcept {
    const char *function =
        Parser == &State::convert_stream_data_to_reading ? "parse_standard" : "parse_high_rate";
    return guarded_call([&] {
        const State &state = state_of(module);
        PyObject *parsed[2] = {nullptr, nullptr};
        parse_arguments(state, function, args, PyVectorcall_NARGS(nargsf), kwnames, parsed);
        if (const std::optional<AdcCalibration> calibration = exact_calibration(state, parsed[1]))
            return parse_native<Packet>(state, parsed[0], *calibration);
        return parse_through_module<Packet>(state, parsed[0], parsed[1], state.*Parser);
    });
}

PyMethodDef functions[] = {
    {"parse_standard",
     (PyCFunction)(void (*)(void))parse<StandardPacket, &State::convert_stream_data_to_reading>,
     METH_FASTCALL | METH_KEYWORDS,
     "parse_standard(data, converter)\n--\n\n"
     "Parse 4-byte stream packets into columns.\n\n"
     ":param data: Raw stream bytes (any contiguous buffer)\n"
     ":param converter: ADC converter; an exact ADCConverter is applied natively\n"
     ":return: (loads, counts, remainder, invalid): array('d'), array('I'), the bytearray "
     "of an incomplete last packet, and the number of windows skipped"},
    {"parse_high_rate",
     (PyCFunction)(void (*)(
         void))parse<HighRatePacket, &State::convert_stream_data_to_reading_38_kHz>,
     METH_FASTCALL | METH_KEYWORDS,
     "parse_high_rate(data, converter)\n--\n\n"
     "Parse the 3-byte packets of the 38 400 SPS stream into columns.\n\n"
     ":param data: Raw stream bytes (any contiguous buffer)\n"
     ":param converter: ADC converter; an exact ADCConverter is applied natively\n"
     ":return: (loads, counts, remainder, invalid): array('d'), array('I'), the bytearray "
     "of an incomplete last packet, and the number of windows skipped"},
    {nullptr, nullptr, 0, nullptr},
};

// velmo_device_communication.ADCConverter when it is the class that module made: only then
// is an instance's memory an AdcConverterObject.
PyTypeObject *module_adc_converter(PyObject *device_module) {
    PyObject *found = PyObject_GetAttrString(device_module, "ADCConverter");
    if (!found)
        throw nb::python_error();
    nb::object type = nb::steal(found);
    if (!PyType_Check(found) || !PyType_HasFeature((PyTypeObject *)found, Py_TPFLAGS_HEAPTYPE) ||
        std::strcmp(((PyTypeObject *)found)->tp_name, "velmo_device_communication.ADCConverter") !=
            0 ||
        ((PyTypeObject *)found)->tp_basicsize != (Py_ssize_t)sizeof(AdcConverterObject))
        return nullptr;
    PyObject *owner = PyType_GetModule((PyTypeObject *)found);
    if (!owner) {
        PyErr_Clear();
        return nullptr;
    }
    return owner == device_module ? (PyTypeObject *)type.release().ptr() : nullptr;
}

PyObject *new_array(PyObject *array_type, const char *typecode, PyObject *zero) {
    return PyObject_CallFunction(array_type, "s(O)", typecode, zero);
}

int exec_module(PyObject *module) noexcept {
    attach_nanobind(module);
    State &state = state_of(module);
    state.device_module = PyImport_ImportModule("velmo_device_communication");
    if (!state.device_module)
        return -1;
    try {
        state.adc_converter_type = module_adc_converter(state.device_module);
    } catch (nb::python_error &e) {
        e.restore();
        return -1;
    }
    nb::object array_module = nb::steal(PyImport_ImportModule("array"));
    if (!array_module.is_valid())
        return -1;
    state.array_type = PyObject_GetAttrString(array_module.ptr(), "array");
    if (!state.array_type)
        return -1;
    nb::object zero = nb::steal(PyLong_FromLong(0));
    if (!zero.is_valid())
        return -1;
    state.load_template = new_array(state.array_type, ColumnType<double>::typecode, zero.ptr());
    state.count_template = new_array(state.array_type, ColumnType<uint32_t>::typecode, zero.ptr());
    if (!state.load_template || !state.count_template)
        return -1;
#define VELMO_COLUMNS_INTERN(name)                                                                 \
    if (!(state.name = PyUnicode_InternFromString(#name)))                                         \
        return -1;
    VELMO_COLUMNS_NAMES(VELMO_COLUMNS_INTERN)
#undef VELMO_COLUMNS_INTERN
    try {
        bind_reader(module);
    } catch (nb::python_error &e) {
        e.restore();
        return -1;
    }
    return PyModule_AddFunctions(module, functions);
}

int traverse_module(PyObject *module, visitproc visit, void *arg) {
    const State &state = state_of(module);
    Py_VISIT(state.device_module);
    Py_VISIT(state.adc_converter_type);
    Py_VISIT(state.array_type);
    Py_VISIT(state.load_template);
    Py_VISIT(state.count_template);
    return 0;
}

int clear_module(PyObject *module) {
    State &state = state_of(module);
    Py_CLEAR(state.device_module);
    Py_CLEAR(state.adc_converter_type);
    Py_CLEAR(state.array_type);
    Py_CLEAR(state.load_template);
    Py_CLEAR(state.count_template);
#define VELMO_COLUMNS_CLEAR(name) Py_CLEAR(state.name);
    VELMO_COLUMNS_NAMES(VELMO_COLUMNS_CLEAR)
#undef VELMO_COLUMNS_CLEAR
    return 0;
}

void free_module(void *module) {
    clear_module(static_cast<PyObject *>(module));
    detach_nanobind(module);
}

PyModuleDef_Slot slots[] = {
    {Py_mod_exec, (void *)exec_module},
    VELMO_CLOSING_SLOTS,
};

} // namespace

PyModuleDef definition = {
    PyModuleDef_HEAD_INIT,
    "velmo._columns",
    "Stream packets parsed into columns of loads and counts.",
    sizeof(State),
    nullptr,
    slots,
    traverse_module,
    clear_module,
    free_module,
};

} // namespace velmo::columns

extern "C" NB_EXPORT PyObject *PyInit__columns() {
    return PyModuleDef_Init(&velmo::columns::definition);
}
