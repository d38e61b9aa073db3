// The name table: every run-time name and constant text, and the slots of
// g_names that hold them (made by core/names.cpp).
#pragma once

#include <Python.h>

namespace qx {

#define QX_PACKAGE_NAME "quendrix.core.enums"
#define QX_MODULE_DOTTED_NAME QX_PACKAGE_NAME ".weekdays"
inline constexpr const char* kModuleDottedName = QX_MODULE_DOTTED_NAME;
inline constexpr const char* kInitFunctionName = "init quendrix.core.enums.weekdays";

#define QX_PICKLE_CHECKSUM 0xd41d8cd
#define QX_STRINGIFY_(x) #x
#define QX_STRINGIFY(x) QX_STRINGIFY_(x)
#define QX_CHECKSUMS_MESSAGE "Incompatible checksums (%s vs " QX_STRINGIFY(QX_PICKLE_CHECKSUM) " = ())"

// Every run-time name and constant text, in table order:
// X(field, text, interned). The order is the order of the name table.
#define QX_NAME_TABLE(X)                                       \
  X(EnumBase, "EnumBase", 1)                                   \
  X(EnumType, "EnumType", 1)                                   \
  X(Friday, "Friday", 1)                                       \
  X(fmt_incompatible_checksums, QX_CHECKSUMS_MESSAGE, 0)       \
  X(IntEnum, "IntEnum", 1)                                     \
  X(Monday, "Monday", 1)                                       \
  X(OrderedDict, "OrderedDict", 1)                             \
  X(PickleError, "PickleError", 1)                             \
  X(Qx_EnumBase, "__Qx_EnumBase", 1)                           \
  X(Qx_EnumBase_new, "__Qx_EnumBase.__new__", 1)               \
  X(Qx_EnumBase_repr, "__Qx_EnumBase.__repr__", 1)             \
  X(Qx_EnumBase_str, "__Qx_EnumBase.__str__", 1)               \
  X(Saturday, "Saturday", 1)                                   \
  X(Sunday, "Sunday", 1)                                       \
  X(Thursday, "Thursday", 1)                                   \
  X(Tuesday, "Tuesday", 1)                                     \
  X(fmt_unknown_enum_value, "Unknown enum value: '%s'", 0)     \
  X(ValueError, "ValueError", 1)                               \
  X(Wednesday, "Wednesday", 1)                                 \
  X(Weekdays, "Weekdays", 1)                                   \
  X(dunder_class, "__class__", 1)                              \
  X(impl_line_in_traceback, "impl_line_in_traceback", 1)       \
  X(cls, "cls", 1)                                             \
  X(collections, "collections", 1)                             \
  X(dct, "dct", 1)                                             \
  X(dunder_dict, "__dict__", 1)                                \
  X(dunder_doc, "__doc__", 1)                                  \
  X(enum_, "enum", 1)                                          \
  X(dunder_getstate, "__getstate__", 1)                        \
  X(dunder_import, "__import__", 1)                            \
  X(dunder_init, "__init__", 1)                                \
  X(dunder_main, "__main__", 1)                                \
  X(dunder_members, "__members__", 1)                          \
  X(dunder_metaclass, "__metaclass__", 1)                      \
  X(dunder_module, "__module__", 1)                            \
  X(name, "name", 1)                                           \
  X(dunder_name, "__name__", 1)                                \
  X(dunder_new, "__new__", 1)                                  \
  X(parents, "parents", 1)                                     \
  X(pickle, "pickle", 1)                                       \
  X(dunder_prepare, "__prepare__", 1)                          \
  X(qx_PickleError, "__qx_PickleError", 1)                     \
  X(qx_checksum, "__qx_checksum", 1)                           \
  X(qx_result, "__qx_result", 1)                               \
  X(qx_state, "__qx_state", 1)                                 \
  X(qx_type, "__qx_type", 1)                                   \
  X(qx_unpickle_Qx_EnumMeta, "__qx_unpickle___Qx_EnumMeta", 1) \
  X(dunder_qualname, "__qualname__", 1)                        \
  X(dunder_reduce, "__reduce__", 1)                            \
  X(dunder_reduce_qx, "__reduce_qx__", 1)                      \
  X(dunder_reduce_ex, "__reduce_ex__", 1)                      \
  X(dunder_repr, "__repr__", 1)                                \
  X(res, "res", 1)                                             \
  X(fmt_dotted, "%s.%s", 0)                                    \
  X(fmt_member_repr, "<%s.%s: %d>", 0)                         \
  X(self, "self", 1)                                           \
  X(dunder_setstate, "__setstate__", 1)                        \
  X(dunder_setstate_qx, "__setstate_qx__", 1)                  \
  X(dunder_str, "__str__", 1)                                  \
  X(enumsupport, "enumsupport", 0)                             \
  X(dunder_test, "__test__", 1)                                \
  X(update, "update", 1)                                       \
  X(v, "v", 1)                                                 \
  X(value, "value", 1)                                         \
  X(values, "values", 1)                                       \
  /* The entry's own. */                                       \
  X(ModuleSpec, "ModuleSpec", 1)                               \
  X(frozen_importlib, "_frozen_importlib", 1)                  \
  X(module_dotted_name, QX_MODULE_DOTTED_NAME, 1)              \
  X(package_name, QX_PACKAGE_NAME, 1)                          \
  X(dunder_builtins, "__builtins__", 1)                        \
  X(dunder_package, "__package__", 1)                          \
  X(dunder_spec, "__spec__", 1)                                \
  X(initialising_attr, "_initializing", 1)                     \
  X(module_kw, "module", 1)

// One slot per row of the name table; each holds an owned str object.
struct NameObjects {
#define QX_NAME_FIELD(field, text, interned) PyObject* field;
  QX_NAME_TABLE(QX_NAME_FIELD)
#undef QX_NAME_FIELD
};

// The number of rows, counted from the table itself.
#define QX_NAME_COUNT(field, text, interned) +1
inline constexpr int kNameTableRows = 0 QX_NAME_TABLE(QX_NAME_COUNT);
#undef QX_NAME_COUNT

}  // namespace qx
