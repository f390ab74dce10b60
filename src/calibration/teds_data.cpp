// TEDSData: the parsed TEDS record of a sensor, a value type whose bit walk runs natively.
#include "calibration/calibration.hpp"
#include "calibration/teds_bits.hpp"

#include "module/conversions.hpp"
#include "module/methods.hpp"
#include "module/value_types.hpp"

#include <algorithm>
#include <climits>
#include <vector>

namespace velmo {

namespace {

struct TedsDataObject {
    PyObject_HEAD PyObject *raw_data;
    PyObject *serial_number;
    teds::RecordNumbers numbers;
};

TedsDataObject *record_of(PyObject *self) {
    return reinterpret_cast<TedsDataObject *>(self);
}

using teds::RecordNumbers;

void set_defaults(TedsDataObject *record) {
    Py_XSETREF(record->raw_data, Py_NewRef(Py_None));
    Py_XSETREF(record->serial_number, PyUnicode_New(0, 0));
    record->numbers = RecordNumbers();
}

// -- fields ------------------------------------------------------------------------------------

RecordNumbers &numbers_of(PyObject *self) {
    return record_of(self)->numbers;
}

using RecordFields = NumberFields<RecordNumbers, numbers_of>;

template <PyObject *TedsDataObject::*Field> PyObject *get_object(PyObject *self, void *) noexcept {
    return field_or_none(record_of(self)->*Field);
}

int set_raw_data(PyObject *self, PyObject *value, void *) noexcept {
    Py_XSETREF(record_of(self)->raw_data, Py_NewRef(value ? value : Py_None));
    return 0;
}

int set_serial_number(PyObject *self, PyObject *value, void *) noexcept {
    PyObject *assigned = value ? value : Py_None;
    if (assigned != Py_None && !PyUnicode_CheckExact(assigned)) {
        PyErr_Format(PyExc_TypeError, "Expected str, got %s", Py_TYPE(assigned)->tp_name);
        return -1;
    }
    Py_XSETREF(record_of(self)->serial_number, Py_NewRef(assigned));
    return 0;
}

PyObject *get_reverse_scaling(PyObject *self, void *) noexcept {
    return PyBool_FromLong(record_of(self)->numbers.reverse_scaling_enabled);
}

int set_reverse_scaling(PyObject *self, PyObject *value, void *) noexcept {
    return set_field<bool, truth_of>(record_of(self)->numbers.reverse_scaling_enabled, value);
}

// In the order of the record's fields, which is also the order of the pickled state.
PyGetSetDef teds_getset[] = {
    {"raw_data", get_object<&TedsDataObject::raw_data>, set_raw_data, "raw_data: object", nullptr},
    {"template", RecordFields::get_int<&RecordNumbers::template_number>,
     RecordFields::set_int<&RecordNumbers::template_number>, "template: 'int'", nullptr},
    {"serial_number", get_object<&TedsDataObject::serial_number>, set_serial_number,
     "serial_number: str", nullptr},
    VELMO_INT_FIELD(RecordFields, engineering_unit),
    VELMO_DOUBLE_FIELD(RecordFields, min_capacity),
    VELMO_DOUBLE_FIELD(RecordFields, max_capacity),
    VELMO_DOUBLE_FIELD(RecordFields, min_electrical),
    VELMO_DOUBLE_FIELD(RecordFields, max_electrical),
    {"reverse_scaling_enabled", get_reverse_scaling, set_reverse_scaling,
     "reverse_scaling_enabled: 'bool'", nullptr},
    VELMO_DOUBLE_FIELD(RecordFields, reverse_max_electrical),
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// -- object lifecycle --------------------------------------------------------------------------

nb::object new_record(PyTypeObject *type) {
    nb::object self = checked(type->tp_alloc(type, 0));
    set_defaults(record_of(self.ptr()));
    if (!record_of(self.ptr())->serial_number)
        throw nb::python_error();
    return self;
}

// Arguments are left to __init__, so that a subclass may take its own.
PyObject *teds_new(PyTypeObject *type, PyObject *, PyObject *) noexcept {
    return guarded_call([&] { return new_record(type); });
}

int teds_init(PyObject *self, PyObject *args, PyObject *kwargs) noexcept {
    if (PyTuple_GET_SIZE(args) != 0 || (kwargs && PyDict_GET_SIZE(kwargs) != 0)) {
        PyErr_Format(PyExc_TypeError, "%s() takes no arguments", Py_TYPE(self)->tp_name);
        return -1;
    }
    set_defaults(record_of(self));
    return record_of(self)->serial_number ? 0 : -1;
}

int teds_traverse(PyObject *self, visitproc visit, void *arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(record_of(self)->raw_data);
    Py_VISIT(record_of(self)->serial_number);
    return 0;
}

int teds_clear(PyObject *self) {
    Py_CLEAR(record_of(self)->raw_data);
    Py_CLEAR(record_of(self)->serial_number);
    return 0;
}

// -- the bit walk ------------------------------------------------------------------------------

// Element `index` of a byte sequence as an unsigned 8-bit value.
uint8_t element_byte(nb::handle sequence, size_t index) {
    nb::object item = checked(PyObject_GetItem(sequence.ptr(), new_int((long long)index).ptr()));
    return to_uint8(item);
}

Py_ssize_t length_of(nb::handle sequence) {
    const Py_ssize_t length = PyObject_Length(sequence.ptr());
    if (length < 0)
        throw nb::python_error();
    return length;
}

// The bytes kept of `sequence`, checksums dropped when asked.
std::vector<uint8_t> kept_bytes(nb::handle sequence, bool skip_checksums) {
    const size_t length = (size_t)length_of(sequence);
    std::vector<uint8_t> kept;
    // A length is only a claim; a TEDS image is the most this is made for up front.
    kept.reserve(std::min(length, teds::image_size));
    auto keep = [&](size_t i) { return !(skip_checksums && teds::is_page_checksum(i)); };
    const uint8_t *data;
    size_t size;
    if (exact_byte_buffer(sequence, data, size)) {
        for (size_t i = 0; i < std::min(length, size); ++i)
            if (keep(i))
                kept.push_back(data[i]);
        return kept;
    }
    for (size_t i = 0; i < length; ++i)
        if (keep(i))
            kept.push_back(element_byte(sequence, i));
    return kept;
}

// An integer argument; a float is refused as Python's own index arithmetic refuses it. One
// too large for the arithmetic below is clamped, and `fits` is false.
long long index_argument(nb::handle value, bool &fits) {
    constexpr long long low = LLONG_MIN / 2, high = LLONG_MAX / 2;
    long long result = 0;
    const Range range = range_of(checked(PyNumber_Index(value.ptr())), low + 1, high - 1, result);
    fits = range == Range::inside;
    if (range == Range::below)
        return low;
    return range == Range::above ? high : result;
}

// bit_array[start + i] with Python's indexing; lists and tuples are indexed in place.
bool bit_at(nb::handle bits, nb::handle start, long long start_value, bool start_fits,
            long long i) {
    PyObject *sequence = bits.ptr();
    if (start_fits && (PyList_CheckExact(sequence) || PyTuple_CheckExact(sequence))) {
        const bool is_list = PyList_CheckExact(sequence);
        const Py_ssize_t size = Py_SIZE(sequence);
        long long index = start_value + i;
        if (index < 0)
            index += size;
        if (index < 0 || index >= size)
            raise(PyExc_IndexError,
                  is_list ? "list index out of range" : "tuple index out of range");
        nb::object item = nb::borrow(is_list ? PyList_GET_ITEM(sequence, index)
                                             : PyTuple_GET_ITEM(sequence, index));
        return truth_of(item.ptr());
    }
    nb::object index = start_fits ? new_int(start_value + i)
                                  : checked(PyNumber_Add(start.ptr(), new_int(i).ptr()));
    nb::object item = checked(PyObject_GetItem(sequence, index.ptr()));
    return truth_of(item.ptr());
}

// The little-endian unsigned field of `length` bits from `start`, in 32-bit arithmetic.
// Positions at or past the end count as 0, so only those before it are visited.
uint32_t bits_value(nb::handle bits, nb::handle start, nb::handle length_argument) {
    bool length_fits = false;
    const long long length = index_argument(length_argument, length_fits);
    if (length <= 0)
        return 0;
    const long long size = length_of(bits);
    bool start_fits = false;
    const long long start_value = index_argument(start, start_fits);
    const long long before_end = size - start_value;
    const long long visited = before_end > 0 ? std::min(length, before_end) : 0;
    uint32_t sum = 0;
    for (long long i = 0; i < visited; ++i)
        if (bit_at(bits, start, start_value, start_fits, i))
            sum = teds::with_bit(sum, (uint64_t)i);
    return sum;
}

nb::object bool_list(const std::vector<uint8_t> &bytes) {
    nb::object bits = checked(PyList_New((Py_ssize_t)(bytes.size() * 8)));
    Py_ssize_t position = 0;
    for (uint8_t byte : bytes)
        for (int bit = 0; bit < 8; ++bit)
            PyList_SET_ITEM(bits.ptr(), position++,
                            Py_NewRef((byte >> bit) & 1 ? Py_True : Py_False));
    return bits;
}

const Method bytes_to_bits{
    "bytes_to_bits",
    "Convert bytes to a list of bits, least significant bit of each byte first.\n\n"
    ":param byte_array: Sequence of byte values (0 to 255)\n"
    ":param skip_checksums: Drop the checksum byte that opens every 32-byte page\n"
    ":return: List of bools, eight per byte kept",
    parameters(required("byte_array"), optional("skip_checksums", "False")),
    [](nb::handle, PyObject **args) -> nb::object {
        const bool skip_checksums = args[1] && truth_of(args[1]);
        return bool_list(kept_bytes(args[0], skip_checksums));
    },
    Receiver::none};

const Method bits_to_int{
    "bits_to_int",
    "Read an unsigned little-endian integer out of a list of bits.\n\n"
    ":param bit_array: Sequence of bits\n"
    ":param start_index: Position of the least significant bit\n"
    ":param length: Number of bits; positions past the end count as 0\n"
    ":return: The value, modulo 2**32",
    parameters(required("bit_array"), required("start_index"), required("length")),
    [](nb::handle, PyObject **args) -> nb::object {
        return checked(PyLong_FromUnsignedLong(bits_value(args[0], args[1], args[2])));
    },
    Receiver::none};

const Method bits_to_float{"bits_to_float",
                           "Read an IEEE 754 single-precision number out of a list of bits.\n\n"
                           ":param bit_array: Sequence of bits\n"
                           ":param start_index: Position of the least significant bit of the 32\n"
                           ":return: The single-precision value as a float",
                           parameters(required("bit_array"), required("start_index")),
                           [](nb::handle, PyObject **args) -> nb::object {
                               return new_float(
                                   teds::single_of_bits(bits_value(args[0], args[1], new_int(32))));
                           },
                           Receiver::none};

nb::object parse_record(nb::handle raw_bytes, nb::handle template_byte) {
    const uint8_t *data = nullptr;
    size_t size = 0;
    const bool in_place = exact_byte_buffer(raw_bytes, data, size) && size == teds::image_size;
    const teds::BitStream stream = teds::BitStream::of_image(
        [&](size_t i) { return in_place ? data[i] : element_byte(raw_bytes, i); });
    const teds::SensorFields fields = teds::sensor_fields(stream);
    nb::object self = new_record(state().teds_data_type);
    TedsDataObject *record = record_of(self.ptr());
    Py_SETREF(record->raw_data, Py_NewRef(raw_bytes.ptr()));
    const int32_t template_number = to_int32(template_byte);
    Py_SETREF(record->serial_number,
              format_text("%lu", (unsigned long)fields.serial_number).release().ptr());
    record->numbers = fields.numbers;
    record->numbers.template_number = template_number;
    return self;
}

const Method parse_from_bytes{
    "parse_from_bytes",
    "Parse a 512-byte TEDS memory image into a record.\n\n"
    ":param raw_bytes: The TEDS image, 16 pages of 32 bytes\n"
    ":param template_byte: TEDS template number\n"
    ":return: TEDSData filled from the image\n"
    ":raises VelmoTEDSDataCorruptedError: If the image has the wrong size or cannot be parsed",
    parameters(required("raw_bytes"), required("template_byte")),
    [](nb::handle, PyObject **args) -> nb::object {
        nb::handle raw_bytes = args[0];
        const Py_ssize_t size = length_of(raw_bytes);
        if (size != (Py_ssize_t)teds::image_size)
            raise(state().teds_data_corrupted_error, "TEDS data must be 512 bytes, got %zd", size);
        try {
            return parse_record(raw_bytes, args[1]);
        } catch (nb::python_error &raised) {
            CaughtError e(raised);
            if (!e.is_ordinary())
                e.rethrow();
            raise_from(state().teds_data_corrupted_error, e, "Failed to parse TEDS data: %S",
                       e.value());
        }
    },
    Receiver::none};

const Parameters no_parameters = parameters();

} // namespace

void bind_teds_data(nb::module_ &m) {
    static PyType_Slot slots[] = {
        {Py_tp_new, (void *)teds_new},
        {Py_tp_init, (void *)teds_init},
        {Py_tp_dealloc, (void *)dealloc_collected<teds_clear>},
        {Py_tp_traverse, (void *)teds_traverse},
        {Py_tp_clear, (void *)teds_clear},
        {Py_tp_getset, teds_getset},
        {0, nullptr},
    };
    PyTypeObject *type =
        add_value_type(m,
                       {"velmo_device_communication.TEDSData", sizeof(TedsDataObject), 0,
                        Py_TPFLAGS_HAVE_GC, slots},
                       "TEDSData", no_parameters,
                       "Parsed TEDS (Transducer Electronic Data Sheet) sensor data.\n\n"
                       "Stores both the raw TEDS bytes and the calibration fields extracted from\n"
                       "the memory of an IEEE 1451.4 compliant sensor. Access it through the\n"
                       "VelmoDevice class.");
    state().teds_data_type = type;
    // Added to the class rather than its method table, so that a static method is called on
    // the class and finds the module state through it.
    nb::handle cls = (PyObject *)type;
    for (PyMethodDef *def : {method_def<bytes_to_bits>(), method_def<bits_to_int>(),
                             method_def<bits_to_float>(), method_def<parse_from_bytes>()})
        add_static_method(cls, def);
    add_method(cls, method_def<reduce_method<teds_getset, no_parameters>>());
}

} // namespace velmo
