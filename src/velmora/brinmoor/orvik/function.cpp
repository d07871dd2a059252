// The module's function type: a vectorcall object built from one FunctionSpec row.
#include "function.h"

#include "arguments.h"

#include <cstddef>

namespace orvik {

namespace {

struct FunctionObject {
    PyObject_HEAD vectorcallfunc vectorcall;
    const FunctionSpec *spec;
    PyObject *name;        // interned, also __qualname__
    PyObject *tb_name;     // "velmora.brinmoor.orvik.<name>", names the traceback entry
    PyObject *module_name; // "velmora.brinmoor.orvik"
    PyObject *doc;         // str or None
    PyObject *annotations; // dict: parameter names, then "return"
    PyObject *globals;     // the module namespace
    PyObject *signature;   // inspect.Signature, made on first request
    PyObject *weakrefs;
    PyObject *param_names[kMaxParams]; // interned, so keywords usually match by identity
};

FunctionObject *as_function(PyObject *obj) {
    return reinterpret_cast<FunctionObject *>(obj);
}

PyObject *function_vectorcall(PyObject *callable, PyObject *const *args, size_t nargsf, PyObject *kwnames) {
    FunctionObject *self = as_function(callable);
    const FunctionSpec &spec = *self->spec;
    PyObject *result = nullptr;
    {
        BoundArgs bound;
        if (bind_arguments(spec, self->param_names, args, nargsf, kwnames, bound))
            result = spec.impl(bound.items);
    }
    if (result == nullptr)
        add_traceback_entry(PyUnicode_AsUTF8(self->tb_name));
    return result;
}

int function_traverse(PyObject *obj, visitproc visit, void *arg) {
    FunctionObject *self = as_function(obj);
    Py_VISIT(self->doc);
    Py_VISIT(self->annotations);
    Py_VISIT(self->globals);
    Py_VISIT(self->signature);
    return 0;
}

int function_clear(PyObject *obj) {
    FunctionObject *self = as_function(obj);
    Py_CLEAR(self->doc);
    Py_CLEAR(self->annotations);
    Py_CLEAR(self->globals);
    Py_CLEAR(self->signature);
    return 0;
}

void function_dealloc(PyObject *obj) {
    FunctionObject *self = as_function(obj);
    PyObject_GC_UnTrack(obj);
    if (self->weakrefs != nullptr)
        PyObject_ClearWeakRefs(obj);
    function_clear(obj);
    Py_CLEAR(self->name);
    Py_CLEAR(self->tb_name);
    Py_CLEAR(self->module_name);
    for (PyObject *&param : self->param_names)
        Py_CLEAR(param);
    PyObject_GC_Del(obj);
}

PyObject *function_repr(PyObject *obj) {
    return PyUnicode_FromFormat("<built-in function %U>", as_function(obj)->name);
}

// Calls `cls(*args, name=value)`: a new reference, or null.
PyObject *call_with_keyword(PyObject *cls, PyObject *args, const char *name, PyObject *value) {
    Ref kwargs(PyDict_New());
    if (!kwargs || PyDict_SetItemString(kwargs.get(), name, value) < 0)
        return nullptr;
    return PyObject_Call(cls, args, kwargs.get());
}

// The inspect.Signature of a function: every parameter positional-or-keyword with its
// annotation text, and the return annotation text. A new reference, or null.
PyObject *make_signature(FunctionObject *self) {
    Ref inspect(PyImport_ImportModule("inspect"));
    if (!inspect)
        return nullptr;
    Ref parameter_cls(PyObject_GetAttrString(inspect.get(), "Parameter"));
    Ref signature_cls(parameter_cls ? PyObject_GetAttrString(inspect.get(), "Signature") : nullptr);
    Ref kind(signature_cls ? PyObject_GetAttrString(parameter_cls.get(), "POSITIONAL_OR_KEYWORD") : nullptr);
    if (!kind)
        return nullptr;
    const FunctionSpec &spec = *self->spec;
    const int n = spec.nparams();
    Ref params(PyList_New(n));
    if (!params)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        Ref annotation(PyUnicode_FromString(spec.params[i].annotation));
        Ref posargs(annotation ? PyTuple_Pack(2, self->param_names[i], kind.get()) : nullptr);
        PyObject *param =
            posargs ? call_with_keyword(parameter_cls.get(), posargs.get(), "annotation", annotation.get())
                    : nullptr;
        if (param == nullptr)
            return nullptr;
        PyList_SET_ITEM(params.get(), i, param);
    }
    Ref return_annotation(PyUnicode_FromString(spec.return_annotation));
    Ref posargs(return_annotation ? PyTuple_Pack(1, params.get()) : nullptr);
    if (!posargs)
        return nullptr;
    return call_with_keyword(signature_cls.get(), posargs.get(), "return_annotation",
                             return_annotation.get());
}

// inspect.signature() reads this. Made on first request and stored once: making it runs Python
// code, which may read __signature__ again (or let another thread do so) and store one first;
// that one is kept and returned, and this call's own is dropped.
PyObject *get_signature(PyObject *obj, void *) {
    FunctionObject *self = as_function(obj);
    if (self->signature != nullptr)
        return Py_NewRef(self->signature);
    Ref made(make_signature(self));
    if (!made)
        return nullptr;
    if (self->signature == nullptr) {
        self->signature = Py_NewRef(made.get());
        return made.release();
    }
    Ref kept = Ref::borrow(self->signature); // held before dropping ours runs any code
    made.reset();
    return kept.release();
}

// Pickled by reference, like a built-in function: pickle looks the name up in __module__.
PyObject *function_reduce(PyObject *obj, PyObject *) {
    return Py_NewRef(as_function(obj)->name);
}

PyMethodDef function_methods[] = {
    {"__reduce__", function_reduce, METH_NOARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyMemberDef function_members[] = {
    {"__name__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__qualname__", Py_T_OBJECT_EX, offsetof(FunctionObject, name), Py_READONLY, nullptr},
    {"__module__", Py_T_OBJECT_EX, offsetof(FunctionObject, module_name), Py_READONLY, nullptr},
    {"__doc__", Py_T_OBJECT_EX, offsetof(FunctionObject, doc), Py_READONLY, nullptr},
    {"__annotations__", Py_T_OBJECT_EX, offsetof(FunctionObject, annotations), Py_READONLY, nullptr},
    {"__globals__", Py_T_OBJECT_EX, offsetof(FunctionObject, globals), Py_READONLY, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

PyGetSetDef function_getset[] = {
    {"__signature__", get_signature, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

bool function_type_ready = false;

} // namespace

// The type as compiled; a re-initialized runtime starts again from this copy.
const PyTypeObject kFunctionTypeTemplate = {
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0).tp_name = "velmora.brinmoor.orvik.function",
    .tp_basicsize = sizeof(FunctionObject),
    .tp_itemsize = 0,
    .tp_dealloc = function_dealloc,
    .tp_vectorcall_offset = offsetof(FunctionObject, vectorcall),
    .tp_repr = function_repr,
    .tp_call = PyVectorcall_Call,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_HAVE_VECTORCALL |
                Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    .tp_traverse = function_traverse,
    .tp_clear = function_clear,
    .tp_weaklistoffset = offsetof(FunctionObject, weakrefs),
    .tp_methods = function_methods,
    .tp_members = function_members,
    .tp_getset = function_getset,
};

PyTypeObject FunctionType = kFunctionTypeTemplate;

void forget_function_type() {
    FunctionType = kFunctionTypeTemplate;
    function_type_ready = false;
}

int init_function_type() {
    if (function_type_ready)
        return 0;
    if (PyType_Ready(&FunctionType) < 0)
        return -1;
    function_type_ready = true;
    return 0;
}

PyObject *make_function(const FunctionSpec &spec, PyObject *globals) {
    if (init_function_type() < 0)
        return nullptr;
    const int n = spec.nparams();
    Ref obj(reinterpret_cast<PyObject *>(PyObject_GC_New(FunctionObject, &FunctionType)));
    if (!obj)
        return nullptr;
    FunctionObject *self = as_function(obj.get());
    // Every field is valid (null) before anything can fail, so dealloc is always safe.
    self->vectorcall = function_vectorcall;
    self->spec = &spec;
    self->name = self->tb_name = self->module_name = self->doc = nullptr;
    self->annotations = self->globals = self->signature = self->weakrefs = nullptr;
    for (PyObject *&param : self->param_names)
        param = nullptr;
    PyObject_GC_Track(obj.get());

    self->name = PyUnicode_InternFromString(spec.name);
    if (self->name == nullptr)
        return nullptr;
    self->tb_name = PyUnicode_FromFormat("%s.%s", kModuleName, spec.name);
    if (self->tb_name == nullptr)
        return nullptr;
    self->module_name = PyUnicode_InternFromString(kModuleName);
    if (self->module_name == nullptr)
        return nullptr;
    self->doc = spec.doc ? PyUnicode_FromString(spec.doc) : Py_NewRef(Py_None);
    if (self->doc == nullptr)
        return nullptr;
    self->globals = Py_NewRef(globals);
    self->annotations = PyDict_New();
    if (self->annotations == nullptr)
        return nullptr;
    for (int i = 0; i < n; ++i) {
        self->param_names[i] = PyUnicode_InternFromString(spec.params[i].name);
        if (self->param_names[i] == nullptr)
            return nullptr;
        Ref annotation(PyUnicode_FromString(spec.params[i].annotation));
        if (!annotation || PyDict_SetItem(self->annotations, self->param_names[i], annotation.get()) < 0)
            return nullptr;
    }
    Ref return_annotation(PyUnicode_FromString(spec.return_annotation));
    if (!return_annotation || PyDict_SetItemString(self->annotations, "return", return_annotation.get()) < 0)
        return nullptr;
    return obj.release();
}

} // namespace orvik
