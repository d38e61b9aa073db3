// Methods of __Qx_EnumBase, the int-based enumeration base that finds an
// existing member by value or creates a named one.
#include "enums/enum_base.h"

#include <cassert>
#include <iterator>
#include <span>
#include <utility>

#include "core/names.h"
#include "core/owned_state.h"
#include "core/sync.h"
#include "enums/enum_meta.h"
#include "enums/enum_state.h"
#include "runtime/arg_parsing.h"
#include "runtime/bindings.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/conversions.h"
#include "runtime/exceptions.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"

namespace qx {

namespace {

constexpr const char* kNewFunction = "EnumBase.__Qx_EnumBase.__new__";
constexpr const char* kReprFunction = "EnumBase.__Qx_EnumBase.__repr__";
constexpr const char* kStrFunction = "EnumBase.__Qx_EnumBase.__str__";

PyObject** const kNewArgNames[] = {&g_names.cls, &g_names.value, &g_names.name, nullptr};
// Only `value` is a required parameter that a keyword can leave missing with
// a line of its own; `name` is optional.
constexpr int32_t kNewMissingLines[] = {2095, 2067, 2095};
const ArgSpec kNewArgs = MakeArgSpec("__new__", 28, kNewArgNames, 2, kNewMissingLines, 2077, 2095);

// Next item of the member search: lists and tuples are walked by index,
// re-reading the length at each step; anything else through its iterator.
// Returns 1 with *item set, 0 at the end, -1 on error.
int NextCandidate(PyObject* cls, PyObject* it, Py_ssize_t* index, Ref* item) noexcept {
  if (it == nullptr) {
    if (PyTuple_CheckExact(cls)) {
      if (*index >= PyTuple_GET_SIZE(cls)) return 0;
      *item = Ref::borrow(PyTuple_GET_ITEM(cls, *index));
    } else {
      // Another thread may change the list: its item is taken under the
      // list's lock, and an index past its end is the end of the walk.
      if (*index >= PyList_GET_SIZE(cls)) return 0;
      *item = Ref::steal(compat::ListGetItemRef(cls, *index));
      if (!*item) {
        PyErr_Clear();
        return 0;
      }
    }
    ++*index;
    return 1;
  }
  *item = Ref::steal(Py_TYPE(it)->tp_iternext(it));
  if (*item) return 1;
  PyObject* pending = PyErr_Occurred();
  if (pending == nullptr) return 0;
  if (!ErrorClassMatches(pending, PyExc_StopIteration)) return -1;
  PyErr_Clear();
  return 0;
}

constexpr struct {
  Position iter{29, 2136};
  Position next{29, 2165};
  Position compare{30, 2181};
  Position truth{30, 2182};
  Position format{33, 2236};
  Position make_error{33, 2238};
  Position raise{33, 2243};
  Position int_new{34, 2261};
  CallSite int_new_call{34, {2303, 2278, 2286, 2292, 2303}};
  Position set_name{35, 2318};
  Position set_class_attr{36, 2327};
  Position members{37, 2336};
  Position store_member{37, 2338};
} kNew{};

PyObject* NewBody(PyObject* cls, PyObject* value, PyObject* name, Failure* fail) noexcept {
  // The first member in registry order that compares equal wins, whatever
  // name was passed.
  Ref it;
  if (!PyList_CheckExact(cls) && !PyTuple_CheckExact(cls)) {
    it = Ref::steal(PyObject_GetIter(cls));
    if (!it) {
      return fail->At(kNew.iter);
    }
  }
  Py_ssize_t index = 0;
  for (;;) {
    Ref v;
    int more = NextCandidate(cls, it.get(), &index, &v);
    if (more < 0) {
      return fail->At(kNew.next);
    }
    if (more == 0) break;
    Ref eq = Ref::steal(PyObject_RichCompare(v.get(), value, Py_EQ));
    if (!eq) {
      return fail->At(kNew.compare);
    }
    int truth = TruthValue(eq.get());
    if (truth < 0) {
      return fail->At(kNew.truth);
    }
    if (truth) return v.release();
  }
  it.reset();

  if (name == Py_None) {
    // value is the right operand of % itself, so a tuple value supplies the
    // format arguments.
    Ref message = Ref::steal(PyUnicode_Format(g_names.fmt_unknown_enum_value, value));
    if (!message) {
      return fail->At(kNew.format);
    }
    Ref value_error = Ref::steal(ReadShared(&g_enums.builtin_ValueError));
    Ref exc = Ref::steal(CallOneArg(value_error.get(), message.get()));
    if (!exc) {
      return fail->At(kNew.make_error);
    }
    RaiseObject(exc.get());
    return fail->At(kNew.raise);
  }

  Ref int_new = Ref::steal(GetAttrByStr(reinterpret_cast<PyObject*>(&PyLong_Type), g_names.dunder_new));
  if (!int_new) {
    return fail->At(kNew.int_new);
  }
  PyObject* argv[] = {cls, value};
  CallPath path = CallPath::Object;
  Ref res = Ref::steal(CallMethodArgs(std::move(int_new), argv, 2, &path));
  if (!res) {
    return fail->At(kNew.int_new_call, path);
  }
  if (SetAttrByStr(res.get(), g_names.name, name) < 0) {
    return fail->At(kNew.set_name);
  }
  if (PyObject_SetAttr(cls, name, res.get()) == -1) {
    return fail->At(kNew.set_class_attr);
  }
  Ref members = Ref::steal(GetAttrByStr(cls, g_names.dunder_members));
  if (!members) {
    return fail->At(kNew.members);
  }
  // Under the registry's section, which a walk over it takes too: without
  // the GIL, free-threaded 3.13's OrderedDict links a new key into its order
  // outside its own lock, and two threads appending at once can lose a
  // member. The store runs Python code (the key's __hash__ and __eq__, a
  // replaced value's finalizer); should it block, the interpreter suspends
  // the section, so no other thread waits on this one.
  int stored;
  {
    StripedSection section(members.get());
    stored = PyObject_SetItem(members.get(), name, res.get());
  }
  if (stored < 0) {
    return fail->At(kNew.store_member);
  }
  return res.release();
}

// Failure points of one of the two formatting methods.
struct FormatPositions {
  Position class_attr;
  Position class_name;
  Position name_attr;
  Position tuple_alloc;
  Position format;
};

// "<Class.name: value>" when with_value, else "Class.name".
PyObject* FormatBody(PyObject* self, PyObject* fmt, bool with_value, const FormatPositions& at,
                     Failure* fail) noexcept {
  Ref cls = Ref::steal(GetAttrByStr(self, g_names.dunder_class));
  if (!cls) {
    return fail->At(at.class_attr);
  }
  Ref class_name = Ref::steal(GetAttrByStr(cls.get(), g_names.dunder_name));
  if (!class_name) {
    return fail->At(at.class_name);
  }
  cls.reset();
  Ref member_name = Ref::steal(GetAttrByStr(self, g_names.name));
  if (!member_name) {
    return fail->At(at.name_attr);
  }
  Ref t = Ref::steal(PyTuple_New(with_value ? 3 : 2));
  if (!t) {
    return fail->At(at.tuple_alloc);
  }
  PyTuple_SET_ITEM(t.get(), 0, class_name.release());
  PyTuple_SET_ITEM(t.get(), 1, member_name.release());
  if (with_value) PyTuple_SET_ITEM(t.get(), 2, Py_NewRef(self));
  PyObject* result = PyUnicode_Format(fmt, t.get());
  if (result == nullptr) return fail->At(at.format);
  return result;
}

constexpr FormatPositions kRepr = {{40, 2415}, {40, 2417}, {40, 2420}, {40, 2422}, {40, 2433}};
constexpr FormatPositions kStr = {{42, 2499}, {42, 2501}, {42, 2504}, {42, 2506}, {42, 2514}};

// Entry points. The function object passes itself as the first argument;
// __new__ is a static method, so the class arrives in args.
PyObject* enumbase_new(PyObject* /*func*/, PyObject* args, PyObject* kwds) noexcept {
  return ReportFailure(kNewFunction, [&](Failure* fail) -> PyObject* {
    Ref values[3];
    values[2] = Ref::borrow(Py_None);  // the default of `name`
    if (UnpackArguments(kNewArgs, args, kwds, values, fail) < 0) return nullptr;
    return NewBody(values[0].get(), values[1].get(), values[2].get(), fail);
  });
}

PyObject* enumbase_repr(PyObject* /*func*/, PyObject* self) noexcept {
  return ReportFailure(kReprFunction, [&](Failure* fail) {
    return FormatBody(self, g_names.fmt_member_repr, true, kRepr, fail);
  });
}

PyObject* enumbase_str(PyObject* /*func*/, PyObject* self) noexcept {
  return ReportFailure(
      kStrFunction, [&](Failure* fail) { return FormatBody(self, g_names.fmt_dotted, false, kStr, fail); });
}

}  // namespace

namespace {

using N = NameObjects;
FallbackMethod enumbase_methods[] = {
    {.def = {"__new__", reinterpret_cast<PyCFunction>(enumbase_new), METH_VARARGS | METH_KEYWORDS, nullptr},
     .is_static = true,
     .source_line = 28,
     .qualname = &N::Qx_EnumBase_new,
     .name = &N::dunder_new,
     .argcount = 3,
     .nlocals = 5,
     .varnames = {&N::cls, &N::value, &N::name, &N::v, &N::res},
     .none_defaults = 1},
    {.def = {"__repr__", enumbase_repr, METH_O, nullptr},
     .source_line = 39,
     .qualname = &N::Qx_EnumBase_repr,
     .name = &N::dunder_repr,
     .argcount = 1,
     .nlocals = 1,
     .varnames = {&N::self}},
    {.def = {"__str__", enumbase_str, METH_O, nullptr},
     .source_line = 41,
     .qualname = &N::Qx_EnumBase_str,
     .name = &N::dunder_str,
     .argcount = 1,
     .nlocals = 1,
     .varnames = {&N::self}},
};
static_assert(std::size(enumbase_methods) <= kMaxFallbackMethods, "raise kMaxFallbackMethods");

}  // namespace

namespace {

PyObject* NewCode(int argcount, int nlocals, PyObject* varnames, PyObject* name, int firstlineno) noexcept {
  PyObject* e = g_common.empty_tuple;
  PyObject* b = g_common.empty_bytes;
  return reinterpret_cast<PyObject*>(compat::NewCode(argcount, nlocals, CO_OPTIMIZED | CO_NEWLOCALS, b, e, e,
                                                     varnames, e, e, g_names.enumsupport, name, name,
                                                     firstlineno, b, b));
}

// The code object of a fallback-class method, from its row.
PyObject* NewMethodCode(const FallbackMethod& method) noexcept {
  const NameObjects& n = g_names;
  Ref varnames = Ref::steal(PyTuple_New(method.nlocals));
  if (!varnames) return nullptr;
  for (int i = 0; i < method.nlocals; ++i) {
    PyTuple_SET_ITEM(varnames.get(), i, Py_NewRef(n.*method.varnames[i]));
  }
  return NewCode(method.argcount, method.nlocals, varnames.get(), n.*method.name, method.source_line);
}

PyObject* NewNoneDefaults(int count) noexcept {
  PyObject* defaults = PyTuple_New(count);
  if (defaults == nullptr) return nullptr;
  for (int i = 0; i < count; ++i) PyTuple_SET_ITEM(defaults, i, Py_NewRef(Py_None));
  return defaults;
}

}  // namespace

std::span<FallbackMethod> EnumBaseMethods() noexcept { return enumbase_methods; }

int CacheEnumBuiltins() noexcept {
  // Looked up on every attempt (it is this interpreter's builtin), but a
  // failed lookup keeps the one found before.
  PyObject* value_error = GetAttrByStr(g_bindings.builtins_module, g_names.ValueError);
  if (value_error == nullptr) {
    PyErr_Format(PyExc_NameError, "name '%U' is not defined", g_names.ValueError);
    return -1;
  }
  ReplaceOwned(&g_enums.builtin_ValueError, value_error);
  return 0;
}

int CreateFallbackCode() noexcept {
  const std::span<FallbackMethod> methods = EnumBaseMethods();
  for (size_t i = 0; i < methods.size(); ++i) {
    const FallbackMethod& method = methods[i];
    assert(method.nlocals <= kMaxFallbackLocals && method.argcount <= method.nlocals);
    if (!MakeOncePerOwner(&g_enums.fallback_code[i], [&] { return NewMethodCode(method); })) return -1;
    if (method.none_defaults > 0 && !MakeOncePerOwner(&g_enums.fallback_defaults[i], [&] {
          return NewNoneDefaults(method.none_defaults);
        })) {
      return -1;
    }
  }
  return 0;
}

}  // namespace qx
