// Node views: the dicts GraphStore.nodes() returns, and the shape dicts of a table's columns
// (a view without its id, inputs and output flag).
//
// Views of a large graph repeat the same few names, keys and ids over and over, so each text of
// the table becomes one str object and each id one int object, shared by every dict that shows
// it. A stage member's token is parsed once per text too, and the (kind, index) tuples of member
// inputs are shared (a tuple cannot be changed; every dict and list stays the caller's own).
#pragma once

#include <optional>
#include <span>
#include <vector>

#include "python/errors.h"
#include "python/interned_names.h"
#include "python/object_builders.h"
#include "python/py_ref.h"
#include "store/node_table.h"
#include "support/hash_table.h"
#include "support/unicode.h"

namespace veltrix::python {

// Sets `key` in `dict` to `value`, whose reference it takes. False with an exception set when
// `value` is null (making it failed) or the dict refuses the item.
inline bool set_item(PyObject* dict, PyObject* key, OwnedRef value) {
  return value && PyDict_SetItem(dict, key, value.get()) == 0;
}

class ViewBuilder {
 public:
  // Shape views share the member dicts (and their params) of equal members; node views give each
  // member a dict of its own.
  void share_members() { share_members_ = true; }
  // Shape views without their members list, for a reader that takes the members another way.
  void omit_members() { omit_members_ = true; }

  ViewBuilder(const NodeTable& table, std::span<const NodeId> marks, const InternedNames& keys)
      : table_(table),
        keys_(keys),
        texts_(table_.strings().size()),
        ids_(table_.size()),
        is_output_(table_.size(), false) {
    for (NodeId mark : marks) is_output_[mark] = true;
  }

  // The list of views, or null with an exception set.
  OwnedRef build() {
    return new_list(table_.size(), [&](std::size_t id) { return node_view(static_cast<NodeId>(id)); });
  }

  // What a node is apart from its id, inputs and output flag: the kind, name and params, and the
  // descriptor of an External or the members of a Stage, under the keys of its view.
  OwnedRef shape_view(NodeId id) {
    const NodeView node = table_[id];
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    const bool ok = set_item(d, keys_.kind.get(), OwnedRef::borrow(keys_.kinds[static_cast<int>(node.kind())].get())) &&
                    set_item(d, keys_.name.get(), name_object(node)) &&
                    set_item(d, keys_.params.get(), params_dict(node)) && add_kind_fields(d, node);
    return ok ? std::move(dict) : OwnedRef();
  }

  // A stage member's kind, name and params objects (shared, made once per token), or nothing with
  // an exception set for a token that does not read.
  struct MemberObjects {
    PyObject* kind;
    PyObject* name;
    PyObject* params;
  };
  std::optional<MemberObjects> member_objects(const NodeView& node, std::size_t m) {
    const ParsedMember* parsed = parsed_member(node, m);
    if (!parsed) return std::nullopt;
    return MemberObjects{parsed->kind.get(), parsed->name.get(), parsed->params.get()};
  }

 private:
  // The one str object of a text of the snapshot's table.
  OwnedRef text(StrId id) {
    OwnedRef& cached = texts_[id];
    if (!cached) cached = new_str(table_.strings().view(id));
    return OwnedRef::borrow(cached.get());
  }

  OwnedRef id_object(NodeId id) {
    OwnedRef& cached = ids_[id];
    if (!cached) cached = OwnedRef::steal(PyLong_FromUnsignedLongLong(id));
    return OwnedRef::borrow(cached.get());
  }

  static OwnedRef value_object(const ParamValueRef& value) {
    switch (value.tag) {
      case ParamTag::Int: return OwnedRef::steal(PyLong_FromLongLong(value.as_int()));
      case ParamTag::Float: return OwnedRef::steal(PyFloat_FromDouble(value.as_float()));
      case ParamTag::Bool: return OwnedRef::steal(PyBool_FromLong(value.as_bool()));
      case ParamTag::Str: return new_str(value.text);
    }
    return {};
  }

  // A parameter's value; a text comes from the table, shared like the keys.
  OwnedRef param_value_object(const NodeView& node, std::size_t i) {
    const ParamValueRef value = node.param_value(i);
    return value.tag == ParamTag::Str ? text(node.param_str_text_id(i)) : value_object(value);
  }

  OwnedRef params_dict(const NodeView& node) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t i = 0; i < node.param_count(); ++i) {
      OwnedRef key = text(node.param_key_text_id(i));
      if (!key || !set_item(dict.get(), key.get(), param_value_object(node, i))) return {};
    }
    return dict;
  }

  // Params stored as entry words (a stage member's), texts as the table's.
  OwnedRef params_dict(std::span<const std::uint32_t> words) {
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return {};
    for (std::size_t at = 0; at < words.size(); at += entry::kWordsPerParam) {
      const std::uint32_t* param = words.data() + at;
      const ParamTag tag = entry::param_tag(param);
      OwnedRef key = text(entry::param_key(param));
      OwnedRef value = tag == ParamTag::Str ? text(static_cast<StrId>(entry::param_bits(param)))
                                            : value_object(ParamValueRef{tag, entry::param_bits(param), {}});
      if (!key || !set_item(dict.get(), key.get(), std::move(value))) return {};
    }
    return dict;
  }

  OwnedRef inputs_list(const NodeView& node) {
    std::span<const std::uint32_t> inputs = node.inputs();
    return new_list(inputs.size(), [&](std::size_t i) { return id_object(inputs[i]); });
  }

  OwnedRef descriptor_dict(const NodeView& node) {
    const DescriptorRef d = node.descriptor_ref();
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return {};
    const std::string_view fields[5] = {d.kind, d.content_hash, d.framework, d.version, d.io_schema};
    for (int i = 0; i < 5; ++i) {
      if (!set_item(dict.get(), keys_.descriptor_fields[i].get(), new_str(fields[i]))) return {};
    }
    OwnedRef reference = d.preprocessing_ref ? new_str(*d.preprocessing_ref) : OwnedRef::borrow(Py_None);
    if (!set_item(dict.get(), keys_.descriptor_fields[5].get(), std::move(reference))) return {};
    return dict;
  }

  static constexpr std::uint32_t kSharedRefIndices = 256;  // more than any real stage reads

  OwnedRef new_member_ref(MemberRef ref) const {
    PyObject* kind = (ref.kind == MemberRefKind::Input ? keys_.ref_input : keys_.ref_member).get();
    OwnedRef index = OwnedRef::steal(PyLong_FromUnsignedLongLong(ref.index));
    if (!index) return {};
    return OwnedRef::steal(PyTuple_Pack(2, kind, index.get()));
  }

  // One (kind, index) tuple per distinct small reference, shared: a tuple cannot be changed.
  // A read store may hold any index, so larger ones get a tuple each.
  OwnedRef member_ref(MemberRef ref) {
    if (ref.index >= kSharedRefIndices) return new_member_ref(ref);
    std::vector<OwnedRef>& cache = ref.kind == MemberRefKind::Input ? input_refs_ : member_refs_;
    if (cache.empty()) cache.resize(kSharedRefIndices);
    OwnedRef& cached = cache[ref.index];
    if (!cached) cached = new_member_ref(ref);
    return OwnedRef::borrow(cached.get());
  }

  // (kind, index) pairs: where each input of a stage member comes from.
  OwnedRef member_refs_list(std::span<const MemberRef> refs) {
    return new_list(refs.size(), [&](std::size_t i) { return member_ref(refs[i]); });
  }

  // What a member token reads as: its kind and name, shared, and its params, copied per view.
  struct ParsedMember {
    OwnedRef kind, name, params;
  };

  // The member's kind, name and params as the table read them from its token, made into
  // objects once per token text; null with an exception set for a token that does not read.
  const ParsedMember* parsed_member(const NodeView& node, std::size_t m) {
    if (members_.empty()) members_.resize(texts_.size());
    ParsedMember& cached = members_[node.member_token_text_id(m)];
    if (cached.kind) return &cached;
    const NodeTable::MemberShape& shape = node.member_shape(m);
    if (shape.kind == NodeTable::MemberKind::Unreadable) {
      raise_value_error("unparseable stage member token " + quoted(node.member_token(m)));
      return nullptr;
    }
    OwnedRef name = text(shape.name), params = params_dict(node.member_param_words(m));
    if (!name || !params) return nullptr;
    // An op member's kind is the node kind's text; a reduction member's is "red".
    const OwnedRef& kind =
        shape.kind == NodeTable::MemberKind::Op ? keys_.kinds[static_cast<int>(NodeKind::Op)] : keys_.member_red;
    cached.kind = OwnedRef::borrow(kind.get());
    cached.name = std::move(name);
    cached.params = std::move(params);
    return &cached;
  }

  OwnedRef member_view(const NodeView& node, std::size_t m) {
    if (!share_members_) return new_member_view(node, m);
    // One dict per distinct (token, references): the key is their words.
    std::string key;
    const StrId token = node.member_token_text_id(m);
    key.append(reinterpret_cast<const char*>(&token), sizeof token);
    for (const MemberRef& ref : node.member_refs(m)) {
      const std::uint64_t word = ref.index * 2 + (ref.kind == MemberRefKind::Member);
      key.append(reinterpret_cast<const char*>(&word), sizeof word);
    }
    auto [cached, added] = shared_members_.find_or_insert_with(key, [] { return OwnedRef(); });
    if (!*cached) *cached = new_member_view(node, m);
    return OwnedRef::borrow(cached->get());
  }

  OwnedRef new_member_view(const NodeView& node, std::size_t m) {
    const ParsedMember* parsed = parsed_member(node, m);
    if (!parsed) return {};
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict || !set_item(dict.get(), keys_.kind.get(), OwnedRef::borrow(parsed->kind.get())) ||
        !set_item(dict.get(), keys_.name.get(), OwnedRef::borrow(parsed->name.get())) ||
        !set_item(dict.get(), keys_.params.get(),
                  share_members_ ? OwnedRef::borrow(parsed->params.get())
                                 : OwnedRef::steal(PyDict_Copy(parsed->params.get()))) ||
        !set_item(dict.get(), keys_.inputs.get(), member_refs_list(node.member_refs(m)))) {
      return {};
    }
    return dict;
  }

  OwnedRef members_list(const NodeView& node) {
    return new_list(node.member_count(), [&](std::size_t m) { return member_view(node, m); });
  }

  OwnedRef name_object(const NodeView& node) {
    return has_name(node.kind()) ? text(node.name_text_id()) : OwnedRef::borrow(keys_.empty.get());
  }

  OwnedRef node_view(NodeId id) {
    const NodeView node = table_[id];
    OwnedRef dict = OwnedRef::steal(PyDict_New());
    if (!dict) return {};
    PyObject* d = dict.get();
    const bool ok = set_item(d, keys_.id.get(), id_object(id)) &&
                    set_item(d, keys_.output.get(), OwnedRef::steal(PyBool_FromLong(is_output_[id]))) &&
                    set_item(d, keys_.inputs.get(), inputs_list(node)) &&
                    set_item(d, keys_.kind.get(), OwnedRef::borrow(keys_.kinds[static_cast<int>(node.kind())].get())) &&
                    set_item(d, keys_.name.get(), name_object(node)) &&
                    set_item(d, keys_.params.get(), params_dict(node));
    if (!ok || !add_kind_fields(d, node)) return {};
    return dict;
  }

  // The descriptor of an External, the member count and members of a Stage.
  bool add_kind_fields(PyObject* d, const NodeView& node) {
    if (node.kind() == NodeKind::External) return set_item(d, keys_.descriptor.get(), descriptor_dict(node));
    if (node.kind() == NodeKind::Stage) {
      return set_item(d, keys_.n_members.get(), OwnedRef::steal(PyLong_FromSize_t(node.member_count()))) &&
             (omit_members_ || set_item(d, keys_.members.get(), members_list(node)));
    }
    return true;
  }

  const NodeTable& table_;
  const InternedNames& keys_;
  std::vector<OwnedRef> texts_;  // made on first use, then shared by every view that shows them
  std::vector<OwnedRef> ids_;
  std::vector<bool> is_output_;
  std::vector<ParsedMember> members_;  // by member token text, made on first use
  bool share_members_ = false;
  bool omit_members_ = false;
  HashMap<std::string, OwnedRef> shared_members_;
  std::vector<OwnedRef> input_refs_, member_refs_;
};

}  // namespace veltrix::python
