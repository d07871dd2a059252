// Argument binding (positional and keyword), coercion by parameter kind, and the conversions
// to the SDK's fixed-width values.
#include "arguments.h"

#include "records.h"

#include <climits>
#include <cstring>
#include <vector>

namespace orvik {

namespace {

constexpr const char kIncorrectType[] = "Argument '%.200s' has incorrect type (expected %.200s, got %.200s)";
constexpr const char kSubclassNote[] =
    "Instances of subclasses of built-in types are refused here; pass an exact str, e.g. str(value).";
constexpr const char kLongOverflow[] = "Python int too large to convert to C long";

void raise_incorrect_type(const char *param, const char *expected, PyObject *arg) {
    PyErr_Format(PyExc_TypeError, kIncorrectType, param, expected, Py_TYPE(arg)->tp_name);
}

// TypeError "%.200s() takes %.8s %zd positional argument%.1s (%zd given)".
void raise_positional_count(const char *fname, Py_ssize_t expected, Py_ssize_t given) {
    PyErr_Format(PyExc_TypeError, "%.200s() takes %.8s %zd positional argument%.1s (%zd given)", fname,
                 "exactly", expected, expected == 1 ? "" : "s", given);
}

// TypeError "%s() got an unexpected keyword argument '%U'".
void raise_unexpected_keyword(const char *fname, PyObject *keyword) {
    PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", fname, keyword);
}

// Same text, same width, same code units: what `==` on two exact str objects decides.
bool exact_text_equal(PyObject *a, PyObject *b) {
    const Py_ssize_t length = PyUnicode_GET_LENGTH(a);
    if (length != PyUnicode_GET_LENGTH(b))
        return false;
    const int kind = PyUnicode_KIND(a);
    if (kind != PyUnicode_KIND(b))
        return false;
    return std::memcmp(PyUnicode_DATA(a), PyUnicode_DATA(b),
                       static_cast<size_t>(length) * static_cast<size_t>(kind)) == 0;
}

// Whether keyword `key` (a str) names the parameter `name` (interned). 1 yes, 0 no, -1 error
// (only a str subclass's __eq__ can fail).
int keyword_names_param(PyObject *key, PyObject *name) {
    if (PyUnicode_CheckExact(key))
        return exact_text_equal(key, name) ? 1 : 0;
    // A str subclass may redefine equality, so it decides with its own ==.
    return PyObject_RichCompareBool(key, name, Py_EQ);
}

bool bind_keywords(const FunctionSpec &spec, PyObject *const *names, int n, PyObject *const *args,
                   Py_ssize_t nargs, PyObject *kwnames, BoundArgs &out) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
        PyObject *key = PyTuple_GET_ITEM(kwnames, k);
        if (!PyUnicode_Check(key)) {
            PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", spec.name);
            return false;
        }
        int found = -1;
        for (int j = static_cast<int>(nargs); j < n; ++j) {
            if (names[j] == key) {
                found = j;
                break;
            }
        }
        for (int j = static_cast<int>(nargs); found < 0 && j < n; ++j) {
            const int r = keyword_names_param(key, names[j]);
            if (r < 0)
                return false;
            if (r > 0)
                found = j;
        }
        if (found >= 0) {
            out.items[found] = args[nargs + k];
            continue;
        }
        for (int j = 0; j < nargs; ++j) {
            const int r = keyword_names_param(key, names[j]);
            if (r < 0)
                return false;
            if (r > 0) {
                PyErr_Format(PyExc_TypeError, "%s() got multiple values for keyword argument '%U'", spec.name,
                             key);
                return false;
            }
        }
        raise_unexpected_keyword(spec.name, key);
        return false;
    }
    for (int j = static_cast<int>(nargs); j < n; ++j) {
        if (out.items[j] == nullptr) {
            raise_positional_count(spec.name, n, j);
            return false;
        }
    }
    return true;
}

bool coerce(const FunctionSpec &spec, int n, BoundArgs &out) {
    // Numbers and truth values first, in parameter order; then the type checks of text and
    // record parameters, so a bad number is reported before a bad text or record.
    for (int i = 0; i < n; ++i) {
        PyObject *arg = out.items[i];
        switch (spec.params[i].kind) {
        case ParamKind::Integer:
            if (PyLong_CheckExact(arg))
                break;
            if (!PyNumber_Check(arg)) {
                raise_incorrect_type(spec.params[i].name, "int", arg);
                return false;
            }
            out.owned[i].reset(PyNumber_Long(arg));
            if (!out.owned[i])
                return false;
            out.items[i] = out.owned[i].get();
            break;
        case ParamKind::Boolean:
            if (arg == Py_True || arg == Py_False)
                break;
            if (arg == Py_None) {
                out.items[i] = Py_False;
            } else {
                const int truth = PyObject_IsTrue(arg);
                if (truth < 0)
                    return false;
                out.items[i] = truth ? Py_True : Py_False;
            }
            break;
        default:
            break;
        }
    }
    for (int i = 0; i < n; ++i) {
        PyObject *arg = out.items[i];
        const ParamSpec &param = spec.params[i];
        if (param.kind == ParamKind::Text && !PyUnicode_CheckExact(arg)) {
            raise_incorrect_type(param.name, "str", arg);
            if (PyUnicode_Check(arg)) {
                Ref exc(PyErr_GetRaisedException());
                Ref note(PyUnicode_FromString(kSubclassNote));
                Ref added(note ? PyObject_CallMethodOneArg(exc.get(), g_names.add_note, note.get())
                               : nullptr);
                if (!added)
                    return false; // the note could not be attached; that error stands instead
                PyErr_SetRaisedException(exc.release());
            }
            return false;
        }
        if (param.kind == ParamKind::Record) {
            PyTypeObject *type = record_type(param.record);
            if (type == nullptr) {
                PyErr_Format(PyExc_SystemError, "%.200s(): record type of '%.200s' is not ready", spec.name,
                             param.name);
                return false;
            }
            if (!PyObject_TypeCheck(arg, type)) {
                raise_incorrect_type(param.name, type->tp_name, arg);
                return false;
            }
        }
    }
    return true;
}

bool range_error(const char *message) {
    PyErr_SetString(PyExc_OverflowError, message);
    return false;
}

bool int32_of(PyObject *value, long *out) {
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(value, &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
        return range_error(kLongOverflow);
    *out = v;
    return true;
}

bool not_enough_values(Py_ssize_t expected, Py_ssize_t got) {
    PyErr_Format(PyExc_IndexError, "not enough values found during array assignment, expected %zd, got %zd",
                 expected, got);
    return false;
}

bool too_many_values(Py_ssize_t expected) {
    PyErr_Format(PyExc_IndexError, "too many values found during array assignment, expected %zd", expected);
    return false;
}

} // namespace

bool check_no_arguments(const char *fname, Py_ssize_t nargs, PyObject *keywords) {
    if (nargs > 0) {
        raise_positional_count(fname, 0, nargs);
        return false;
    }
    if (keywords == nullptr)
        return true;
    PyObject *first = nullptr;
    if (PyTuple_Check(keywords)) {
        if (PyTuple_GET_SIZE(keywords) > 0)
            first = PyTuple_GET_ITEM(keywords, 0);
    } else if (PyDict_Check(keywords)) {
        Py_ssize_t pos = 0;
        PyObject *value = nullptr;
        PyDict_Next(keywords, &pos, &first, &value);
    }
    if (first == nullptr)
        return true;
    if (!PyUnicode_Check(first)) {
        PyErr_Format(PyExc_TypeError, "%.200s() keywords must be strings", fname);
        return false;
    }
    raise_unexpected_keyword(fname, first);
    return false;
}

bool bind_arguments(const FunctionSpec &spec, PyObject *const *names, PyObject *const *args, size_t nargsf,
                    PyObject *kwnames, BoundArgs &out) {
    const Py_ssize_t nargs = PyVectorcall_NARGS(nargsf);
    const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
    const int n = spec.nparams();
    if (n == 0) {
        if (nkw > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s", spec.name, "takes no keyword arguments");
            return false;
        }
        if (nargs > 0) {
            PyErr_Format(PyExc_TypeError, "%.200s() %s (%zd given)", spec.name, "takes no arguments", nargs);
            return false;
        }
        return true;
    }
    if (nkw == 0) {
        if (nargs != n) {
            raise_positional_count(spec.name, n, nargs);
            return false;
        }
        for (int i = 0; i < n; ++i)
            out.items[i] = args[i];
    } else {
        if (nargs > n) {
            raise_positional_count(spec.name, n, nargs);
            return false;
        }
        for (Py_ssize_t i = 0; i < nargs; ++i)
            out.items[i] = args[i];
        if (!bind_keywords(spec, names, n, args, nargs, kwnames, out))
            return false;
    }
    return coerce(spec, n, out);
}

bool to_int32(PyObject *value, int32_t *out) {
    long v = 0;
    if (!int32_of(value, &v))
        return false;
    *out = static_cast<int32_t>(v);
    return true;
}

bool to_sdk_long(PyObject *value, long *out) {
    return int32_of(value, out);
}

// The __int__-only integer conversion of enum_to_int32 and the byte conversions: an int (or
// subclass) is returned as it is. New reference or null.
static PyObject *int_via_dunder_int(PyObject *obj) {
    if (PyLong_Check(obj))
        return Py_NewRef(obj);
    PyNumberMethods *number = Py_TYPE(obj)->tp_as_number;
    if (number == nullptr || number->nb_int == nullptr) {
        PyErr_SetString(PyExc_TypeError, "an integer is required");
        return nullptr;
    }
    Ref result(number->nb_int(obj));
    if (!result || PyLong_CheckExact(result.get()))
        return result.release();
    if (PyLong_Check(result.get())) {
        if (PyErr_WarnFormat(
                PyExc_DeprecationWarning, 1,
                "__int__ returned non-int (type %.200s).  The ability to return an instance of a "
                "strict subclass of int is deprecated, and may be removed in a future version of "
                "Python.",
                Py_TYPE(result.get())->tp_name) < 0)
            return nullptr;
        return result.release();
    }
    PyErr_Format(PyExc_TypeError, "__int__ returned non-int (type %.200s)", Py_TYPE(result.get())->tp_name);
    return nullptr;
}

bool enum_to_int32(PyObject *arg, int32_t *out) {
    Ref value(PyObject_GetAttr(arg, g_names.value));
    if (!value)
        return false;
    Ref number(int_via_dunder_int(value.get()));
    return number && to_int32(number.get(), out);
}

// One byte: an int in range, or any object converted through __int__ first.
static bool to_byte(PyObject *obj, ByteKind kind, unsigned char *out) {
    Ref number(int_via_dunder_int(obj));
    if (!number)
        return false;
    int overflow = 0;
    const long v = PyLong_AsLongAndOverflow(number.get(), &overflow);
    if (v == -1 && PyErr_Occurred())
        return false;
    if (kind == ByteKind::Unsigned) {
        // With overflow set, v is -1 whatever the sign, so the flag decides first.
        if (overflow > 0 || (overflow == 0 && v > UCHAR_MAX))
            return range_error("value too large to convert to unsigned char");
        if (overflow < 0 || v < 0)
            return range_error("can't convert negative value to unsigned char");
        *out = static_cast<unsigned char>(v);
    } else {
        if (overflow != 0 || v < SCHAR_MIN || v > SCHAR_MAX)
            return range_error("value too large to convert to char");
        *out = static_cast<unsigned char>(static_cast<signed char>(v));
    }
    return true;
}

bool assign_fixed_byte_array(PyObject *iterable, Py_ssize_t n, ByteKind kind, unsigned char *dest) {
    Py_ssize_t length = PyObject_Size(iterable);
    if (length < 0) {
        if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError))
            return false;
        PyErr_Clear(); // no usable length: count while iterating
    } else if (length < n) {
        return not_enough_values(n, length);
    } else if (length > n) {
        return too_many_values(n);
    }

    std::vector<unsigned char> converted(static_cast<size_t>(n));
    const bool is_list = PyList_CheckExact(iterable);
    if (is_list || PyTuple_CheckExact(iterable)) {
        // By index; an item's __int__ may resize a list, so the size is read again each time.
        for (Py_ssize_t i = 0;; ++i) {
            const Py_ssize_t size = is_list ? PyList_GET_SIZE(iterable) : PyTuple_GET_SIZE(iterable);
            if (i >= size) {
                if (i < n)
                    return not_enough_values(n, i);
                break;
            }
            if (i == n)
                return too_many_values(n);
            Ref item = Ref::borrow(is_list ? PyList_GET_ITEM(iterable, i) : PyTuple_GET_ITEM(iterable, i));
            if (!to_byte(item.get(), kind, &converted[static_cast<size_t>(i)]))
                return false;
        }
    } else {
        Ref iterator(PyObject_GetIter(iterable));
        if (!iterator)
            return false;
        for (Py_ssize_t i = 0;; ++i) {
            Ref item(PyIter_Next(iterator.get()));
            if (!item) {
                if (PyErr_Occurred())
                    return false;
                if (i < n)
                    return not_enough_values(n, i);
                break;
            }
            if (i == n)
                return too_many_values(n);
            if (!to_byte(item.get(), kind, &converted[static_cast<size_t>(i)]))
                return false;
        }
    }
    if (n > 0)
        std::memcpy(dest, converted.data(), static_cast<size_t>(n));
    return true;
}

} // namespace orvik
