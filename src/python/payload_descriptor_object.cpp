#include "python/payload_descriptor_object.h"

#include <new>

#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/lazy_type.h"

namespace veltrix::python {
namespace {

struct PayloadDescriptorObject {
  PyObject_HEAD
  PayloadDescriptor value;
};

PayloadDescriptorObject* as_descriptor(PyObject* self) { return reinterpret_cast<PayloadDescriptorObject*>(self); }

constexpr Parameter kNewParameters[] = {
    {"kind", true, true},     {"content_hash", true, true}, {"framework", true, true},
    {"version", true, true},  {"io_schema", true, true},    {"preprocessing_ref", false, true},
};
constexpr ParamTable kNewTable{"PayloadDescriptor.__new__()", kNewParameters};

bool convert_field(PyObject* object, const char* name, std::string& out) {
  std::string_view text;
  if (!convert_string(object, text)) return wrap_argument_error(name);
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
    PyObject* self = type->tp_alloc(type, 0);
    if (!self) return nullptr;
    new (&as_descriptor(self)->value) PayloadDescriptor(std::move(value));
    return self;
  });
}

void descriptor_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  as_descriptor(self)->value.~PayloadDescriptor();
  type->tp_free(self);
  Py_DECREF(type);
}

PyObject* new_str(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

// The getter's closure is the field's position.
PyObject* get_field(PyObject* self, void* closure) {
  return guarded([&]() -> PyObject* {
    const PayloadDescriptor& d = as_descriptor(self)->value;
    switch (reinterpret_cast<std::intptr_t>(closure)) {
      case 0: return new_str(d.kind);
      case 1: return new_str(d.content_hash);
      case 2: return new_str(d.framework);
      case 3: return new_str(d.version);
      case 4: return new_str(d.io_schema);
      default:
        if (!d.preprocessing_ref) Py_RETURN_NONE;
        return new_str(*d.preprocessing_ref);
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

PyType_Slot kSlots[] = {
    {Py_tp_new, reinterpret_cast<void*>(descriptor_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(descriptor_dealloc)},
    {Py_tp_getset, kGetters},
    {Py_tp_doc, const_cast<char*>(kDoc)},
    {0, nullptr},
};

PyType_Spec kSpec = {
    "builtins.PayloadDescriptor",
    static_cast<int>(sizeof(PayloadDescriptorObject)),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    kSlots,
};

LazyType g_type(&kSpec);

}  // namespace

PyTypeObject* payload_descriptor_type() { return g_type.get(); }

const PayloadDescriptor* payload_descriptor_of(PyObject* object) {
  PyTypeObject* type = payload_descriptor_type();
  if (!type || Py_TYPE(object) != type) {
    if (!type) PyErr_Clear();
    return nullptr;
  }
  return &as_descriptor(object)->value;
}

}  // namespace veltrix::python
