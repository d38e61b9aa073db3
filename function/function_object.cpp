// The function type "qx_function_or_method": builtin-like calls, plain
// function-like attributes and binding.
#include "function/function_object.h"

#include <structmember.h>

#include <cassert>

#include "function/function_call.h"
#include "runtime/bindings.h"
#include "runtime/compat.h"
#include "runtime/ref.h"

namespace qx {

namespace {

inline QxFunctionObject* AsFunction(PyObject* op) noexcept { return reinterpret_cast<QxFunctionObject*>(op); }

inline PyObject* NewRefOrNone(PyObject* o) noexcept { return Py_NewRef(o != nullptr ? o : Py_None); }

// The interpreter's shared empty string: handed out without allocating, so
// this cannot fail.
inline PyObject* EmptyString() noexcept { return PyUnicode_FromStringAndSize("", 0); }

// Every field a setter replaces is read and replaced under the object's
// critical section (free-threaded builds; a plain block otherwise), and
// readers leave it with a strong reference. The replaced value is released
// after the section: its finalizer may run any code. (op goes unused where
// the section is a plain block.)
PyObject* ReadField([[maybe_unused]] PyObject* op, PyObject* const* field) noexcept {
  PyObject* value;
  Py_BEGIN_CRITICAL_SECTION(op);
  value = Py_XNewRef(*field);
  Py_END_CRITICAL_SECTION();
  return value;
}

void ReplaceField([[maybe_unused]] PyObject* op, PyObject** field, PyObject* value) noexcept {
  PyObject* old;
  Py_BEGIN_CRITICAL_SECTION(op);
  old = *field;
  compat::StoreFieldRelease(field, Py_XNewRef(value));
  Py_END_CRITICAL_SECTION();
  Py_XDECREF(old);
}

// The first defaults_count slots of the defaults block are object references.
inline PyObject** DefaultSlots(QxFunctionObject* f) noexcept { return static_cast<PyObject**>(f->defaults); }

// Fills __defaults__ and __kwdefaults__ from the getter of the module that
// made the object.
int MaterializeDefaults(PyObject* func) noexcept {
  QxFunctionObject* f = AsFunction(func);
  Ref res = Ref::steal(f->defaults_getter(func));
  if (!res) return -1;
  // The getter belongs to whichever module made the object; a malformed
  // result must not be indexed blindly.
  if (!PyTuple_Check(res.get()) || PyTuple_GET_SIZE(res.get()) != 2) {
    PyErr_SetString(PyExc_SystemError, "defaults getter must return a 2-tuple");
    return -1;
  }
  ReplaceField(func, &f->defaults_tuple, PyTuple_GET_ITEM(res.get(), 0));
  ReplaceField(func, &f->defaults_kwdict, PyTuple_GET_ITEM(res.get(), 1));
  return 0;
}

// ---------------------------------------------------------------------------
// Attributes. Getters return a new reference; setters store a new reference
// before releasing the old value, and leave it in place on a TypeError.

// A lazily made field: the stored value, else make() stored and returned.
// One section around both, so two first readers store one object.
template <typename Make>
PyObject* ReadOrMakeField([[maybe_unused]] PyObject* op, PyObject** field, Make make) noexcept {
  PyObject* value;
  Py_BEGIN_CRITICAL_SECTION(op);
  // A release store, as for a replaced value: the interpreter reads
  // __dict__ through tp_dictoffset without the section.
  if (*field == nullptr) compat::StoreFieldRelease(field, make());
  value = Py_XNewRef(*field);
  Py_END_CRITICAL_SECTION();
  return value;
}

PyObject* qxfunction_get_doc(PyObject* op, void*) noexcept {
  QxFunctionObject* f = AsFunction(op);
  // Without a doc in the method definition nothing is stored: every read
  // answers None until a value is assigned.
  const char* doc = f->m_ml->ml_doc;
  PyObject* value = ReadOrMakeField(op, &f->func_doc, [doc]() noexcept -> PyObject* {
    return doc != nullptr ? PyUnicode_FromString(doc) : nullptr;
  });
  if (value == nullptr && doc == nullptr) Py_RETURN_NONE;
  return value;
}

int qxfunction_set_doc(PyObject* op, PyObject* value, void*) noexcept {
  ReplaceField(op, &AsFunction(op)->func_doc, value != nullptr ? value : Py_None);
  return 0;
}

PyObject* qxfunction_get_name(PyObject* op, void*) noexcept {
  const char* name = AsFunction(op)->m_ml->ml_name;
  return ReadOrMakeField(op, &AsFunction(op)->func_name,
                         [name]() noexcept { return PyUnicode_InternFromString(name); });
}

int qxfunction_set_name(PyObject* op, PyObject* value, void*) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__name__ must be set to a string object");
    return -1;
  }
  ReplaceField(op, &AsFunction(op)->func_name, value);
  return 0;
}

PyObject* qxfunction_get_qualname(PyObject* op, void*) noexcept {
  return ReadField(op, &AsFunction(op)->func_qualname);
}

int qxfunction_set_qualname(PyObject* op, PyObject* value, void*) noexcept {
  if (value == nullptr || !PyUnicode_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__qualname__ must be set to a string object");
    return -1;
  }
  ReplaceField(op, &AsFunction(op)->func_qualname, value);
  return 0;
}

PyObject* qxfunction_get_self(PyObject* op, void*) noexcept {
  return NewRefOrNone(AsFunction(op)->func_closure);
}

PyObject* qxfunction_get_dict(PyObject* op, void*) noexcept {
  return ReadOrMakeField(op, &AsFunction(op)->func_dict, []() noexcept { return PyDict_New(); });
}

int qxfunction_set_dict(PyObject* op, PyObject* value, void*) noexcept {
  if (value == nullptr) {
    PyErr_SetString(PyExc_TypeError, "function's dictionary may not be deleted");
    return -1;
  }
  if (!PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "setting function's dictionary to a non-dict");
    return -1;
  }
  ReplaceField(op, &AsFunction(op)->func_dict, value);
  return 0;
}

PyObject* qxfunction_get_globals(PyObject* op, void*) noexcept {
  // Null only after tp_clear.
  return NewRefOrNone(AsFunction(op)->func_globals);
}

PyObject* qxfunction_get_closure(PyObject*, void*) noexcept { Py_RETURN_NONE; }

PyObject* qxfunction_get_code(PyObject* op, void*) noexcept {
  return NewRefOrNone(AsFunction(op)->func_code);
}

// A defaults field, filled from the getter first when it is still null.
// The getter runs outside the section: it may run Python code.
PyObject* ReadDefaults(PyObject* op, PyObject* const* field) noexcept {
  Ref value = Ref::steal(ReadField(op, field));
  if (!value && AsFunction(op)->defaults_getter != nullptr) {
    if (MaterializeDefaults(op) < 0) return nullptr;
    value = Ref::steal(ReadField(op, field));
  }
  return NewRefOrNone(value.get());
}

PyObject* qxfunction_get_defaults(PyObject* op, void*) noexcept {
  return ReadDefaults(op, &AsFunction(op)->defaults_tuple);
}

int qxfunction_set_defaults(PyObject* op, PyObject* value, void*) noexcept {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyTuple_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__defaults__ must be set to a tuple object");
    return -1;
  }
  ReplaceField(op, &AsFunction(op)->defaults_tuple, value);
  return 0;
}

PyObject* qxfunction_get_kwdefaults(PyObject* op, void*) noexcept {
  return ReadDefaults(op, &AsFunction(op)->defaults_kwdict);
}

int qxfunction_set_kwdefaults(PyObject* op, PyObject* value, void*) noexcept {
  if (value == nullptr) value = Py_None;
  if (value != Py_None && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__kwdefaults__ must be set to a dict object");
    return -1;
  }
  ReplaceField(op, &AsFunction(op)->defaults_kwdict, value);
  return 0;
}

PyObject* qxfunction_get_annotations(PyObject* op, void*) noexcept {
  return ReadOrMakeField(op, &AsFunction(op)->func_annotations, []() noexcept { return PyDict_New(); });
}

int qxfunction_set_annotations(PyObject* op, PyObject* value, void*) noexcept {
  if (value == Py_None) value = nullptr;
  if (value != nullptr && !PyDict_Check(value)) {
    PyErr_SetString(PyExc_TypeError, "__annotations__ must be set to a dict object");
    return -1;
  }
  // Null, not None: the next read then makes a fresh empty dict.
  ReplaceField(op, &AsFunction(op)->func_annotations, value);
  return 0;
}

// __module__: a plain member, except where no GIL guards it: the
// interpreter's member read takes its reference without a lock, so a
// concurrent assignment could free the value under it.
PyObject* qxfunction_get_module(PyObject* op, void*) noexcept {
  Ref module = Ref::steal(ReadField(op, &AsFunction(op)->m_module));
  return NewRefOrNone(module.get());
}

int qxfunction_set_module(PyObject* op, PyObject* value, void*) noexcept {
  ReplaceField(op, &AsFunction(op)->m_module, value);
  return 0;
}

PyGetSetDef qxfunction_getsets[] = {
    {"func_doc", qxfunction_get_doc, qxfunction_set_doc, nullptr, nullptr},
    {"__doc__", qxfunction_get_doc, qxfunction_set_doc, nullptr, nullptr},
    {"func_name", qxfunction_get_name, qxfunction_set_name, nullptr, nullptr},
    {"__name__", qxfunction_get_name, qxfunction_set_name, nullptr, nullptr},
    {"__qualname__", qxfunction_get_qualname, qxfunction_set_qualname, nullptr, nullptr},
    {"__self__", qxfunction_get_self, nullptr, nullptr, nullptr},
    {"func_dict", qxfunction_get_dict, qxfunction_set_dict, nullptr, nullptr},
    {"__dict__", qxfunction_get_dict, qxfunction_set_dict, nullptr, nullptr},
    {"func_globals", qxfunction_get_globals, nullptr, nullptr, nullptr},
    {"__globals__", qxfunction_get_globals, nullptr, nullptr, nullptr},
    {"func_closure", qxfunction_get_closure, nullptr, nullptr, nullptr},
    {"__closure__", qxfunction_get_closure, nullptr, nullptr, nullptr},
    {"func_code", qxfunction_get_code, nullptr, nullptr, nullptr},
    {"__code__", qxfunction_get_code, nullptr, nullptr, nullptr},
    {"func_defaults", qxfunction_get_defaults, qxfunction_set_defaults, nullptr, nullptr},
    {"__defaults__", qxfunction_get_defaults, qxfunction_set_defaults, nullptr, nullptr},
    {"__kwdefaults__", qxfunction_get_kwdefaults, qxfunction_set_kwdefaults, nullptr, nullptr},
    {"__annotations__", qxfunction_get_annotations, qxfunction_set_annotations, nullptr, nullptr},
    compat::kFreeThreaded
        ? PyGetSetDef{"__module__", qxfunction_get_module, qxfunction_set_module, nullptr, nullptr}
        : PyGetSetDef{nullptr, nullptr, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMemberDef qxfunction_members[] = {
    compat::kFreeThreaded ? PyMemberDef{nullptr, 0, 0, 0, nullptr}
                          : PyMemberDef{"__module__", T_OBJECT, offsetof(QxFunctionObject, m_module),
                                        PY_WRITE_RESTRICTED, nullptr},
    {nullptr, 0, 0, 0, nullptr},
};

// Pickling refers to the function by its bare name. Returns a new reference.
PyObject* qxfunction_reduce(PyObject* op, PyObject*) noexcept {
  return PyUnicode_FromString(AsFunction(op)->m_ml->ml_name);
}

PyMethodDef qxfunction_methods[] = {
    {"__reduce__", qxfunction_reduce, METH_VARARGS, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

// ---------------------------------------------------------------------------
// Slots

PyObject* qxfunction_repr(PyObject* op) noexcept {
  Ref qualname = Ref::steal(ReadField(op, &AsFunction(op)->func_qualname));
  return PyUnicode_FromFormat("<qxfunction %U at %p>", qualname.get(), op);
}

PyObject* qxfunction_descr_get(PyObject* op, PyObject* obj, PyObject* type) noexcept {
  int32_t flags = AsFunction(op)->flags;
  if (flags & StaticMethod) return Py_NewRef(op);
  if (flags & ClassMethod) {
    PyObject* owner = type != nullptr  ? type
                      : obj != nullptr ? reinterpret_cast<PyObject*>(Py_TYPE(obj))
                                       : nullptr;
    if (owner == nullptr) return Py_NewRef(op);
    return PyMethod_New(op, owner);
  }
  if (obj == nullptr || obj == Py_None) return Py_NewRef(op);
  return PyMethod_New(op, obj);
}

// Visits exactly the references that qxfunction_clear drops, in its order.
int qxfunction_traverse(PyObject* op, visitproc visit, void* arg) noexcept {
  QxFunctionObject* f = AsFunction(op);
  Py_VISIT(f->func_closure);
  Py_VISIT(f->m_module);
  Py_VISIT(f->func_dict);
  Py_VISIT(f->func_name);
  Py_VISIT(f->func_qualname);
  Py_VISIT(f->func_doc);
  Py_VISIT(f->func_globals);
  Py_VISIT(f->func_code);
  Py_VISIT(f->func_classobj);
  Py_VISIT(f->defaults_tuple);
  Py_VISIT(f->defaults_kwdict);
  Py_VISIT(f->func_annotations);
  if (f->defaults != nullptr) {
    PyObject** slots = DefaultSlots(f);
    for (int32_t i = 0; i < f->defaults_count; ++i) Py_VISIT(slots[i]);
  }
  return 0;
}

// m_ml, m_self, flags and defaults_getter stay: they own nothing, and a
// cleared object must still answer the calls a finalizer may make. The name
// and qualified name become the empty string, as the interpreter's own
// functions do, so that nothing that reads them meets null.
int qxfunction_clear(PyObject* op) noexcept {
  QxFunctionObject* f = AsFunction(op);
  Py_CLEAR(f->func_closure);
  Py_CLEAR(f->m_module);
  Py_CLEAR(f->func_dict);
  Py_XSETREF(f->func_name, EmptyString());
  Py_XSETREF(f->func_qualname, EmptyString());
  Py_CLEAR(f->func_doc);
  Py_CLEAR(f->func_globals);
  Py_CLEAR(f->func_code);
  Py_CLEAR(f->func_classobj);
  Py_CLEAR(f->defaults_tuple);
  Py_CLEAR(f->defaults_kwdict);
  Py_CLEAR(f->func_annotations);
  if (f->defaults != nullptr) {
    // Detached first, like the fields above: a finalizer run by a release
    // must not find (or free again) a half-released block.
    PyObject** slots = DefaultSlots(f);
    f->defaults = nullptr;
    for (int32_t i = 0; i < f->defaults_count; ++i) Py_XDECREF(slots[i]);
    PyObject_Free(slots);
  }
  return 0;
}

void qxfunction_dealloc(PyObject* op) noexcept {
  PyObject_GC_UnTrack(op);
  if (AsFunction(op)->m_weakreflist != nullptr) PyObject_ClearWeakRefs(op);
  qxfunction_clear(op);
  Py_CLEAR(AsFunction(op)->func_name);
  Py_CLEAR(AsFunction(op)->func_qualname);
  PyObject_GC_Del(op);
}

}  // namespace

// Not a base type: subclasses could not keep the shared layout. The version
// tag bit left Py_TPFLAGS_DEFAULT in 3.10 (the interpreter now ignores it);
// it is named here so the flag word stays the one every sharing module uses.
inline constexpr unsigned long kQxFunctionTypeFlags =
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_VERSION_TAG | Py_TPFLAGS_HAVE_GC;
static_assert(kQxFunctionTypeFlags == 0x44000, "type flags: version tag and GC only");

PyTypeObject QxFunctionType = {
    // The macro brings its own trailing comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "qx_function_or_method",
    // clang-format on
    .tp_basicsize = sizeof(QxFunctionObject),
    .tp_itemsize = 0,
    .tp_dealloc = qxfunction_dealloc,
    .tp_repr = qxfunction_repr,
    .tp_call = QxFunctionCall,
    .tp_flags = kQxFunctionTypeFlags,
    .tp_traverse = qxfunction_traverse,
    .tp_clear = qxfunction_clear,
    .tp_weaklistoffset = offsetof(QxFunctionObject, m_weakreflist),
    .tp_methods = qxfunction_methods,
    .tp_members = qxfunction_members,
    .tp_getset = qxfunction_getsets,
    .tp_descr_get = qxfunction_descr_get,
    .tp_dictoffset = offsetof(QxFunctionObject, func_dict),
};

// ---------------------------------------------------------------------------
// Creation and defaults

PyObject* QxFunctionNew(PyMethodDef* ml, int32_t flags, PyObject* qualname, PyObject* closure,
                        PyObject* module, PyObject* globals, PyObject* code) noexcept {
  assert(ml != nullptr && qualname != nullptr);
  if (g_bindings.function_type == nullptr) {
    PyErr_SetString(PyExc_SystemError, "qx_function_or_method type is not registered");
    return nullptr;
  }
  QxFunctionObject* f = PyObject_GC_New(QxFunctionObject, g_bindings.function_type);
  if (f == nullptr) return nullptr;
  f->flags = flags;
  f->m_weakreflist = nullptr;
  f->m_ml = ml;
  f->m_self = reinterpret_cast<PyObject*>(f);  // borrowed: a self-reference
  f->func_closure = Py_XNewRef(closure);
  f->m_module = Py_XNewRef(module);
  f->func_dict = nullptr;
  f->func_name = nullptr;
  f->func_qualname = Py_NewRef(qualname);
  f->func_doc = nullptr;
  f->func_globals = Py_NewRef(globals);
  f->func_code = Py_XNewRef(code);
  f->func_classobj = nullptr;
  f->defaults_count = 0;
  f->defaults = nullptr;
  f->defaults_tuple = nullptr;
  f->defaults_kwdict = nullptr;
  f->defaults_getter = nullptr;
  f->func_annotations = nullptr;
  PyObject_GC_Track(f);
  return reinterpret_cast<PyObject*>(f);
}

void QxFunctionSetDefaultsTuple(PyObject* func, PyObject* tuple) noexcept {
  assert(PyTuple_Check(tuple));
  ReplaceField(func, &AsFunction(func)->defaults_tuple, tuple);
}

}  // namespace qx
