#include "python/payload_descriptor_object.h"

#include "python/converters.h"
#include "python/native_class.h"
#include "python/object_builders.h"

namespace veltrix::python {
namespace {

constexpr Parameter kNewParameters[] = {
    {"kind", true, true},    {"content_hash", true, true}, {"framework", true, true},
    {"version", true, true}, {"io_schema", true, true},    {"preprocessing_ref", false, true},
};
constexpr ParamTable kNewTable{"PayloadDescriptor.__new__()", kNewParameters};

bool convert_field(PyObject* object, const char* name, std::string& out) {
  std::string_view text;
  if (!convert_argument(convert_string, object, name, text)) return false;
  out.assign(text);
  return true;
}

PyObject* descriptor_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[6];
    if (!bind(kNewTable, args, kwargs, slots)) return nullptr;
    PayloadDescriptor value;
    std::string* fields[] = {&value.kind, &value.content_hash, &value.framework, &value.version, &value.io_schema};
    for (int i = 0; i < 5; ++i) {
      if (!convert_field(slots[i], kNewParameters[i].name, *fields[i])) return nullptr;
    }
    if (slots[5] && slots[5] != Py_None) {
      value.preprocessing_ref.emplace();
      if (!convert_field(slots[5], "preprocessing_ref", *value.preprocessing_ref)) return nullptr;
    }
    return new_native_instance<PayloadDescriptor>(type, std::move(value));
  });
}

// The getter's closure is the field's position.
PyObject* get_field(PyObject* self, void* closure) {
  return guarded([&]() -> PyObject* {
    const PayloadDescriptor& d = native_of<PayloadDescriptor>(self);
    switch (reinterpret_cast<std::intptr_t>(closure)) {
      case 0: return new_str(d.kind).release();
      case 1: return new_str(d.content_hash).release();
      case 2: return new_str(d.framework).release();
      case 3: return new_str(d.version).release();
      case 4: return new_str(d.io_schema).release();
      default:
        if (!d.preprocessing_ref) Py_RETURN_NONE;
        return new_str(*d.preprocessing_ref).release();
    }
  });
}

void* field_index(std::intptr_t i) { return reinterpret_cast<void*>(i); }

PyGetSetDef kGetters[] = {
    {"kind", get_field, nullptr, "", field_index(0)},
    {"content_hash", get_field, nullptr, "", field_index(1)},
    {"framework", get_field, nullptr, "", field_index(2)},
    {"version", get_field, nullptr, "", field_index(3)},
    {"io_schema", get_field, nullptr, "", field_index(4)},
    {"preprocessing_ref", get_field, nullptr, "", field_index(5)},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kDoc[] =
    "PayloadDescriptor(*, kind, content_hash, framework, version, io_schema, preprocessing_ref=None)\n--\n\n"
    "Reproducibility metadata an External node carries (participates in the structural hash).";

NativeClass<PayloadDescriptor> g_class({
    .qualified_name = "builtins.PayloadDescriptor",
    .doc = kDoc,
    .construct = descriptor_new,
    .getters = kGetters,
});

}  // namespace

PyTypeObject* payload_descriptor_type() { return g_class.type(); }

const PayloadDescriptor* payload_descriptor_of(PyObject* object) {
  PyTypeObject* type = payload_descriptor_type();
  if (!type || Py_TYPE(object) != type) {
    if (!type) PyErr_Clear();
    return nullptr;
  }
  return &native_of<PayloadDescriptor>(object);
}

}  // namespace veltrix::python
