// GraphStore.nodes(): one dict per node, built from a snapshot after the store's lock is
// released.
//
// Views of a large graph repeat the same few names, keys and ids over and over, so each text of
// the snapshot becomes one str object and each id one int object, shared by every dict that
// shows it.
#include <bit>
#include <vector>

#include "optimizer/term_encoding.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/interned_names.h"
#include "support/unicode.h"

namespace veltrix::python {
namespace {

// Sets `key` in `dict` to `value`, taking over the new reference `value`.
bool set_item(PyObject* dict, PyObject* key, PyObject* value) {
  if (!value) return false;
  const int status = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return status == 0;
}

PyObject* new_str(std::string_view text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

class ViewBuilder {
 public:
  ViewBuilder(const GraphSnapshot& snapshot, const InternedNames& keys)
      : table_(snapshot.nodes), keys_(keys), texts_(table_.strings().size()), ids_(table_.size()),
        is_output_(table_.size(), false) {
    for (NodeId mark : snapshot.outputs) is_output_[mark] = true;
  }
  ViewBuilder(const ViewBuilder&) = delete;
  ViewBuilder& operator=(const ViewBuilder&) = delete;
  ~ViewBuilder() {
    for (PyObject* object : texts_) Py_XDECREF(object);
    for (PyObject* object : ids_) Py_XDECREF(object);
  }

  // New reference to the list of views, or null with an exception set.
  PyObject* build() {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(table_.size())));
    if (!list) return nullptr;
    for (NodeId id = 0; id < table_.size(); ++id) {
      PyObject* view = node_view(id);
      if (!view) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(id), view);
    }
    return list.release();
  }

 private:
  // New reference to the one str object of a text of the snapshot's table.
  PyObject* text(StrId id) {
    if (!texts_[id]) texts_[id] = new_str(table_.strings().view(id));
    Py_XINCREF(texts_[id]);
    return texts_[id];
  }
  PyObject* text(std::string_view view) { return new_str(view); }

  PyObject* id_object(NodeId id) {
    if (!ids_[id]) ids_[id] = PyLong_FromUnsignedLongLong(id);
    Py_XINCREF(ids_[id]);
    return ids_[id];
  }

  PyObject* value_object(const ParamValueRef& value) {
    switch (value.tag) {
      case ParamTag::Int: return PyLong_FromLongLong(value.as_int());
      case ParamTag::Float: return PyFloat_FromDouble(value.as_float());
      case ParamTag::Bool: return PyBool_FromLong(value.as_bool());
      case ParamTag::Str: return text(value.text);
    }
    return nullptr;
  }

  PyObject* params_dict(const NodeView& node) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (std::size_t i = 0; i < node.param_count(); ++i) {
      OwnedRef key = OwnedRef::steal(text(node.param_key_text_id(i)));
      const ParamValueRef value = node.param_value(i);
      PyObject* object = value.tag == ParamTag::Str ? text(node.param_str_text_id(i)) : value_object(value);
      if (!key || !set_item(dict.get(), key.get(), object)) return nullptr;
    }
    return dict.release();
  }

  PyObject* params_dict(const ParamMap& params) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    for (const ParamEntry& entry : params) {
      OwnedRef key = OwnedRef::steal(new_str(entry.key));
      if (!key || !set_item(dict.get(), key.get(), value_object(entry.value.ref()))) return nullptr;
    }
    return dict.release();
  }

  PyObject* inputs_list(const NodeView& node) {
    std::span<const std::uint32_t> inputs = node.inputs();
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < inputs.size(); ++i) {
      PyObject* id = id_object(inputs[i]);
      if (!id) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), id);
    }
    return list.release();
  }

  PyObject* descriptor_dict(const NodeView& node) {
    const DescriptorRef d = node.descriptor_ref();
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    const std::string_view fields[5] = {d.kind, d.content_hash, d.framework, d.version, d.io_schema};
    for (int i = 0; i < 5; ++i) {
      if (!set_item(dict.get(), keys_.descriptor_fields[i], text(fields[i]))) return nullptr;
    }
    PyObject* reference = d.preprocessing_ref ? text(*d.preprocessing_ref) : Py_NewRef(Py_None);
    if (!set_item(dict.get(), keys_.descriptor_fields[5], reference)) return nullptr;
    return dict.release();
  }

  PyObject* member_view(const NodeView& node, std::size_t m) {
    const std::string_view token = node.member_token(m);
    std::optional<MemberToken> parsed = parse_member_token(token);
    if (!parsed) return raise_value_error("unparseable stage member token " + quoted(token));
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), keys_.kind, new_str(parsed->kind)) ||
        !set_item(dict.get(), keys_.name, new_str(parsed->name)) ||
        !set_item(dict.get(), keys_.params, params_dict(parsed->params))) {
      return nullptr;
    }
    std::span<const MemberRef> refs = node.member_refs(m);
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(refs.size())));
    if (!list) return nullptr;
    for (std::size_t i = 0; i < refs.size(); ++i) {
      PyObject* kind = refs[i].kind == MemberRefKind::Input ? keys_.ref_input : keys_.ref_member;
      OwnedRef index = OwnedRef::steal(PyLong_FromUnsignedLongLong(refs[i].index));
      if (!index) return nullptr;
      PyObject* pair = PyTuple_Pack(2, kind, index.get());
      if (!pair) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), pair);
    }
    if (!set_item(dict.get(), keys_.inputs, list.release())) return nullptr;
    return dict.release();
  }

  PyObject* members_list(const NodeView& node) {
    OwnedRef list = OwnedRef::steal(PyList_New(static_cast<Py_ssize_t>(node.member_count())));
    if (!list) return nullptr;
    for (std::size_t m = 0; m < node.member_count(); ++m) {
      PyObject* member = member_view(node, m);
      if (!member) return nullptr;
      PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(m), member);
    }
    return list.release();
  }

  PyObject* node_view(NodeId id) {
    const NodeView node = table_[id];
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return nullptr;
    PyObject* d = dict.get();
    const bool ok = set_item(d, keys_.id, id_object(id)) &&
                    set_item(d, keys_.output, PyBool_FromLong(is_output_[id])) &&
                    set_item(d, keys_.inputs, inputs_list(node)) &&
                    set_item(d, keys_.kind, Py_NewRef(keys_.kinds[static_cast<int>(node.kind())])) &&
                    set_item(d, keys_.name, has_name(node.kind()) ? text(node.name_text_id()) : Py_NewRef(keys_.empty)) &&
                    set_item(d, keys_.params, params_dict(node));
    if (!ok) return nullptr;
    if (node.kind() == NodeKind::External && !set_item(d, keys_.descriptor, descriptor_dict(node))) return nullptr;
    if (node.kind() == NodeKind::Stage) {
      if (!set_item(d, keys_.n_members, PyLong_FromSize_t(node.member_count())) ||
          !set_item(d, keys_.members, members_list(node))) {
        return nullptr;
      }
    }
    return dict.release();
  }

  const NodeTable& table_;
  const InternedNames& keys_;
  std::vector<PyObject*> texts_;
  std::vector<PyObject*> ids_;
  std::vector<bool> is_output_;
};

}  // namespace

PyObject* store_nodes(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const InternedNames* keys = interned_names();
    if (!keys) return nullptr;
    const GraphSnapshot snapshot = store_of(self).snapshot();
    ViewBuilder builder(snapshot, *keys);
    return builder.build();
  });
}

}  // namespace veltrix::python
