"""The function type as Python sees it: attributes, binding, calls, and the
registry module through which the type is shared."""
import gc
import inspect
import re
import sys
import types
import weakref

import interpreter_facts as facts
import pytest

from conftest import run_fresh

ATTRS = ("__doc__", "__name__", "__qualname__", "__defaults__", "__kwdefaults__",
         "__annotations__", "__dict__", "__module__")


def snapshot(f):
    # Dicts are copied: the tests change them in place too.
    return {a: dict(v) if type(v) is dict else v for a in ATTRS for v in [getattr(f, a)]}


@pytest.fixture
def funcs(enum_base):
    """The three methods; the attributes the tests change are put back."""
    fs = {name: enum_base.__dict__[name] for name in ("__new__", "__repr__", "__str__")}
    saved = {name: snapshot(f) for name, f in fs.items()}
    yield fs
    for name, f in fs.items():
        for a, v in saved[name].items():
            setattr(f, a, v)


class Member(int):
    pass


def member(value=3, name="X"):
    m = Member(value)
    m.name = name
    return m


def test_type_is_final_gc_tracked_and_weakly_referencable(funcs):
    f = funcs["__repr__"]
    t = type(f)
    assert t.__name__ == "qx_function_or_method"
    assert all(type(g) is t for g in funcs.values())
    assert sys.modules["_qx_shared_1_0"].qx_function_or_method is t
    assert t.__flags__ & 0x44000 == 0x44000
    assert not t.__flags__ & (1 << 10)  # Py_TPFLAGS_BASETYPE
    with pytest.raises(TypeError, match="not an acceptable base type"):
        type("Sub", (t,), {})
    with pytest.raises(TypeError):
        t()
    assert gc.is_tracked(f)
    assert weakref.ref(f)() is f


def test_doc_is_none_until_set_and_none_after_delete(funcs):
    f = funcs["__repr__"]
    assert f.__doc__ is None and f.__doc__ is None
    f.__doc__ = 3
    assert f.__doc__ == 3 and f.func_doc == 3
    del f.__doc__
    assert f.__doc__ is None


@pytest.mark.parametrize("attr, bad, message", [
    ("__name__", 3, "__name__ must be set to a string object"),
    ("__qualname__", b"x", "__qualname__ must be set to a string object"),
    ("__defaults__", [1], "__defaults__ must be set to a tuple object"),
    ("__kwdefaults__", (), "__kwdefaults__ must be set to a dict object"),
    ("__annotations__", 3, "__annotations__ must be set to a dict object"),
    ("__dict__", [], "setting function's dictionary to a non-dict"),
])
def test_setters_reject_wrong_types_and_keep_the_old_value(funcs, attr, bad, message):
    f = funcs["__new__"]
    before = getattr(f, attr)
    with pytest.raises(TypeError, match=re.escape(message)):
        setattr(f, attr, bad)
    assert getattr(f, attr) is before


@pytest.mark.parametrize("attr, message", [
    ("__name__", "__name__ must be set to a string object"),
    ("__qualname__", "__qualname__ must be set to a string object"),
    ("__dict__", "function's dictionary may not be deleted"),
])
def test_undeletable_attributes(funcs, attr, message):
    with pytest.raises(TypeError, match=re.escape(message)):
        delattr(funcs["__repr__"], attr)


def test_names_and_representation(funcs):
    f = funcs["__repr__"]
    assert f.__name__ == f.func_name == "__repr__"
    f.__name__ = type("S", (str,), {})("renamed")
    assert f.__name__ == "renamed"
    assert repr(f) == f"<qxfunction __Qx_EnumBase.__repr__ at {id(f):#x}>"
    f.__qualname__ = "Q.r"
    assert repr(f).startswith("<qxfunction Q.r at ")


def test_defaults_kwdefaults_and_annotations(funcs):
    new = funcs["__new__"]
    assert new.__defaults__ == (None,) and funcs["__repr__"].__defaults__ is None
    new.__defaults__ = None
    assert new.__defaults__ is None
    new.__defaults__ = type("T", (tuple,), {})((1,))
    del new.__defaults__
    assert new.__defaults__ is None and new.func_defaults is None
    assert new.__kwdefaults__ is None
    new.__kwdefaults__ = {"name": 1}
    assert new.__kwdefaults__ == {"name": 1}
    del new.__kwdefaults__
    assert new.__kwdefaults__ is None
    old = new.__annotations__
    assert old == {}
    new.__annotations__ = None
    assert new.__annotations__ == {} and new.__annotations__ is not old


def test_signatures_and_annotations_as_tools_read_them(funcs, weekdays):
    # inspect derives the signatures from the module's code objects and
    # defaults; annotations come from __annotations__ (the type has no
    # __annotate__).
    new = funcs["__new__"]
    assert [str(inspect.signature(f)) for f in funcs.values()] == ["(cls, value, name=None)", "(self)", "(self)"]
    assert str(inspect.signature(funcs["__repr__"].__get__(member(), Member))) == "()"
    # Made without a doc string, so without a text signature.
    with pytest.raises(ValueError, match="no signature found for builtin"):
        inspect.signature(weekdays.__qx_unpickle___Qx_EnumMeta)
    new.__annotations__ = {"value": int, "return": "Weekdays"}
    assert str(inspect.signature(new)) == "(cls, value: int, name=None) -> 'Weekdays'"
    assert inspect.get_annotations(new) == {"value": int, "return": "Weekdays"}
    if facts.DEFERS_ANNOTATIONS:
        import annotationlib

        formats = annotationlib.Format
        assert annotationlib.get_annotations(new, format=formats.STRING) == {"value": "int", "return": "Weekdays"}
        assert annotationlib.get_annotations(new, format=formats.FORWARDREF) == {"value": int, "return": "Weekdays"}
        assert (str(inspect.signature(new, annotation_format=formats.STRING))
                == "(cls, value: 'int', name=None) -> 'Weekdays'")
        for f in funcs.values():
            del f.__annotations__
            for form in (formats.VALUE, formats.FORWARDREF, formats.STRING):
                assert annotationlib.get_annotations(f, format=form) == {}


def test_dict_module_and_read_only_attributes(funcs, weekdays):
    f = funcs["__str__"]
    f.extra = 1
    assert f.__dict__ == f.func_dict == {"extra": 1}
    f.__dict__ = type("D", (dict,), {})(other=2)
    assert f.other == 2
    for g in funcs.values():
        assert g.__closure__ is None and g.func_closure is None
        assert g.__self__ is None
        assert g.__globals__ is weekdays.__dict__ is g.func_globals
        assert isinstance(g.__code__, types.CodeType)
        assert g.__module__ == "EnumBase"
    for attr in ("__globals__", "__closure__", "__code__", "__self__"):
        with pytest.raises(AttributeError):
            setattr(f, attr, None)
    f.__module__ = "elsewhere"
    assert f.__module__ == "elsewhere"
    del f.__module__
    assert f.__module__ is None


def test_setters_hold_the_value_once_and_release_the_one_replaced(funcs):
    f = funcs["__new__"]
    # Fresh objects each: a miscount on a shared one would go unseen.
    text = lambda: "".join(["n", "m"])  # noqa: E731
    fresh = {"__doc__": list, "__name__": text, "__qualname__": text, "__dict__": dict,
             "__defaults__": lambda: (object(),), "__kwdefaults__": dict, "__annotations__": dict,
             "__module__": list}
    for attr, make in fresh.items():
        old, new = make(), make()
        count = sys.getrefcount(old)
        setattr(f, attr, old)
        assert sys.getrefcount(old) == count + 1, attr
        setattr(f, attr, new)
        assert (sys.getrefcount(old), sys.getrefcount(new)) == (count, count + 1), attr


def test_reduce_gives_the_bare_name(funcs):
    assert funcs["__new__"].__reduce__() == "__new__"
    assert funcs["__repr__"].__reduce__(1, 2) == "__repr__"


def test_binding(enum_base, funcs):
    f, new = funcs["__repr__"], funcs["__new__"]
    m = member()
    bound = f.__get__(m, Member)
    assert isinstance(bound, types.MethodType)
    assert bound.__self__ is m and bound.__func__ is f
    assert f.__get__(None, enum_base) is f and enum_base.__repr__ is f
    assert new.__get__(m, Member) is new and enum_base.__new__ is new
    assert bound() == f(m) == f(m, **{}) == "<Member.X: 3>"


def test_call_argument_errors(funcs):
    f = funcs["__repr__"]
    with pytest.raises(TypeError, match=re.escape("__repr__() takes exactly one argument (2 given)")):
        f(member(), 2)
    with pytest.raises(TypeError, match=re.escape("__repr__() takes no keyword arguments")):
        f(member(), k=1)


# The import runs in a fresh interpreter so the registry can be prepared
# before the module first initialises.
FIND_BASE = """
    import gc, sys
    gc.disable()
    def import_weekdays():
        import quendrix.core.enums.weekdays as w
        return w
    def bases():
        return [c for c in int.__subclasses__() if c.__name__ == "__Qx_EnumBase"]
"""


def test_registry_is_created_and_holds_the_type_of_the_functions():
    run_fresh(FIND_BASE + """
    assert "_qx_shared_1_0" not in sys.modules
    import_weekdays()
    t = sys.modules["_qx_shared_1_0"].qx_function_or_method
    (base,) = bases()
    assert {type(base.__dict__[n]) for n in ("__new__", "__repr__", "__str__")} == {t}
    """)


@pytest.mark.parametrize("value, message", [
    ("3", "Shared runtime type qx_function_or_method is not a type object"),
    ("type('Small', (), {})",
     "Shared runtime type qx_function_or_method has the wrong size, try recompiling"),
])
def test_registry_entry_that_does_not_fit_fails_the_import(value, message):
    run_fresh(FIND_BASE + f"""
    import types
    reg = sys.modules["_qx_shared_1_0"] = types.ModuleType("_qx_shared_1_0")
    reg.qx_function_or_method = {value}
    try:
        import_weekdays()
    except TypeError as e:
        assert str(e) == {message!r}, str(e)
        assert reg.qx_function_or_method is not None
    else:
        raise AssertionError("import succeeded")
    """)


def test_registry_lookup_error_other_than_attribute_error_passes_through():
    run_fresh(FIND_BASE + """
    import types
    class Registry(types.ModuleType):
        def __getattr__(self, name):
            raise LookupError("registry unavailable: " + name)
    sys.modules["_qx_shared_1_0"] = Registry("_qx_shared_1_0")
    try:
        import_weekdays()
    except LookupError as e:
        assert type(e) is LookupError and str(e) == "registry unavailable: qx_function_or_method"
    else:
        raise AssertionError("import succeeded")
    """)


def test_second_copy_of_the_module_uses_the_published_type():
    # A copy of the package is a separate extension library with its own
    # static type; it must find the first copy's type and never ready its own.
    run_fresh(FIND_BASE + """
    import importlib, os, shutil, tempfile
    first = import_weekdays()
    t = sys.modules["_qx_shared_1_0"].qx_function_or_method
    top = os.path.dirname(sys.modules["quendrix"].__file__)
    tmp = tempfile.mkdtemp()
    shutil.copytree(top, os.path.join(tmp, "quendrix"))
    for name in [m for m in sys.modules if m.split(".")[0] == "quendrix"]:
        del sys.modules[name]
    sys.path.insert(0, tmp)
    importlib.invalidate_caches()
    second = importlib.import_module(first.__name__)
    assert second is not first and second.__file__.startswith(tmp)
    assert len(bases()) == 2
    for base in bases():
        assert type(base.__dict__["__repr__"]) is t
    readied = [c for c in object.__subclasses__() if c.__name__ == "qx_function_or_method"]
    assert readied == [t], readied
    shutil.rmtree(tmp)
    """)


def test_function_in_a_garbage_cycle_is_collected():
    run_fresh(FIND_BASE + """
    import weakref
    import_weekdays()
    (base,) = bases()
    f = base.__dict__["__repr__"]
    f.__dict__["me"] = f
    ref = weakref.ref(f)
    del f, base
    gc.collect()
    assert ref() is None
    """)
