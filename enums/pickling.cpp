// Pickle support for __Qx_EnumMeta: a checksum-guarded reduce value built on
// the module function __qx_unpickle___Qx_EnumMeta, and state restore.
#include "enums/pickling.h"

#include <initializer_list>
#include <utility>

#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_state.h"
#include "enums/internal.h"
#include "runtime/arg_parsing.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/conversions.h"
#include "runtime/exceptions.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace qx {

namespace {

constexpr const char* kReduceFunction = "EnumBase.__Qx_EnumMeta.__reduce_qx__";
constexpr const char* kSetStateFunction = "EnumBase.__Qx_EnumMeta.__setstate_qx__";
constexpr const char* kUnpickleFunction = "EnumBase.__qx_unpickle___Qx_EnumMeta";
constexpr const char* kSetStateHelper = "EnumBase.__qx_unpickle___Qx_EnumMeta__set_state";

PyObject** const kUnpickleArgNames[] = {&g_names.qx_type, &g_names.qx_checksum, &g_names.qx_state, nullptr};
constexpr int32_t kUnpickleMissingLines[] = {2608, 2583, 2589};
const ArgSpec kUnpickleArgs =
    MakeArgSpec("__qx_unpickle___Qx_EnumMeta", 1, kUnpickleArgNames, 3, kUnpickleMissingLines, 2593, 2608);

// Steps of SetupPickling; -1 may return without an exception set, which the
// caller turns into its RuntimeError.
int MovePicklingMethods(PyTypeObject* type) noexcept {
  PyObject* type_obj = reinterpret_cast<PyObject*>(type);
  const NameObjects& n = g_names;

  // _PyType_Lookup (private, in every supported version): the MRO lookup
  // without binding, which no public call offers.
  // A __getstate__ of the type's own means pickling is handled already.
  // object has one of its own since 3.11; that one does not count.
  PyObject* getstate = _PyType_Lookup(type, n.dunder_getstate);
  if (getstate != nullptr && getstate != _PyType_Lookup(&PyBaseObject_Type, n.dunder_getstate)) {
    return 0;
  }

  PyObject* object_reduce_ex = _PyType_Lookup(&PyBaseObject_Type, n.dunder_reduce_ex);
  if (object_reduce_ex == nullptr) return -1;
  Ref reduce_ex = Ref::steal(GetAttrByStr(type_obj, n.dunder_reduce_ex));
  if (!reduce_ex) return -1;
  if (reduce_ex.get() != object_reduce_ex) return 0;

  PyObject* object_reduce = _PyType_Lookup(&PyBaseObject_Type, n.dunder_reduce);
  if (object_reduce == nullptr) return -1;
  Ref reduce = Ref::steal(GetAttrByStr(type_obj, n.dunder_reduce));
  if (!reduce) return -1;
  if (reduce.get() != object_reduce && !MethodHasName(reduce.get(), n.dunder_reduce_qx)) {
    return 0;
  }

  Ref reduce_qx = Ref::steal(GetAttrByStr(type_obj, n.dunder_reduce_qx));
  if (!reduce_qx) return -1;
  if (PyDict_SetItem(type->tp_dict, n.dunder_reduce, reduce_qx.get()) < 0) return -1;
  if (PyDict_DelItem(type->tp_dict, n.dunder_reduce_qx) < 0) return -1;

  Ref setstate = Ref::steal(GetAttrByStr(type_obj, n.dunder_setstate));
  if (!setstate) PyErr_Clear();
  if (!setstate || MethodHasName(setstate.get(), n.dunder_setstate_qx)) {
    Ref setstate_qx = Ref::steal(GetAttrByStr(type_obj, n.dunder_setstate_qx));
    if (!setstate_qx) return -1;
    if (PyDict_SetItem(type->tp_dict, n.dunder_setstate, setstate_qx.get()) < 0) return -1;
    if (PyDict_DelItem(type->tp_dict, n.dunder_setstate_qx) < 0) return -1;
  }
  PyType_Modified(type);
  return 0;
}

// A new tuple holding new references to the given objects.
PyObject* NewTuple(std::initializer_list<PyObject*> items) noexcept {
  PyObject* t = PyTuple_New(static_cast<Py_ssize_t>(items.size()));
  if (t == nullptr) return nullptr;
  Py_ssize_t i = 0;
  for (PyObject* item : items) PyTuple_SET_ITEM(t, i++, Py_NewRef(item));
  return t;
}

constexpr struct {
  int32_t dict = 1791;
  int32_t state_tuple = 1814;
  int32_t state_add = 1819;
  int32_t func_with_state = 1874;
  int32_t args_with_state = 1876;
  int32_t result_with_state = 1887;
  int32_t func = 1920;
  int32_t args = 1922;
  int32_t result = 1933;
} kReduceLines{};

PyObject* ReduceBody(PyObject* self, Failure* fail) noexcept {
  const NameObjects& n = g_names;
  PyObject* self_type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref state = Ref::borrow(g_common.empty_tuple);
  Ref dict = Ref::steal(GetAttrOrDefault(self, n.dunder_dict, Py_None));
  if (!dict) {
    return fail->At(4, kReduceLines.dict);
  }

  if (dict.get() != Py_None) {
    // The state travels separately: pickle calls the function with None and
    // hands (__dict__,) to the new object's __setstate__.
    Ref one = Ref::steal(NewTuple({dict.get()}));
    if (!one) {
      return fail->At(6, kReduceLines.state_tuple);
    }
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(state.get(), one.get()));
    if (!grown) {
      return fail->At(6, kReduceLines.state_add);
    }
    state = std::move(grown);
    Ref func = Ref::steal(LookupModuleGlobal(n.qx_unpickle_Qx_EnumMeta));
    if (!func) {
      return fail->At(11, kReduceLines.func_with_state);
    }
    Ref args = Ref::steal(NewTuple({self_type, g_enums.checksum_int, Py_None}));
    if (!args) {
      return fail->At(11, kReduceLines.args_with_state);
    }
    PyObject* result = NewTuple({func.get(), args.get(), state.get()});
    if (result == nullptr) return fail->At(11, kReduceLines.result_with_state);
    return result;
  }

  Ref func = Ref::steal(LookupModuleGlobal(n.qx_unpickle_Qx_EnumMeta));
  if (!func) {
    return fail->At(13, kReduceLines.func);
  }
  Ref args = Ref::steal(NewTuple({self_type, g_enums.checksum_int, state.get()}));
  if (!args) {
    return fail->At(13, kReduceLines.args);
  }
  PyObject* result = NewTuple({func.get(), args.get()});
  if (result == nullptr) return fail->At(13, kReduceLines.result);
  return result;
}

constexpr struct {
  int32_t none_state = 2889;
  int32_t dict_probe = 2890;
  int32_t dict = 2909;
  int32_t update_attr = 2911;
  CallSiteLines update_call = {2931, 2938, 2947, 2954, 2960};
} kSetStateLines{};

// state is an exact tuple or None (the callers have checked).
PyObject* SetStateBody(PyObject* obj, PyObject* state, Failure* fail) noexcept {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return fail->At(10, kSetStateLines.none_state);
  }
  if (PyTuple_GET_SIZE(state) == 0) Py_RETURN_NONE;
  // Only a missing attribute means "no __dict__". Any other error of the
  // lookup (MemoryError, RecursionError, a property that raises) is a
  // failure: swallowing it would report a state that was never applied.
  {
    Ref probe = Ref::steal(GetAttrByStr(obj, g_names.dunder_dict));
    if (!probe) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return fail->At(10, kSetStateLines.dict_probe);
      }
      PyErr_Clear();
      Py_RETURN_NONE;
    }
  }

  Ref dict = Ref::steal(GetAttrByStr(obj, g_names.dunder_dict));
  if (!dict) {
    return fail->At(11, kSetStateLines.dict);
  }
  Ref update = Ref::steal(GetAttrByStr(dict.get(), g_names.update));
  if (!update) {
    return fail->At(11, kSetStateLines.update_attr);
  }
  dict.reset();
  Ref item = Ref::steal(FirstTupleItem(state));
  CallPath path = CallPath::OneArg;
  Ref result;
  if (item) {
    PyObject* argv[] = {item.get()};
    result = Ref::steal(CallMethodArgs(std::move(update), argv, 1, &path));
  }
  if (!result) {
    return fail->At(11, LineForPath(path, kSetStateLines.update_call));
  }
  Py_RETURN_NONE;
}

// Applies a pickled state (a tuple, or None) to obj; a new reference to None
// or null. Adds its own traceback entry on failure.
PyObject* UnpickleEnumMetaSetState(PyObject* obj, PyObject* state) noexcept {
  return ReportFailure(kSetStateHelper, [&](Failure* fail) { return SetStateBody(obj, state, fail); });
}

constexpr struct {
  int32_t from_list = 2651;
  int32_t import = 2656;
  int32_t import_name = 2659;
  int32_t number = 2673;
  int32_t message = 2675;
  CallSiteLines make_error = {2690, 2697, 2706, 2713, 2719};
  int32_t raise = 2727;
} kChecksumErrorLines{};

PyObject* RaiseChecksumError(int32_t checksum, Failure* fail) noexcept {
  const NameObjects& n = g_names;
  Ref from_list = Ref::steal(compat::NewList(1));
  if (!from_list) {
    return fail->At(3, kChecksumErrorLines.from_list);
  }
  PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(n.PickleError));
  Ref module = Ref::steal(ImportModule(n.pickle, from_list.get()));
  if (!module) {
    return fail->At(3, kChecksumErrorLines.import);
  }
  from_list.reset();
  Ref error_class = Ref::steal(ImportNameFrom(module.get(), n.PickleError));
  if (!error_class) {
    return fail->At(3, kChecksumErrorLines.import_name);
  }
  module.reset();

  Ref number = Ref::steal(PyLong_FromLong(checksum));
  if (!number) {
    return fail->At(4, kChecksumErrorLines.number);
  }
  Ref message = Ref::steal(PyUnicode_Format(n.fmt_incompatible_checksums, number.get()));
  if (!message) {
    return fail->At(4, kChecksumErrorLines.message);
  }
  number.reset();
  PyObject* argv[] = {message.get()};
  CallPath path = CallPath::OneArg;
  Ref exc = Ref::steal(CallMethodArgs(std::move(error_class), argv, 1, &path));
  if (!exc) {
    return fail->At(4, LineForPath(path, kChecksumErrorLines.make_error));
  }
  RaiseObject(exc.get());
  return fail->At(4, kChecksumErrorLines.raise);
}

constexpr struct {
  int32_t meta_new = 2744;
  CallSiteLines meta_new_call = {2757, 2763, 2771, 2777, 2783};
  int32_t state_type = 2810;
  int32_t set_state = 2811;
  int32_t checksum = 2603;  // converting the checksum, before the body
} kUnpickleLines{};

PyObject* UnpickleBody(PyObject* type, int32_t checksum, PyObject* state, Failure* fail) noexcept {
  if (checksum != kPickleChecksum) return RaiseChecksumError(checksum, fail);

  Ref meta_new =
      Ref::steal(GetAttrByStr(reinterpret_cast<PyObject*>(g_enums.enum_meta_type), g_names.dunder_new));
  if (!meta_new) {
    return fail->At(5, kUnpickleLines.meta_new);
  }
  PyObject* argv[] = {type};
  CallPath path = CallPath::OneArg;
  Ref result = Ref::steal(CallMethodArgs(std::move(meta_new), argv, 1, &path));
  if (!result) {
    return fail->At(5, LineForPath(path, kUnpickleLines.meta_new_call));
  }

  if (state != Py_None) {
    if (!PyTuple_CheckExact(state)) {
      PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
      return fail->At(7, kUnpickleLines.state_type);
    }
    Ref ignored = Ref::steal(UnpickleEnumMetaSetState(result.get(), state));
    if (!ignored) {
      return fail->At(7, kUnpickleLines.set_state);
    }
  }
  return result.release();
}

// Methods of __Qx_EnumMeta.
PyObject* enummeta_reduce_qx(PyObject* self, PyObject* /*unused*/) noexcept {
  return ReportFailure(kReduceFunction, [&](Failure* fail) { return ReduceBody(self, fail); });
}

constexpr struct {
  int32_t state_type = 1998;
  int32_t set_state = 1999;
} kSetStateQxLines{};

PyObject* enummeta_setstate_qx(PyObject* self, PyObject* state) noexcept {
  return ReportFailure(kSetStateFunction, [&](Failure* fail) -> PyObject* {
    if (state != Py_None && !PyTuple_CheckExact(state)) {
      PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
      return fail->At(15, kSetStateQxLines.state_type);
    }
    Ref ignored = Ref::steal(UnpickleEnumMetaSetState(self, state));
    if (!ignored) return fail->At(15, kSetStateQxLines.set_state);
    Py_RETURN_NONE;
  });
}

// The module-level function; m_self is null.
PyObject* enummeta_unpickle(PyObject* /*module*/, PyObject* args, PyObject* kwds) noexcept {
  return ReportFailure(kUnpickleFunction, [&](Failure* fail) -> PyObject* {
    Ref values[3];
    if (UnpackArguments(kUnpickleArgs, args, kwds, values, fail) < 0) return nullptr;
    const int32_t checksum = ToInt32(values[1].get());
    if (checksum == -1 && PyErr_Occurred()) return fail->At(1, kUnpickleLines.checksum);
    return UnpickleBody(values[0].get(), checksum, values[2].get(), fail);
  });
}

}  // namespace

PyMethodDef enummeta_methods[] = {
    {"__reduce_qx__", enummeta_reduce_qx, METH_NOARGS, nullptr},
    {"__setstate_qx__", enummeta_setstate_qx, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

int CreatePicklingConstants() noexcept {
  return MakeOncePerOwner(&g_enums.checksum_int, [] { return PyLong_FromLong(kPickleChecksum); }) ? 0 : -1;
}

PyMethodDef g_unpickle_def = {"__qx_unpickle___Qx_EnumMeta", reinterpret_cast<PyCFunction>(enummeta_unpickle),
                              METH_VARARGS | METH_KEYWORDS, nullptr};

int MethodHasName(PyObject* obj, PyObject* name) noexcept {
  Ref own_name = Ref::steal(GetAttrByStr(obj, g_names.dunder_name));
  if (!own_name) {
    PyErr_Clear();
    return 0;
  }
  int eq = PyObject_RichCompareBool(own_name.get(), name, Py_EQ);
  if (eq < 0) {
    PyErr_Clear();
    return 0;
  }
  return eq;
}

int SetupPickling(PyTypeObject* type) noexcept {
  if (MovePicklingMethods(type) == 0) return 0;
  if (!PyErr_Occurred()) {
    PyErr_Format(PyExc_RuntimeError, "Unable to initialize pickling for %s", type->tp_name);
  }
  return -1;
}

}  // namespace qx
