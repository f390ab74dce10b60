#include "module/enums.hpp"
#include "module/conversions.hpp"
#include "module/module.hpp"

#include <utility>
#include <vector>

namespace velmo {

namespace {

const char *const unit_names[] = {
    "atm",      "bar",     "dyn",     "ft_H2O", "ft_lb", "gram",  "g_cm",     "g_mm",
    "inch_H2O", "inch_lb", "inch_oz", "k_dyn",  "kg",    "kg_cm", "kg_cm_sq", "kg_m",
    "k_lb",     "k_N",     "k_Pa",    "k_P_si", "lb",    "m_dyn", "mm_Hg",    "m_Nm",
    "M_Pa",     "MT",      "N",       "Ncm",    "Nm",    "Nmm",   "oz",       "psi",
    "Pa",       "ST",      "mVV",     "uA",     "mA",    "A",     "mm",       "cm",
    "dm",       "m",       "km",      "inch",   "ft",    "yd",    "mi",       "ug",
    "mg",       "LT",      "mbar",    "C",      "F",     "K",     "Ra",       "kNm",
    "gm",       "nV",      "uV",      "mV",     "V",     "kV",    "none",     "mN",
};

const char *const unit_doc =
    "\n"
    "    Available units of measure for VELMO devices.\n"
    "\n"
    "    Supports various measurement units including:\n"
    "    - Force: lb, N, kg, oz, gram, dyn, kN, mN\n"
    "    - Torque: Nm, Ncm, Nmm, inch_lb, inch_oz, ft_lb, kg_cm, kg_m, kNm\n"
    "    - Pressure: psi, bar, Pa, kPa, MPa, atm, mbar, mm_Hg, inch_H2O, "
    "ft_H2O\n"
    "    - Distance: mm, cm, dm, m, km, inch, ft, yd, mi\n"
    "    - Temperature: C, F, K, Ra\n"
    "    - Electrical: V, mV, uV, nV, kV, A, mA, uA, mVV, Ohms\n"
    "    - Mass: g, mg, ug, kg, MT, ST, LT\n"
    "    ";

const char *const hda640_rates[] = {"SPS_2_5",  "SPS_5",     "SPS_10",    "SPS_16_6",
                                    "SPS_20",   "SPS_50",    "SPS_60",    "SPS_100",
                                    "SPS_400",  "SPS_1200",  "SPS_2400",  "SPS_4800",
                                    "SPS_7200", "SPS_14000", "SPS_19200", "SPS_38400"};

const char *const hda640_doc =
    "\n"
    "    Sampling rates available for HDA640 devices.\n"
    "\n"
    "    Supports rates from 2.5 SPS to 38,400 SPS.\n"
    "\n"
    "    Note: The 38,400 SPS rate (SPS_38400) is only available on HDA640 Zeph Orvale.\n"
    "\n"
    "    Available rates: 2.5, 5, 10, 16.6, 20, 50, 60, 100, 400, 1200,\n"
    "    2400, 4800, 7200, 14000, 19200, 38400 samples per second.\n"
    "    ";

const char *const low_rate_models[] = {"RPX310", "TMV520", "GLS870"};

const char *const low_rates[] = {"SPS_4",   "SPS_20",  "SPS_50",  "SPS_100",
                                 "SPS_200", "SPS_500", "SPS_850", "SPS_1300"};

std::string low_rate_doc(const std::string &model) {
    return "\n"
           "    Sampling rates available for " +
           model +
           " devices.\n"
           "\n"
           "    Supports rates from 4 SPS to 1300 SPS.\n"
           "\n"
           "    Available rates: 4, 20, 50, 100, 200, 500, 850, 1300 samples per second.\n"
           "    ";
}

// The degree sign as UTF-8 escapes: compilers read a source file in their own code page.
const std::pair<int, const char *> teds_units[] = {
    {0, "\xC2\xB0"
        "K"},
    {1, "\xC2\xB0"
        "C"},
    {4, "N"},
    {5, "lb"},
    {10, "N-m"},
    {11, "in-oz"},
    {12, "Pa"},
    {13, "psi"},
    {14, "kg"},
    {15, "g"},
    {16, "m"},
    {17, "mm"},
    {18, "in"},
};

// A plain enum.Enum subclass made with the functional API of the module's `Enum`.
void define_enum(nb::module_ &m, const char *name,
                 const std::vector<std::pair<const char *, int>> &members, const std::string &doc) {
    nb::object items = checked(PyList_New(0));
    for (const auto &[member, value] : members) {
        nb::object item = checked(Py_BuildValue("(si)", member, value));
        if (PyList_Append(items.ptr(), item.ptr()) < 0)
            throw nb::python_error();
    }
    nb::object enum_base = module_global(names().Enum);
    nb::object args = checked(Py_BuildValue("(sO)", name, items.ptr()));
    nb::object kwargs = checked(Py_BuildValue("{ssss}", "module", module_name, "qualname", name));
    nb::object cls = checked(PyObject_Call(enum_base.ptr(), args.ptr(), kwargs.ptr()));
    if (PyObject_SetAttrString(cls.ptr(), "__doc__", new_text(doc).ptr()) < 0)
        throw nb::python_error();
    if (PyObject_SetAttrString(m.ptr(), name, cls.ptr()) < 0)
        throw nb::python_error();
}

} // namespace

void bind_teds_unit_mapping(nb::module_ &m) {
    nb::object mapping = checked(PyDict_New());
    for (const auto &[code, text] : teds_units) {
        nb::object key = checked(PyLong_FromLong(code));
        nb::object value = checked(PyUnicode_FromString(text));
        if (PyDict_SetItem(mapping.ptr(), key.ptr(), value.ptr()) < 0)
            throw nb::python_error();
    }
    if (PyObject_SetAttrString(m.ptr(), "_TEDS_UNIT_MAPPING", mapping.ptr()) < 0)
        throw nb::python_error();
}

void bind_unit_enum(nb::module_ &m) {
    std::vector<std::pair<const char *, int>> members;
    int value = 0;
    for (const char *name : unit_names)
        members.emplace_back(name, value++);
    members.emplace_back("Ohms", 254);
    members.emplace_back("Undefined", 255);
    define_enum(m, "UnitOfMeasureEnum", members, unit_doc);
}

void bind_sampling_rate_enums(nb::module_ &m) {
    std::vector<std::pair<const char *, int>> members;
    int value = 0;
    for (const char *name : hda640_rates)
        members.emplace_back(name, value++);
    define_enum(m, "HDA640SamplingRateEnum", members, hda640_doc);

    members.clear();
    value = 0;
    for (const char *name : low_rates)
        members.emplace_back(name, value++);
    for (const char *model : low_rate_models) {
        std::string name = std::string(model) + "SamplingRateEnum";
        define_enum(m, name.c_str(), members, low_rate_doc(model));
    }
}

} // namespace velmo
