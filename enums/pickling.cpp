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
  Position dict{4, 1791};
  Position state_tuple{6, 1814};
  Position state_add{6, 1819};
  Position func_with_state{11, 1874};
  Position args_with_state{11, 1876};
  Position result_with_state{11, 1887};
  Position func{13, 1920};
  Position args{13, 1922};
  Position result{13, 1933};
} kReduce{};

PyObject* ReduceBody(PyObject* self, Failure* fail) noexcept {
  const NameObjects& n = g_names;
  PyObject* self_type = reinterpret_cast<PyObject*>(Py_TYPE(self));
  Ref state = Ref::borrow(g_common.empty_tuple);
  Ref dict = Ref::steal(GetAttrOrDefault(self, n.dunder_dict, Py_None));
  if (!dict) {
    return fail->At(kReduce.dict);
  }

  if (dict.get() != Py_None) {
    // The state travels separately: pickle calls the function with None and
    // hands (__dict__,) to the new object's __setstate__.
    Ref one = Ref::steal(NewTuple({dict.get()}));
    if (!one) {
      return fail->At(kReduce.state_tuple);
    }
    Ref grown = Ref::steal(PyNumber_InPlaceAdd(state.get(), one.get()));
    if (!grown) {
      return fail->At(kReduce.state_add);
    }
    state = std::move(grown);
    Ref func = Ref::steal(LookupModuleGlobal(n.qx_unpickle_Qx_EnumMeta));
    if (!func) {
      return fail->At(kReduce.func_with_state);
    }
    Ref args = Ref::steal(NewTuple({self_type, g_enums.checksum_int, Py_None}));
    if (!args) {
      return fail->At(kReduce.args_with_state);
    }
    PyObject* result = NewTuple({func.get(), args.get(), state.get()});
    if (result == nullptr) return fail->At(kReduce.result_with_state);
    return result;
  }

  Ref func = Ref::steal(LookupModuleGlobal(n.qx_unpickle_Qx_EnumMeta));
  if (!func) {
    return fail->At(kReduce.func);
  }
  Ref args = Ref::steal(NewTuple({self_type, g_enums.checksum_int, state.get()}));
  if (!args) {
    return fail->At(kReduce.args);
  }
  PyObject* result = NewTuple({func.get(), args.get()});
  if (result == nullptr) return fail->At(kReduce.result);
  return result;
}

constexpr struct {
  Position none_state{10, 2889};
  Position dict_probe{10, 2890};
  Position dict{11, 2909};
  Position update_attr{11, 2911};
  CallSite update_call{11, {2931, 2938, 2947, 2954, 2960}};
} kSetState{};

// state is an exact tuple or None (the callers have checked).
PyObject* SetStateBody(PyObject* obj, PyObject* state, Failure* fail) noexcept {
  if (state == Py_None) {
    PyErr_SetString(PyExc_TypeError, "object of type 'NoneType' has no len()");
    return fail->At(kSetState.none_state);
  }
  if (PyTuple_GET_SIZE(state) == 0) Py_RETURN_NONE;
  // Only a missing attribute means "no __dict__". Any other error of the
  // lookup (MemoryError, RecursionError, a property that raises) is a
  // failure: swallowing it would report a state that was never applied.
  {
    Ref probe = Ref::steal(GetAttrByStr(obj, g_names.dunder_dict));
    if (!probe) {
      if (!PyErr_ExceptionMatches(PyExc_AttributeError)) {
        return fail->At(kSetState.dict_probe);
      }
      PyErr_Clear();
      Py_RETURN_NONE;
    }
  }

  Ref dict = Ref::steal(GetAttrByStr(obj, g_names.dunder_dict));
  if (!dict) {
    return fail->At(kSetState.dict);
  }
  Ref update = Ref::steal(GetAttrByStr(dict.get(), g_names.update));
  if (!update) {
    return fail->At(kSetState.update_attr);
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
    return fail->At(kSetState.update_call, path);
  }
  Py_RETURN_NONE;
}

// Applies a pickled state (a tuple, or None) to obj; a new reference to None
// or null. Adds its own traceback entry on failure.
PyObject* UnpickleEnumMetaSetState(PyObject* obj, PyObject* state) noexcept {
  return ReportFailure(kSetStateHelper, [&](Failure* fail) { return SetStateBody(obj, state, fail); });
}

constexpr struct {
  Position from_list{3, 2651};
  Position import{3, 2656};
  Position import_name{3, 2659};
  Position number{4, 2673};
  Position message{4, 2675};
  CallSite make_error{4, {2690, 2697, 2706, 2713, 2719}};
  Position raise{4, 2727};
} kChecksumError{};

PyObject* RaiseChecksumError(int32_t checksum, Failure* fail) noexcept {
  const NameObjects& n = g_names;
  Ref from_list = Ref::steal(compat::NewList(1));
  if (!from_list) {
    return fail->At(kChecksumError.from_list);
  }
  PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(n.PickleError));
  Ref module = Ref::steal(ImportModule(n.pickle, from_list.get()));
  if (!module) {
    return fail->At(kChecksumError.import);
  }
  from_list.reset();
  Ref error_class = Ref::steal(ImportNameFrom(module.get(), n.PickleError));
  if (!error_class) {
    return fail->At(kChecksumError.import_name);
  }
  module.reset();

  Ref number = Ref::steal(PyLong_FromLong(checksum));
  if (!number) {
    return fail->At(kChecksumError.number);
  }
  Ref message = Ref::steal(PyUnicode_Format(n.fmt_incompatible_checksums, number.get()));
  if (!message) {
    return fail->At(kChecksumError.message);
  }
  number.reset();
  PyObject* argv[] = {message.get()};
  CallPath path = CallPath::OneArg;
  Ref exc = Ref::steal(CallMethodArgs(std::move(error_class), argv, 1, &path));
  if (!exc) {
    return fail->At(kChecksumError.make_error, path);
  }
  RaiseObject(exc.get());
  return fail->At(kChecksumError.raise);
}

constexpr struct {
  Position meta_new{5, 2744};
  CallSite meta_new_call{5, {2757, 2763, 2771, 2777, 2783}};
  Position state_type{7, 2810};
  Position set_state{7, 2811};
  Position checksum{1, 2603};  // converting the checksum, before the body
} kUnpickle{};

PyObject* UnpickleBody(PyObject* type, int32_t checksum, PyObject* state, Failure* fail) noexcept {
  if (checksum != kPickleChecksum) return RaiseChecksumError(checksum, fail);

  Ref meta_new =
      Ref::steal(GetAttrByStr(reinterpret_cast<PyObject*>(g_enums.enum_meta_type), g_names.dunder_new));
  if (!meta_new) {
    return fail->At(kUnpickle.meta_new);
  }
  PyObject* argv[] = {type};
  CallPath path = CallPath::OneArg;
  Ref result = Ref::steal(CallMethodArgs(std::move(meta_new), argv, 1, &path));
  if (!result) {
    return fail->At(kUnpickle.meta_new_call, path);
  }

  if (state != Py_None) {
    if (!PyTuple_CheckExact(state)) {
      PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
      return fail->At(kUnpickle.state_type);
    }
    Ref ignored = Ref::steal(UnpickleEnumMetaSetState(result.get(), state));
    if (!ignored) {
      return fail->At(kUnpickle.set_state);
    }
  }
  return result.release();
}

// Methods of __Qx_EnumMeta.
PyObject* enummeta_reduce_qx(PyObject* self, PyObject* /*unused*/) noexcept {
  return ReportFailure(kReduceFunction, [&](Failure* fail) { return ReduceBody(self, fail); });
}

constexpr struct {
  Position state_type{15, 1998};
  Position set_state{15, 1999};
} kSetStateQx{};

PyObject* enummeta_setstate_qx(PyObject* self, PyObject* state) noexcept {
  return ReportFailure(kSetStateFunction, [&](Failure* fail) -> PyObject* {
    if (state != Py_None && !PyTuple_CheckExact(state)) {
      PyErr_Format(PyExc_TypeError, "Expected %.16s, got %.200s", "tuple", Py_TYPE(state)->tp_name);
      return fail->At(kSetStateQx.state_type);
    }
    Ref ignored = Ref::steal(UnpickleEnumMetaSetState(self, state));
    if (!ignored) return fail->At(kSetStateQx.set_state);
    Py_RETURN_NONE;
  });
}

// The module-level function; m_self is null.
PyObject* enummeta_unpickle(PyObject* /*module*/, PyObject* args, PyObject* kwds) noexcept {
  return ReportFailure(kUnpickleFunction, [&](Failure* fail) -> PyObject* {
    Ref values[3];
    if (UnpackArguments(kUnpickleArgs, args, kwds, values, fail) < 0) return nullptr;
    const int32_t checksum = ToInt32(values[1].get());
    if (checksum == -1 && PyErr_Occurred()) return fail->At(kUnpickle.checksum);
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

PyMethodDef enummeta_unpickle_def = {"__qx_unpickle___Qx_EnumMeta",
                                     reinterpret_cast<PyCFunction>(enummeta_unpickle),
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
