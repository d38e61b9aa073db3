// Global, attribute, import and item lookups: which object each finds and
// which error, with which message, each failure leaves.
#include <Python.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/bindings.h"
#include "runtime/internal.h"
#include "runtime/lookups.h"
#include "runtime/ref.h"
#include "tests/cpp/test_support.h"

using qx::g_bindings;
using qx::Ref;
using qxtest::Eval;
using qxtest::Get;
using qxtest::RunPython;
using qxtest::Str;
using qxtest::TakeError;

namespace {

// Names handed to the routines are interned and carry their hash, as the
// name table's are.
Ref Name(const char* text) {
  Ref s = Ref::steal(PyUnicode_InternFromString(text));
  PyObject_Hash(s.get());
  return s;
}

// Binds a name in the module's dictionary for the life of the object.
class ModuleGlobal {
 public:
  ModuleGlobal(const char* name, PyObject* value) : name_(Name(name)) {
    EXPECT_EQ(PyDict_SetItem(g_bindings.module_dict, name_.get(), value), 0);
  }
  ~ModuleGlobal() {
    if (PyDict_DelItem(g_bindings.module_dict, name_.get()) < 0) PyErr_Clear();
  }

 private:
  Ref name_;
};

// Puts another dictionary in the module dictionary's place for the life of
// the object, for lookups that would otherwise disturb the real one.
class SubstituteModuleDict {
 public:
  explicit SubstituteModuleDict(PyObject* d) : saved_(g_bindings.module_dict) { g_bindings.module_dict = d; }
  ~SubstituteModuleDict() { g_bindings.module_dict = saved_; }

 private:
  PyObject* saved_;
};

std::string TypeName(PyObject* o) { return Py_TYPE(o)->tp_name; }

}  // namespace

TEST(RuntimeLookupModuleGlobal, ModuleFirstThenBuiltinsThenNameError) {
  Ref own_len = Eval("object()");
  ModuleGlobal bound("len", own_len.get());
  Ref len_name = Name("len");
  const Py_ssize_t before = Py_REFCNT(own_len.get());
  Ref r = Ref::steal(qx::LookupModuleGlobal(len_name.get()));
  EXPECT_EQ(r.get(), own_len.get());  // the module's value shadows the builtin
  EXPECT_EQ(Py_REFCNT(own_len.get()), before + 1);
  r.reset();

  Ref abs_name = Name("abs");
  Ref builtin_abs = Ref::steal(PyObject_GetAttrString(g_bindings.builtins_module, "abs"));
  r = Ref::steal(qx::LookupModuleGlobal(abs_name.get()));
  EXPECT_EQ(r.get(), builtin_abs.get());
  r.reset();

  Ref missing = Name("qx_no_such_global_anywhere");
  EXPECT_EQ(qx::LookupModuleGlobal(missing.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "name 'qx_no_such_global_anywhere' is not defined");
  EXPECT_EQ(type, "NameError");

  // A name whose hash was never computed is still found.
  Ref fresh = Ref::steal(PyUnicode_FromString("len"));
  r = Ref::steal(qx::LookupModuleGlobal(fresh.get()));
  EXPECT_EQ(r.get(), own_len.get());
}

TEST(RuntimeLookupModuleGlobal, AFailingDictionaryProbeIsNotANameError) {
  // A key with the name's hash whose comparison raises: the probe itself
  // fails, and that error must not become a NameError or a builtins lookup.
  Ref ns = RunPython(
      "class Clash:\n"
      "    def __init__(self, h): self.h = h\n"
      "    def __hash__(self): return self.h\n"
      "    def __eq__(self, other): raise RuntimeError('compare failed')\n");
  Ref name = Name("len");
  Ref hash = Ref::steal(PyLong_FromSsize_t(PyObject_Hash(name.get())));
  PyDict_SetItemString(ns.get(), "h", hash.get());
  Ref d = Eval("{Clash(h): 1}", ns.get());
  ASSERT_TRUE(d) << TakeError();
  {
    SubstituteModuleDict substitute(d.get());
    EXPECT_EQ(qx::LookupModuleGlobal(name.get()), nullptr);
  }
  std::string type;
  EXPECT_EQ(TakeError(&type), "compare failed");
  EXPECT_EQ(type, "RuntimeError");
}

TEST(RuntimeLookupBuiltin, FindsBuiltinsAndReplacesTheAttributeError) {
  Ref name = Name("isinstance");
  Ref r = Ref::steal(qx::LookupBuiltin(name.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(Str(r.get()), "<built-in function isinstance>");

  Ref missing = Name("qx_not_a_builtin");
  EXPECT_EQ(qx::LookupBuiltin(missing.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "name 'qx_not_a_builtin' is not defined");
  EXPECT_EQ(type, "NameError");
}

TEST(RuntimeAttributes, GetSetAndOwnership) {
  Ref ns = RunPython(
      "class Box: pass\n"
      "box = Box()\n"
      "class Guarded:\n"
      "    def __setattr__(self, n, v): raise PermissionError('read only')\n"
      "guarded = Guarded()\n");
  PyObject* box = Get(ns, "box");
  Ref attr = Name("payload");
  Ref value = Eval("[1, 2]");
  const Py_ssize_t before = Py_REFCNT(value.get());
  EXPECT_EQ(qx::SetAttrByStr(box, attr.get(), value.get()), 0);
  EXPECT_EQ(Py_REFCNT(value.get()), before + 1);  // the object holds it now

  Ref r = Ref::steal(qx::GetAttrByStr(box, attr.get()));
  EXPECT_EQ(r.get(), value.get());
  EXPECT_EQ(Py_REFCNT(value.get()), before + 2);
  r.reset();
  r = Ref::steal(qx::GetAttrAny(box, attr.get()));
  EXPECT_EQ(r.get(), value.get());
  r.reset();

  // Deleting through a null value.
  EXPECT_EQ(qx::SetAttrByStr(box, attr.get(), nullptr), 0);
  EXPECT_EQ(Py_REFCNT(value.get()), before);
  EXPECT_EQ(qx::GetAttrByStr(box, attr.get()), nullptr);
  std::string type;
  TakeError(&type);
  EXPECT_EQ(type, "AttributeError");

  EXPECT_EQ(qx::SetAttrByStr(Get(ns, "guarded"), attr.get(), value.get()), -1);
  EXPECT_EQ(TakeError(&type), "read only");
  EXPECT_EQ(type, "PermissionError");

  // A name that is no str goes to the interpreter, which refuses it.
  Ref number = Eval("5");
  EXPECT_EQ(qx::GetAttrAny(box, number.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "attribute name must be string, not 'int'");
  EXPECT_EQ(type, "TypeError");
}

TEST(RuntimeGetAttrOrDefault, OnlyAttributeErrorsGiveTheDefault) {
  Ref ns = RunPython(
      "class MyAttrError(AttributeError): pass\n"
      "class Obj:\n"
      "    present = 'here'\n"
      "    def __getattr__(self, n):\n"
      "        if n == 'sub': raise MyAttrError(n)\n"
      "        if n == 'other': raise LookupError('lookup ' + n)\n"
      "        raise AttributeError(n)\n"
      "obj = Obj()\n");
  PyObject* obj = Get(ns, "obj");
  Ref dflt = Eval("object()");
  const Py_ssize_t before = Py_REFCNT(dflt.get());

  Ref present = Name("present");
  Ref r = Ref::steal(qx::GetAttrOrDefault(obj, present.get(), dflt.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(Str(r.get()), "here");
  EXPECT_EQ(Py_REFCNT(dflt.get()), before);

  for (const char* n : {"absent", "sub"}) {
    Ref name = Name(n);
    r = Ref::steal(qx::GetAttrOrDefault(obj, name.get(), dflt.get()));
    EXPECT_EQ(r.get(), dflt.get()) << n;
    EXPECT_EQ(Py_REFCNT(dflt.get()), before + 1) << n;
    EXPECT_EQ(PyErr_Occurred(), nullptr) << n << TakeError();
    r.reset();
  }

  Ref other = Name("other");
  EXPECT_EQ(qx::GetAttrOrDefault(obj, other.get(), dflt.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "lookup other");
  EXPECT_EQ(type, "LookupError");
  EXPECT_EQ(Py_REFCNT(dflt.get()), before);

  // A non-str name's TypeError is no AttributeError either.
  Ref number = Eval("5");
  EXPECT_EQ(qx::GetAttrOrDefault(obj, number.get(), dflt.get()), nullptr);
  TakeError(&type);
  EXPECT_EQ(type, "TypeError");
}

// Imports observed through a meta-path finder that records every name it is
// asked for (those containing "qx_probe") and, per name, answers with a
// module, raises, or declines.
class RuntimeImportModule : public ::testing::Test {
 protected:
  void SetUp() override {
    ns_ = RunPython(
        "import sys, importlib.util, types\n"
        "seen = []\n"
        "behaviour = {}\n"
        "class Loader:\n"
        "    def create_module(self, module_spec): return None\n"
        "    def exec_module(self, module): pass\n"
        "class Finder:\n"
        "    def find_spec(self, name, path=None, target=None):\n"
        "        if 'qx_probe' not in name: return None\n"
        "        seen.append(name)\n"
        "        what = behaviour.get(name)\n"
        "        if what == 'module':\n"
        "            return importlib.util.spec_from_loader(name, Loader())\n"
        "        if what == 'raise': raise LookupError('finder broke on ' + name)\n"
        "        return None\n"
        "finder = Finder()\n"
        "sys.meta_path.insert(0, finder)\n"
        // The relative attempt needs this module's package to be importable;
        // stand-ins are added for whatever parts are missing.
        "added = []\n"
        "for pkg in ('quendrix', 'quendrix.core', 'quendrix.core.enums'):\n"
        "    if pkg not in sys.modules:\n"
        "        m = types.ModuleType(pkg)\n"
        "        m.__path__ = []\n"
        "        sys.modules[pkg] = m\n"
        "        added.append(pkg)\n");
  }
  void TearDown() override {
    PyObject *t, *v, *tb;
    PyErr_Fetch(&t, &v, &tb);
    Ref r = Eval(
        "(sys.meta_path.remove(finder), [sys.modules.pop(k) for k in list(sys.modules) if "
        "'qx_probe' in k], [sys.modules.pop(k) for k in added])",
        ns_.get());
    if (!r) ADD_FAILURE() << TakeError();
    PyErr_Restore(t, v, tb);
  }
  void Behave(const char* name, const char* what) {
    Ref w = Ref::steal(PyUnicode_FromString(what));
    PyDict_SetItemString(PyDict_GetItemString(ns_.get(), "behaviour"), name, w.get());
  }
  std::vector<std::string> Seen() {
    std::vector<std::string> out;
    PyObject* seen = PyDict_GetItemString(ns_.get(), "seen");
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(seen); ++i) {
      out.push_back(PyUnicode_AsUTF8(PyList_GET_ITEM(seen, i)));
    }
    return out;
  }
  static Ref FromList(const char* item) {
    Ref list = Ref::steal(PyList_New(1));
    PyList_SET_ITEM(list.get(), 0, Name(item).release());
    return list;
  }
  Ref ns_;
};

TEST_F(RuntimeImportModule, TriesThePackageFirstThenImportsAbsolutely) {
  Behave("qx_probe_a", "module");
  Ref name = Name("qx_probe_a");
  Ref from = FromList("x");
  Ref m = Ref::steal(qx::ImportModule(name.get(), from.get()));
  ASSERT_TRUE(m) << TakeError();
  EXPECT_EQ(Str(Ref::steal(PyObject_GetAttrString(m.get(), "__name__")).get()), "qx_probe_a");
  EXPECT_EQ(Seen(), (std::vector<std::string>{"quendrix.core.enums.qx_probe_a", "qx_probe_a"}));
  EXPECT_EQ(Py_REFCNT(from.get()), 1);  // the caller's from-list is not kept
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST_F(RuntimeImportModule, ARelativeHitEndsTheImport) {
  Behave("quendrix.core.enums.qx_probe_b", "module");
  Behave("qx_probe_b", "module");
  Ref name = Name("qx_probe_b");
  Ref from = FromList("x");
  Ref m = Ref::steal(qx::ImportModule(name.get(), from.get()));
  ASSERT_TRUE(m) << TakeError();
  EXPECT_EQ(Str(Ref::steal(PyObject_GetAttrString(m.get(), "__name__")).get()),
            "quendrix.core.enums.qx_probe_b");
  EXPECT_EQ(Seen(), std::vector<std::string>{"quendrix.core.enums.qx_probe_b"});
}

TEST_F(RuntimeImportModule, AnotherErrorOfTheRelativeAttemptIsReportedUnchanged) {
  Behave("quendrix.core.enums.qx_probe_c", "raise");
  Behave("qx_probe_c", "module");
  Ref name = Name("qx_probe_c");
  Ref from = FromList("x");
  EXPECT_EQ(qx::ImportModule(name.get(), from.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "finder broke on quendrix.core.enums.qx_probe_c");
  EXPECT_EQ(type, "LookupError");
  EXPECT_EQ(Seen(), std::vector<std::string>{"quendrix.core.enums.qx_probe_c"});
}

TEST_F(RuntimeImportModule, MissingEverywhereAndStandardModules) {
  Ref name = Name("qx_probe_missing");
  Ref from = FromList("x");
  EXPECT_EQ(qx::ImportModule(name.get(), from.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "No module named 'qx_probe_missing'");
  EXPECT_EQ(type, "ModuleNotFoundError");
  EXPECT_EQ(Seen(), (std::vector<std::string>{"quendrix.core.enums.qx_probe_missing", "qx_probe_missing"}));

  // The body's own import: collections with the from-list [OrderedDict]; the
  // relative miss is cleared and the module itself comes back.
  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  Ref cname = Name("collections");
  Ref cfrom = FromList("OrderedDict");
  const Py_ssize_t before = Py_REFCNT(collections.get());
  Ref m = Ref::steal(qx::ImportModule(cname.get(), cfrom.get()));
  EXPECT_EQ(m.get(), collections.get());
  if (qxtest::CountsReferences(collections.get())) {
    EXPECT_EQ(Py_REFCNT(collections.get()), before + 1);
  }
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();

  // Without a from-list the routine makes its own empty one.
  m = Ref::steal(qx::ImportModule(cname.get(), nullptr));
  EXPECT_EQ(m.get(), collections.get());
  EXPECT_EQ(PyErr_Occurred(), nullptr) << TakeError();
}

TEST(RuntimeImportNameFrom, MissingNamesBecomeImportErrors) {
  Ref collections = Ref::steal(PyImport_ImportModule("collections"));
  Ref name = Name("OrderedDict");
  Ref r = Ref::steal(qx::ImportNameFrom(collections.get(), name.get()));
  Ref want = Ref::steal(PyObject_GetAttrString(collections.get(), "OrderedDict"));
  EXPECT_EQ(r.get(), want.get());

  Ref missing = Name("OrderedDictionary");
  EXPECT_EQ(qx::ImportNameFrom(collections.get(), missing.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "cannot import name OrderedDictionary");
  EXPECT_EQ(type, "ImportError");

  Ref ns = RunPython(
      "import types\n"
      "class MyAttrError(AttributeError): pass\n"
      "class Mod(types.ModuleType):\n"
      "    def __getattr__(self, n):\n"
      "        if n == 'sub': raise MyAttrError(n)\n"
      "        raise OSError('disk gone')\n"
      "mod = Mod('mod')\n");
  Ref sub = Name("sub");
  EXPECT_EQ(qx::ImportNameFrom(Get(ns, "mod"), sub.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "cannot import name sub");
  EXPECT_EQ(type, "ImportError");
  Ref other = Name("other");
  EXPECT_EQ(qx::ImportNameFrom(Get(ns, "mod"), other.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "disk gone");
  EXPECT_EQ(type, "OSError");
}

TEST(RuntimeSubscript, MappingsFirstThenSequencesByIndex) {
  Ref d = Eval("{'k': 'v', 2: 'two'}");
  Ref k = Eval("'k'");
  Ref r = Ref::steal(qx::SubscriptObject(d.get(), k.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(Str(r.get()), "v");
  Ref missing = Eval("'nope'");
  EXPECT_EQ(qx::SubscriptObject(d.get(), missing.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "'nope'");
  EXPECT_EQ(type, "KeyError");

  // A list goes through its mapping slot too, so slices work.
  Ref lst = Eval("[10, 20, 30]");
  Ref sl = Eval("slice(1, None)");
  r = Ref::steal(qx::SubscriptObject(lst.get(), sl.get()));
  ASSERT_TRUE(r);
  EXPECT_EQ(Str(r.get()), "[20, 30]");

  // No mapping slot and no sequence slot.
  Ref plain = Eval("object()");
  Ref zero = Eval("0");
  EXPECT_EQ(qx::SubscriptObject(plain.get(), zero.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "'object' object is not subscriptable");
  EXPECT_EQ(type, "TypeError");
  EXPECT_EQ(qx::SubscriptByIndex(d.get(), zero.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "'dict' object is not subscriptable");
  EXPECT_EQ(type, "TypeError");
}

TEST(RuntimeSubscriptByIndex, KeysAndTheirErrors) {
  Ref ns = RunPython(
      "class Index:\n"
      "    def __init__(self, v): self.v = v\n"
      "    def __index__(self): return self.v\n"
      "class BigKey:\n"
      "    def __index__(self): return 2**70\n");
  Ref lst = Eval("['a', 'b', 'c']");
  struct Case {
    const char* key;
    const char* want;
  };
  for (const Case& c : {Case{"0", "a"}, Case{"2", "c"}, Case{"-1", "c"}, Case{"-3", "a"}, Case{"True", "b"},
                        Case{"Index(-2)", "b"}}) {
    Ref key = Eval(c.key, ns.get());
    Ref r = Ref::steal(qx::SubscriptByIndex(lst.get(), key.get()));
    ASSERT_TRUE(r) << c.key << ": " << TakeError();
    EXPECT_EQ(Str(r.get()), c.want) << c.key;
  }

  std::string type;
  Ref huge = Eval("2**70");
  EXPECT_EQ(qx::SubscriptByIndex(lst.get(), huge.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "cannot fit 'int' into an index-sized integer");
  EXPECT_EQ(type, "IndexError");
  Ref neg_huge = Eval("-(2**70)");
  EXPECT_EQ(qx::SubscriptByIndex(lst.get(), neg_huge.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "cannot fit 'int' into an index-sized integer");
  // The message names the key's type, not the int it gave.
  Ref big_key = Eval("BigKey()", ns.get());
  EXPECT_EQ(qx::SubscriptByIndex(lst.get(), big_key.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "cannot fit 'BigKey' into an index-sized integer");
  EXPECT_EQ(type, "IndexError");

  Ref f = Eval("1.0");
  EXPECT_EQ(qx::SubscriptByIndex(lst.get(), f.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "'float' object cannot be interpreted as an integer");
  EXPECT_EQ(type, "TypeError");

  Ref three = Eval("3");
  EXPECT_EQ(qx::SubscriptByIndex(lst.get(), three.get()), nullptr);
  EXPECT_EQ(TakeError(&type), "list index out of range");
  EXPECT_EQ(type, "IndexError");
}

TEST(RuntimeItemAtSsize, ListsAndTuplesWithNegativeAndOutOfRangeIndices) {
  // The last item is made at run time: constants are immortal since 3.12,
  // and their reference counts do not move.
  Ref lst = Eval("['a', 'b', ''.join(['c', 'c'])]");
  Ref tup = Eval("('a', 'b', ''.join(['c', 'c']))");
  std::string type;
  for (PyObject* seq : {lst.get(), tup.get()}) {
    const std::string kind = TypeName(seq);
    PyObject* last = PySequence_Fast_ITEMS(seq)[2];
    const Py_ssize_t before = Py_REFCNT(last);
    Ref r = Ref::steal(qx::ItemAtSsize(seq, -1));
    EXPECT_EQ(r.get(), last) << kind;
    EXPECT_EQ(Py_REFCNT(last), before + 1) << kind;
    r.reset();
    r = Ref::steal(qx::ItemAtSsize(seq, 0));
    EXPECT_EQ(Str(r.get()), "a") << kind;
    for (Py_ssize_t i : {Py_ssize_t{3}, Py_ssize_t{-4}, PY_SSIZE_T_MAX, PY_SSIZE_T_MIN}) {
      EXPECT_EQ(qx::ItemAtSsize(seq, i), nullptr) << kind << " " << i;
      EXPECT_EQ(TakeError(&type), kind + " index out of range") << kind << " " << i;
      EXPECT_EQ(type, "IndexError");
    }
  }
}

TEST(RuntimeItemAtSsize, OtherSequencesWrapNegativeIndicesThroughTheirLength) {
  Ref ns = RunPython(
      "class Seq:\n"
      "    def __init__(self, n): self.n = n\n"
      "    def __len__(self): return self.n\n"
      "    def __getitem__(self, i): return i\n"
      "class HugeLen(Seq):\n"
      "    def __len__(self): return 2**70\n"
      "class LenRaises(Seq):\n"
      "    def __len__(self): raise ValueError('no length')\n"
      "class ListSub(list): pass\n");
  Ref seq = Eval("Seq(5)", ns.get());
  Ref r = Ref::steal(qx::ItemAtSsize(seq.get(), -1));
  EXPECT_EQ(Str(r.get()), "4");
  r = Ref::steal(qx::ItemAtSsize(seq.get(), 7));  // bounds are the slot's business
  EXPECT_EQ(Str(r.get()), "7");
  r = Ref::steal(qx::ItemAtSsize(seq.get(), -9));
  EXPECT_EQ(Str(r.get()), "-4");

  // A length that overflows leaves the index unwrapped.
  Ref huge = Eval("HugeLen(0)", ns.get());
  r = Ref::steal(qx::ItemAtSsize(huge.get(), -2));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(Str(r.get()), "-2");

  Ref raises = Eval("LenRaises(0)", ns.get());
  EXPECT_EQ(qx::ItemAtSsize(raises.get(), -1), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "no length");
  EXPECT_EQ(type, "ValueError");
  // A non-negative index needs no length.
  r = Ref::steal(qx::ItemAtSsize(raises.get(), 1));
  EXPECT_EQ(Str(r.get()), "1");

  // A list subclass is no exact list but still a sequence.
  Ref sub = Eval("ListSub(['x', 'y'])", ns.get());
  r = Ref::steal(qx::ItemAtSsize(sub.get(), -1));
  EXPECT_EQ(Str(r.get()), "y");
  EXPECT_EQ(qx::ItemAtSsize(sub.get(), 2), nullptr);
  EXPECT_EQ(TakeError(&type), "list index out of range");

  // Without a sequence slot the index becomes a key.
  Ref d = Eval("{-1: 'minus one'}");
  r = Ref::steal(qx::ItemAtSsize(d.get(), -1));
  ASSERT_TRUE(r) << TakeError();
  EXPECT_EQ(Str(r.get()), "minus one");
}

TEST(RuntimeItemForNewKey, ConsumesTheKey) {
  Ref d = Eval("{}");
  Ref v = Eval("'value'");
  PyObject* key = PyUnicode_FromString("key");
  PyDict_SetItem(d.get(), key, v.get());
  const Py_ssize_t held = Py_REFCNT(key);  // ours plus the dict's
  Ref r = Ref::steal(qx::ItemForNewKey(d.get(), Ref::steal(key)));
  EXPECT_EQ(r.get(), v.get());
  EXPECT_EQ(Py_REFCNT(key), held - 1);

  PyObject* absent = PyUnicode_FromString("absent");
  Ref watch = Ref::borrow(absent);
  EXPECT_EQ(qx::ItemForNewKey(d.get(), Ref::steal(absent)), nullptr);
  std::string type;
  TakeError(&type);  // the KeyError holds the key while pending
  EXPECT_EQ(type, "KeyError");
  EXPECT_EQ(Py_REFCNT(absent), 1);  // released on failure too

  // A key whose creation failed: its error is left as it is.
  PyErr_SetString(PyExc_MemoryError, "no key");
  EXPECT_EQ(qx::ItemForNewKey(d.get(), Ref()), nullptr);
  EXPECT_EQ(TakeError(&type), "no key");
  EXPECT_EQ(type, "MemoryError");
}

TEST(RuntimeFirstTupleItem, FirstItemOrTheTuplesOwnIndexError) {
  Ref tup = Eval("(''.join(['fir', 'st']), 'second')");  // a mortal first item
  PyObject* first = PyTuple_GET_ITEM(tup.get(), 0);
  const Py_ssize_t before = Py_REFCNT(first);
  Ref r = Ref::steal(qx::FirstTupleItem(tup.get()));
  EXPECT_EQ(r.get(), first);
  EXPECT_EQ(Py_REFCNT(first), before + 1);

  Ref empty = Ref::steal(PyTuple_New(0));
  EXPECT_EQ(qx::FirstTupleItem(empty.get()), nullptr);
  std::string type;
  EXPECT_EQ(TakeError(&type), "tuple index out of range");
  EXPECT_EQ(type, "IndexError");
}
