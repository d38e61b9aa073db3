// The module body: builds the fallback enumeration base, then Weekdays with
// the interpreter's IntEnum, and publishes the members.
#include "module/body.h"

#include <iterator>
#include <span>

#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_base.h"
#include "enums/enum_state.h"
#include "enums/pickling.h"
#include "function/function_object.h"
#include "module/class_creation.h"
#include "module/module_state.h"
#include "runtime/bindings.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"

namespace qx {

namespace {

// Replaces a module-level variable, releasing the previous value (unless
// forgotten: see ReplaceOwned).
void Assign(PyObject** slot, PyObject* value) noexcept { ReplaceOwned(slot, Py_NewRef(value)); }

int NamespaceStore(PyObject* ns, PyObject* key, PyObject* value) noexcept {
  if (PyDict_CheckExact(ns)) {
    return PyDict_SetItem(ns, key, value);  // the name's hash is cached
  }
  return PyObject_SetItem(ns, key, value);
}

// `from <module> import <name>`, relative to the package first.
PyObject* ImportFrom(PyObject* module_name, PyObject* name) noexcept {
  Ref from_list = Ref::steal(compat::NewList(1));
  if (!from_list) return nullptr;
  PyList_SET_ITEM(from_list.get(), 0, Py_NewRef(name));
  Ref module = Ref::steal(ImportModule(module_name, from_list.get()));
  if (!module) return nullptr;
  return ImportNameFrom(module.get(), name);
}

// Makes one method of the fallback class, from its row and the constants
// made for it, and stores it in the namespace.
int AddMethod(PyObject* ns, FallbackMethod& method, PyObject* code, PyObject* defaults) noexcept {
  const NameObjects& n = g_names;
  Ref func = Ref::steal(QxFunctionNew(&method.def, method.is_static ? StaticMethod : 0, n.*method.qualname,
                                      nullptr, n.EnumBase, g_bindings.module_dict, code));
  if (!func) return -1;
  if (defaults != nullptr) QxFunctionSetDefaultsTuple(func.get(), defaults);
  return NamespaceStore(ns, n.*method.name, func.get());
}

// The class statement of __Qx_EnumBase; a method's own failure point is the
// line of its row.
constexpr struct {
  Position class_statement{26};
  Position metaclass{27};
} kFallbackBase{};

int BuildFallbackBase(Failure* fail) noexcept {
  NameObjects& n = g_names;
  Ref bases = Ref::steal(PyTuple_Pack(1, reinterpret_cast<PyObject*>(&PyLong_Type)));
  if (!bases) return fail->At(kFallbackBase.class_statement).Status();
  Ref metaclass = Ref::steal(CalculateMetaclass(nullptr, bases.get()));
  if (!metaclass) return fail->At(kFallbackBase.class_statement).Status();
  Ref ns = Ref::steal(
      PrepareClassNamespace(metaclass.get(), bases.get(), n.Qx_EnumBase, n.Qx_EnumBase, n.EnumBase));
  if (!ns) return fail->At(kFallbackBase.class_statement).Status();
  if (NamespaceStore(ns.get(), n.dunder_metaclass, reinterpret_cast<PyObject*>(g_enums.enum_meta_type)) < 0) {
    return fail->At(kFallbackBase.metaclass).Status();
  }
  const std::span<FallbackMethod> methods = EnumBaseMethods();
  for (size_t i = 0; i < methods.size(); ++i) {
    if (AddMethod(ns.get(), methods[i], g_enums.fallback_code[i], g_enums.fallback_defaults[i]) < 0) {
      return fail->At(Position{methods[i].source_line}).Status();
    }
  }
  Ref cls = Ref::steal(CreateClass(metaclass.get(), n.Qx_EnumBase, bases.get(), ns.get()));
  if (!cls) return fail->At(kFallbackBase.class_statement).Status();
  Assign(&g_module.enum_base_class, cls.get());
  return 0;
}

// One row per member: its name and value, and where the support file makes
// its pair and publishes it.
struct Member {
  PyObject* NameObjects::*name;
  long value;
  Position pair;
  Position publish;
};

constexpr Member kMembers[] = {
    {&NameObjects::Sunday, 1, {54}, {62}},   {&NameObjects::Monday, 2, {55}, {63}},
    {&NameObjects::Tuesday, 3, {56}, {64}},  {&NameObjects::Wednesday, 4, {57}, {65}},
    {&NameObjects::Thursday, 5, {58}, {66}}, {&NameObjects::Friday, 6, {59}, {67}},
    {&NameObjects::Saturday, 7, {60}, {68}},
};
constexpr Py_ssize_t kMemberCount = std::size(kMembers);

// The statement that makes Weekdays from the pairs.
constexpr Position kWeekdays{53};

int BuildWeekdays(Failure* fail) noexcept {
  NameObjects& n = g_names;
  Ref pairs = Ref::steal(compat::NewList(kMemberCount));
  if (!pairs) return fail->At(kWeekdays).Status();
  for (Py_ssize_t i = 0; i < kMemberCount; ++i) {
    Ref value = Ref::steal(PyLong_FromLong(kMembers[i].value));
    if (!value) return fail->At(kMembers[i].pair).Status();
    PyObject* pair = PyTuple_Pack(2, n.*kMembers[i].name, value.get());
    if (pair == nullptr) return fail->At(kMembers[i].pair).Status();
    PyList_SET_ITEM(pairs.get(), i, pair);
  }
  Ref mapping = Ref::steal(CallOneArg(g_enums.ordered_dict_class, pairs.get()));
  if (!mapping) return fail->At(kWeekdays).Status();
  Ref args = Ref::steal(PyTuple_Pack(2, n.Weekdays, mapping.get()));
  if (!args) return fail->At(kWeekdays).Status();
  // Called from C, IntEnum cannot guess its module from a Python frame; name
  // it, so that members pickle by reference to this module.
  Ref kwargs = Ref::steal(PyDict_New());
  if (!kwargs || PyDict_SetItem(kwargs.get(), g_names.module_kw, g_names.module_dotted_name) < 0) {
    return fail->At(kWeekdays).Status();
  }
  Ref enumeration = Ref::steal(PyObject_Call(g_module.enum_base_class, args.get(), kwargs.get()));
  if (!enumeration) return fail->At(kWeekdays).Status();
  if (PyDict_SetItem(g_bindings.module_dict, n.Weekdays, enumeration.get()) < 0) {
    return fail->At(kWeekdays).Status();
  }
  return 0;
}

int PublishMembers(Failure* fail) noexcept {
  NameObjects& n = g_names;
  for (const Member& row : kMembers) {
    PyObject* name = n.*row.name;
    Ref weekdays = Ref::steal(LookupModuleGlobal(n.Weekdays));
    if (!weekdays) return fail->At(row.publish).Status();
    Ref member = Ref::steal(GetAttrByStr(weekdays.get(), name));
    if (!member) return fail->At(row.publish).Status();
    if (PyDict_SetItem(g_module.globals_dict, name, member.get()) < 0) {
      return fail->At(row.publish).Status();
    }
  }
  return 0;
}

// The body's own steps, before and between the classes.
constexpr struct {
  Position test_dict{.source_line = 1, .file = SourceFile::Definition};
  Position ordered_dict{10};
  Position int_enum{45};
  Position unpickle{1};
  Position globals{50};
} kBody{};

}  // namespace

int RunModuleBody(Failure* fail) noexcept {
  NameObjects& n = g_names;
  {
    Ref test_dict = Ref::steal(PyDict_New());
    if (!test_dict || PyDict_SetItem(g_bindings.module_dict, n.dunder_test, test_dict.get()) < 0) {
      return fail->At(kBody.test_dict).Status();
    }
  }
  {
    Ref ordered_dict = Ref::steal(ImportFrom(n.collections, n.OrderedDict));
    if (!ordered_dict) return fail->At(kBody.ordered_dict).Status();
    Assign(&g_enums.ordered_dict_class, ordered_dict.get());
  }
  if (BuildFallbackBase(fail) < 0) return -1;
  {
    Ref int_enum = Ref::steal(ImportFrom(n.enum_, n.IntEnum));
    if (!int_enum) return fail->At(kBody.int_enum).Status();
    Assign(&g_module.enum_base_class, int_enum.get());
  }
  {
    Ref unpickle = Ref::steal(PyCFunction_NewEx(&enummeta_unpickle_def, nullptr, n.EnumBase));
    if (!unpickle || PyDict_SetItem(g_bindings.module_dict, n.qx_unpickle_Qx_EnumMeta, unpickle.get()) < 0) {
      return fail->At(kBody.unpickle).Status();
    }
  }
  {
    PyObject* globals = ModuleGlobals();
    if (globals == nullptr) return fail->At(kBody.globals).Status();
    ReplaceOwned(&g_module.globals_dict, globals);
  }
  if (BuildWeekdays(fail) < 0) return -1;
  return PublishMembers(fail);
}

}  // namespace qx
