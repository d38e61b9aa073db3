// __Qx_EnumMeta: a metaclass derived from type that gives each class an
// ordered member registry, __members__, iteration over its values and
// subscription by member name.
#include "enums/enum_meta.h"

#include <utility>

#include "core/names.h"
#include "core/owned_state.h"
#include "enums/enum_state.h"
#include "enums/pickling.h"
#include "runtime/arg_parsing.h"
#include "runtime/calls.h"
#include "runtime/compat.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "runtime/traceback.h"
#include "runtime/type_ready.h"

namespace qx {

namespace {

constexpr const char* kInitFunction = "EnumBase.__Qx_EnumMeta.__init__";
constexpr const char* kIterFunction = "EnumBase.__Qx_EnumMeta.__iter__";
constexpr const char* kGetItemFunction = "EnumBase.__Qx_EnumMeta.__getitem__";

PyObject** const kInitArgNames[] = {&g_names.name, &g_names.parents, &g_names.dct, nullptr};
constexpr int32_t kInitMissingLines[] = {1452, 1427, 1433};
const ArgSpec kInitArgs = MakeArgSpec("__init__", 16, kInitArgNames, 3, kInitMissingLines, 1437, 1452);

PyObject* TypeObject() noexcept { return reinterpret_cast<PyObject*>(&PyType_Type); }

constexpr struct {
  Position type_init{17, 1482};
  CallSite type_init_call{17, {1530, 1499, 1507, 1513, 1530}};
  CallSite members{18, NoArgCallLines(1556, 1559)};
  Position set_members{18, 1563};
} kInit{};

// type.__init__(cls, name, parents, dct), then a fresh, empty registry.
int InitBody(PyObject* cls, PyObject* name, PyObject* parents, PyObject* dct, Failure* fail) noexcept {
  Ref type_init = Ref::steal(GetAttrByStr(TypeObject(), g_names.dunder_init));
  if (!type_init) {
    return fail->At(kInit.type_init).Status();
  }
  PyObject* argv[] = {cls, name, parents, dct};
  CallPath path = CallPath::Object;
  Ref ignored = Ref::steal(CallMethodArgs(std::move(type_init), argv, 4, &path));
  if (!ignored) {
    return fail->At(kInit.type_init_call, path).Status();
  }
  ignored.reset();

  // Until the module body has imported OrderedDict the slot holds None, and
  // calling it reports the interpreter's not-callable error.
  Ref ordered_dict = Ref::steal(ReadShared(&g_enums.ordered_dict_class));
  if (!ordered_dict) ordered_dict = Ref::borrow(Py_None);
  Ref members = Ref::steal(CallMethodArgs(std::move(ordered_dict), nullptr, 0, &path));
  if (!members) {
    return fail->At(kInit.members, path).Status();
  }
  if (SetAttrByStr(cls, g_names.dunder_members, members.get()) < 0) {
    return fail->At(kInit.set_members).Status();
  }
  return 0;
}

constexpr struct {
  Position members{20, 1626};
  Position values_attr{20, 1628};
  CallSite values{20, NoArgCallLines(1642, 1645)};
  Position iter{20, 1649};
} kIter{};

PyObject* IterBody(PyObject* cls, Failure* fail) noexcept {
  Ref members = Ref::steal(GetAttrByStr(cls, g_names.dunder_members));
  if (!members) {
    return fail->At(kIter.members);
  }
  Ref values_method = Ref::steal(GetAttrByStr(members.get(), g_names.values));
  if (!values_method) {
    return fail->At(kIter.values_attr);
  }
  CallPath path = CallPath::NoArg;
  Ref values = Ref::steal(CallMethodArgs(std::move(values_method), nullptr, 0, &path));
  if (!values) {
    return fail->At(kIter.values, path);
  }
  PyObject* it = compat::GuardedIter(members.get(), values.get());
  if (it == nullptr) return fail->At(kIter.iter);
  return it;
}

constexpr struct {
  Position members{22, 1713};
  Position subscript{22, 1715};
} kGetItem{};

PyObject* GetItemBody(PyObject* cls, PyObject* key, Failure* fail) noexcept {
  Ref members = Ref::steal(GetAttrByStr(cls, g_names.dunder_members));
  if (!members) {
    return fail->At(kGetItem.members);
  }
  PyObject* result = SubscriptObject(members.get(), key);
  if (result == nullptr) return fail->At(kGetItem.subscript);
  return result;
}

}  // namespace

namespace {

int enummeta_init(PyObject* cls, PyObject* args, PyObject* kwds) noexcept {
  return ReportFailure(kInitFunction, [&](Failure* fail) -> int {
    Ref values[3];
    if (UnpackArguments(kInitArgs, args, kwds, values, fail) < 0) return -1;
    return InitBody(cls, values[0].get(), values[1].get(), values[2].get(), fail);
  });
}

// The interpreter calls these slots without its recursion guard, and
// __members__ is whatever Python code made it: the class itself, or an
// object whose values() returns the class, leads straight back here.
// Py_EnterRecursiveCall keeps the machine stack safe, but from 3.14 it counts
// no levels: a cycle of classes then recurses some 100,000 levels before the
// stack runs out, and the failure appends as many traceback entries, each of
// which reads the switch (Python code). So these slots also count their own
// nesting on this thread against the interpreter's recursion limit, on every
// version. A refused entry is reported at the body's first line.
class SlotDepth {
 public:
  explicit SlotDepth(const char* where) noexcept {
    if (depth_ >= Py_GetRecursionLimit()) {
      PyErr_Format(PyExc_RecursionError, "maximum recursion depth exceeded%s", where);
      return;
    }
    if (Py_EnterRecursiveCall(where) != 0) return;
    ++depth_;
    entered_ = true;
  }
  ~SlotDepth() {
    if (!entered_) return;
    --depth_;
    Py_LeaveRecursiveCall();
  }
  SlotDepth(const SlotDepth&) = delete;
  SlotDepth& operator=(const SlotDepth&) = delete;

  explicit operator bool() const noexcept { return entered_; }

 private:
  // Per thread, so free-threaded builds need no guard for it.
  static thread_local int depth_;
  bool entered_ = false;
};

thread_local int SlotDepth::depth_ = 0;

PyObject* enummeta_iter(PyObject* cls) noexcept {
  return ReportFailure(kIterFunction, [&](Failure* fail) -> PyObject* {
    SlotDepth depth(" in __Qx_EnumMeta.__iter__");
    if (!depth) return fail->At(kIter.members);
    return IterBody(cls, fail);
  });
}

PyObject* enummeta_subscript(PyObject* cls, PyObject* key) noexcept {
  return ReportFailure(kGetItemFunction, [&](Failure* fail) -> PyObject* {
    SlotDepth depth(" in __Qx_EnumMeta.__getitem__");
    if (!depth) return fail->At(kGetItem.members);
    return GetItemBody(cls, key, fail);
  });
}

// Sequence indexing goes through the mapping subscript of the class's own
// metaclass, so a subclass that overrides __getitem__ is honoured.
PyObject* enummeta_sq_item(PyObject* cls, Py_ssize_t i) noexcept {
  Ref index = Ref::steal(PyLong_FromSsize_t(i));
  if (!index) return nullptr;
  PyMappingMethods* mapping = Py_TYPE(cls)->tp_as_mapping;
  if (mapping == nullptr || mapping->mp_subscript == nullptr) {
    return PyObject_GetItem(cls, index.get());
  }
  return mapping->mp_subscript(cls, index.get());
}

// The remaining slots forward to type, whose instances these classes are.
PyObject* enummeta_new(PyTypeObject* metatype, PyObject* args, PyObject* kwds) noexcept {
  return PyType_Type.tp_new(metatype, args, kwds);
}

void enummeta_dealloc(PyObject* cls) noexcept {
  PyTypeObject* tp = Py_TYPE(cls);
  if (PyType_HasFeature(tp, Py_TPFLAGS_HAVE_FINALIZE) && tp->tp_finalize != nullptr &&
      !PyObject_GC_IsFinalized(cls)) {
    if (PyObject_CallFinalizerFromDealloc(cls) != 0) return;  // resurrected
  }
  // type's deallocator untracks the object itself and, in debug builds,
  // asserts that it is still tracked when it starts.
  PyObject_GC_UnTrack(cls);
  PyObject_GC_Track(cls);
  PyType_Type.tp_dealloc(cls);
}

int enummeta_traverse(PyObject* cls, visitproc visit, void* arg) noexcept {
  if (PyType_Type.tp_traverse != nullptr) {
    int r = PyType_Type.tp_traverse(cls, visit, arg);
    if (r != 0) return r;
  }
  return 0;
}

int enummeta_clear(PyObject* cls) noexcept {
  if (PyType_Type.tp_clear != nullptr) PyType_Type.tp_clear(cls);
  return 0;
}

PySequenceMethods enummeta_as_sequence = {
    .sq_item = enummeta_sq_item,
};

PyMappingMethods enummeta_as_mapping = {
    .mp_subscript = enummeta_subscript,
};

}  // namespace

PyTypeObject QxEnumMetaType = {
    // The macro brings its own trailing comma, which clang-format cannot see.
    // clang-format off
    .ob_base = PyVarObject_HEAD_INIT(nullptr, 0)
    .tp_name = "quendrix.core.enums.weekdays.__Qx_EnumMeta",
    // clang-format on
    // An instance is a class object; the metaclass adds no fields of its own.
    .tp_basicsize = sizeof(PyHeapTypeObject),
    // Left 0 so that readying inherits type's item size, which the member
    // descriptors of classes with __slots__ rely on.
    .tp_itemsize = 0,
    .tp_dealloc = enummeta_dealloc,
    .tp_as_sequence = &enummeta_as_sequence,
    .tp_as_mapping = &enummeta_as_mapping,
    .tp_flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    .tp_doc = nullptr,
    .tp_traverse = enummeta_traverse,
    .tp_clear = enummeta_clear,
    .tp_iter = enummeta_iter,
    .tp_methods = enummeta_methods,
    .tp_init = enummeta_init,
    .tp_new = enummeta_new,
};

namespace {

// The pickling set-up moves methods within the type's dictionary, so it
// cannot run twice; a repeated import after a failed one skips it.
bool g_pickling_installed QX_GUARDED_BY(g_init_claim) = false;

}  // namespace

int InitEnumMetaType() noexcept {
  g_init_claim.AssertHeld();
  QxEnumMetaType.tp_base = &PyType_Type;
  if (ReadyStaticType(&QxEnumMetaType) < 0) return -1;
  if (!g_pickling_installed) {
    if (SetupPickling(&QxEnumMetaType) < 0) return -1;
    g_pickling_installed = true;
  }
  g_enums.enum_meta_type = &QxEnumMetaType;
  return 0;
}

}  // namespace qx
