// GraphStore persistence methods: to_dot, serialize, and the static deserialize.
//
// serialize sizes the blob first and then writes it straight into the bytes object it returns,
// so the blob is never copied; a value that cannot be encoded is refused before anything is
// allocated. deserialize builds a complete store from the bytes or raises the reader's error;
// no partly read store is ever wrapped.
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/object_builders.h"
#include "store/dot_export.h"
#include "store/ir_reader.h"
#include "store/ir_writer.h"

namespace veltrix::python {
namespace {

constexpr Parameter kSerializeParams[] = {{"outputs", false, false}};
constexpr Parameter kDeserializeParams[] = {{"data", true, false}};

constexpr ParamTable kSerialize{"GraphStore.serialize()", kSerializeParams};
constexpr ParamTable kDeserialize{"GraphStore.deserialize()", kDeserializeParams};

}  // namespace

PyObject* store_to_dot(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    const std::string text = to_dot(store_of(self));  // the lock is released before the str is built
    return new_str(text).release();
  });
}

PyObject* store_serialize(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kSerialize, args, nargs, kwnames, slots)) return nullptr;
    GraphStore& store = store_of(self);
    std::optional<std::vector<NodeId>> outputs;
    if (!convert_outputs(slots[0], store, outputs)) return nullptr;
    const GraphSnapshot snapshot = store.snapshot();
    const std::span<const NodeId> written = outputs ? *outputs : snapshot.outputs;
    const Result<std::size_t, ValueTooLong> size = ir_blob_size(snapshot.nodes, written);
    if (!size.ok()) return raise_value_error(size.error().message());
    OwnedRef bytes = OwnedRef::steal(PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(size.value())));
    if (!bytes) return nullptr;
    write_ir_blob(snapshot.nodes, written, std::span<char>(PyBytes_AS_STRING(bytes.get()), size.value()));
    return bytes.release();
  });
}

PyObject* store_deserialize(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[1];
    if (!bind(kDeserialize, args, nargs, kwnames, slots)) return nullptr;
    std::string_view data;
    if (!convert_argument(convert_bytes, slots[0], "data", data)) return nullptr;
    // The bytes object is immutable and held by the caller for the whole call, so the reader can
    // borrow its buffer.
    Result<GraphStore, BlobError> store = read_ir_blob(data);
    if (!store.ok()) return raise_value_error(store.error().message());
    return wrap_store(std::move(store).value()).release();
  });
}

}  // namespace veltrix::python
