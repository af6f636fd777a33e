// GraphStore._record_columns: many nodes recorded in one call, for veltrix_core.columns.record.
//
// The batch gives, per row, a kind code, a name, params (or an index into a table of params)
// and a descriptor, and the inputs of all rows as one flat column cut by offsets; an input is an
// id of the store (0 or more) or an earlier row of the same batch (-1 - row). Every row converts
// and is checked first, with the messages of the add_* methods prefixed by the row and the
// field; then all rows are interned in order under one acquisition of the store's lock, each
// input id checked against the store as it stands when its row is interned, as add_* would. A
// row with an input that names no node undoes the rows before it. So a bad row leaves the store
// unchanged, and a good batch gives exactly what recording its rows one add_* call at a time
// would.
#include <algorithm>
#include <cctype>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "python/binder.h"
#include "python/converters.h"
#include "python/errors.h"
#include "python/graph_store_methods.h"
#include "python/graph_store_object.h"
#include "python/node_converters.h"
#include "support/hashing.h"
#include "support/internal_failure.h"

namespace veltrix::python {
namespace {

constexpr Parameter kRecordParams[] = {{"kinds", true, false},       {"names", true, false},   {"params", true, false},
                                       {"descriptors", true, false}, {"offsets", true, false}, {"inputs", true, false},
                                       {"param_rows", false, true}};
constexpr ParamTable kRecord{"GraphStore._record_columns()", kRecordParams};

// Replaces the exception being raised by one of the same type whose message starts with
// `prefix`, the original as its cause. Always returns false.
bool prefix_error(const std::string& prefix) {
  PyObject* original = PyErr_GetRaisedException();
  OwnedRef text = OwnedRef::steal(PyObject_Str(original));
  const char* message = text ? PyUnicode_AsUTF8(text.get()) : nullptr;
  if (!message) {
    PyErr_Clear();
    message = "";
  }
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(original));
  if (type != PyExc_TypeError && type != PyExc_ValueError) type = PyExc_ValueError;
  PyErr_SetString(type, (prefix + message).c_str());
  PyObject* replacement = PyErr_GetRaisedException();
  PyException_SetCause(replacement, original);  // steals `original`
  PyErr_SetRaisedException(replacement);
  return false;
}

std::string row_field(std::size_t row, const char* field) { return "row " + std::to_string(row) + ", " + field + ": "; }

bool row_error(PyObject* type, std::size_t row, const char* field, const std::string& message) {
  PyErr_SetString(type, (row_field(row, field) + message).c_str());
  return false;
}

// A column of integers: any C-contiguous buffer of an integer format (numpy arrays, array.array,
// memoryviews, bytes), or a list or tuple of ints.
class IntColumn {
 public:
  IntColumn() = default;
  IntColumn(const IntColumn&) = delete;
  IntColumn& operator=(const IntColumn&) = delete;
  ~IntColumn() {
    if (view_.obj) PyBuffer_Release(&view_);
  }

  bool read(PyObject* object, const char* name) {
    if (PyObject_CheckBuffer(object)) return read_buffer(object, name);
    if (!PyList_Check(object) && !PyTuple_Check(object)) {
      return raise_type_error(std::string(name) + " must be a buffer of integers or a list or tuple of ints"), false;
    }
    OwnedRef items = OwnedRef::steal(PySequence_Tuple(object));  // a stable copy: lists may change
    if (!items) return false;
    const Py_ssize_t n = PyTuple_GET_SIZE(items.get());
    values_.resize(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
      PyObject* item = PyTuple_GET_ITEM(items.get(), i);
      if (PyBool_Check(item) || !PyLong_Check(item)) {
        return raise_type_error(std::string(name) + "[" + std::to_string(i) + "] must be an int, not " +
                                type_qualname(Py_TYPE(item))),
               false;
      }
      const long long value = PyLong_AsLongLong(item);
      if (value == -1 && PyErr_Occurred()) return prefix_error(std::string(name) + "[" + std::to_string(i) + "]: ");
      values_[static_cast<std::size_t>(i)] = value;
    }
    size_ = values_.size();
    int64s_ = values_.data();
    return true;
  }

  std::size_t size() const { return size_; }

  std::int64_t at(std::size_t i) const {
    if (int64s_) return int64s_[i];
    if (!data_) return values_[i];
    const char* p = data_ + i * itemsize_;
    switch (itemsize_) {
      case 1: return is_signed_ ? std::int64_t{load<std::int8_t>(p)} : std::int64_t{load<std::uint8_t>(p)};
      case 2: return is_signed_ ? std::int64_t{load<std::int16_t>(p)} : std::int64_t{load<std::uint16_t>(p)};
      case 4: return is_signed_ ? std::int64_t{load<std::int32_t>(p)} : std::int64_t{load<std::uint32_t>(p)};
      default: {
        const std::uint64_t raw = load<std::uint64_t>(p);
        // An unsigned value beyond int64 reads as too large, never as a negative row reference.
        if (!is_signed_ && raw > static_cast<std::uint64_t>(INT64_MAX)) return INT64_MAX;
        return static_cast<std::int64_t>(raw);
      }
    }
  }

 private:
  template <class T>
  static T load(const char* p) {
    T value;
    std::memcpy(&value, p, sizeof(T));
    return value;
  }

  bool read_buffer(PyObject* object, const char* name) {
    if (PyObject_GetBuffer(object, &view_, PyBUF_FORMAT | PyBUF_C_CONTIGUOUS) < 0) {
      return prefix_error(std::string(name) + ": ");
    }
    const char* format = view_.format ? view_.format : "B";
    if (*format == '@' || *format == '=' || *format == '<') ++format;
    const bool known = std::strlen(format) == 1 && std::strchr("bBhHiIlLqQnN", *format) != nullptr;
    if (!known || view_.ndim > 1 ||
        (view_.itemsize != 1 && view_.itemsize != 2 && view_.itemsize != 4 && view_.itemsize != 8)) {
      return raise_type_error(std::string(name) + " must hold integers (a buffer of format '" +
                              (view_.format ? view_.format : "B") + "' does not)"),
             false;
    }
    is_signed_ = std::islower(static_cast<unsigned char>(*format)) != 0;
    itemsize_ = static_cast<std::size_t>(view_.itemsize);
    size_ = static_cast<std::size_t>(view_.len) / itemsize_;
    data_ = static_cast<const char*>(view_.buf);
    // The common case, int64 columns, is read in place without a conversion per item.
    if (itemsize_ == 8 && is_signed_ && reinterpret_cast<std::uintptr_t>(data_) % alignof(std::int64_t) == 0) {
      int64s_ = reinterpret_cast<const std::int64_t*>(data_);
    }
    return true;
  }

  Py_buffer view_{};
  const std::int64_t* int64s_ = nullptr;
  const char* data_ = nullptr;
  std::size_t itemsize_ = 8;
  bool is_signed_ = true;
  std::size_t size_ = 0;
  std::vector<std::int64_t> values_;
};

// A stable copy (a tuple that keeps every item alive: lists may change) of a list or tuple;
// `shape` says what the sequence must be in the error for anything else.
bool read_sequence(PyObject* object, const char* name, const char* shape, OwnedRef& out) {
  if (!PyList_Check(object) && !PyTuple_Check(object)) {
    return raise_type_error(std::string(name) + " must be a list or tuple " + shape), false;
  }
  out = OwnedRef::steal(PySequence_Tuple(object));
  return static_cast<bool>(out);
}

// A column of objects, one per row; None for a whole column of Nones.
bool read_objects(PyObject* object, const char* name, std::size_t rows, OwnedRef& out) {
  if (object == Py_None) return true;
  if (!read_sequence(object, name, "(one item per row) or None", out)) return false;
  if (static_cast<std::size_t>(PyTuple_GET_SIZE(out.get())) != rows) {
    return raise_value_error(std::string(name) + " has " + std::to_string(PyTuple_GET_SIZE(out.get())) + " items for " +
                             std::to_string(rows) + " rows"),
           false;
  }
  return true;
}

PyObject* item_or_none(const OwnedRef& column, std::size_t row) {
  return column ? PyTuple_GET_ITEM(column.get(), static_cast<Py_ssize_t>(row)) : Py_None;
}

// One converted row; its texts are views of objects the batch keeps alive.
struct Row {
  NodeKind kind;
  std::string_view name;
  std::uint32_t name_slot;  // the names cache slot its name went through
  std::uint32_t params;     // into Batch::ranges_
  std::uint32_t param_count;
  std::uint32_t descriptor;  // into Batch::descriptors, for an External
  std::uint64_t first_input;
  std::uint64_t input_count;
};

struct ParamRange {
  std::uint32_t first, count;
  std::uint32_t resolved = kUnresolved;  // into Batch::resolved_params_, once resolved
  static constexpr std::uint32_t kUnresolved = UINT32_MAX;
};

class Batch {
 public:
  bool convert(PyObject* const* args) {
    if (!kinds_.read(args[0], "kinds")) return false;
    const std::size_t rows = kinds_.size();
    if (!read_objects(args[1], "names", rows, names_) || !read_params(args[2], args[6], rows) ||
        !read_objects(args[3], "descriptors", rows, descriptors_) || !offsets_.read(args[4], "offsets") ||
        !inputs_.read(args[5], "inputs") || !check_offsets(rows)) {
      return false;
    }
    rows_.reserve(rows);
    for (std::size_t r = 0; r < rows; ++r) {
      if (!convert_row(r)) return false;
    }
    return true;
  }

  std::size_t size() const { return rows_.size(); }
  // The table words of every row, as if none were recorded before.
  std::size_t words() const { return rows_.size() * entry::kHeaderWords + inputs_.size() + param_words_; }

  // Row `r` with its texts as `interner`'s ids and its inputs as far as they are known: a
  // reference to an earlier row reads `ids`, the ids of the first `interned` rows. False when a
  // reference reads a row beyond those; fill_inputs then writes the inputs once it can. Runs
  // under the store's lock: it calls into nothing but the interner.
  bool prepare(std::size_t r, const NodeId* ids, std::size_t interned, NodeInterner& interner,
               NodeInterner::ResolvedNode& node) {
    const Row& row = rows_[r];
    node.kind = row.kind;
    node.param_count = row.param_count;
    node.input_count = static_cast<std::uint32_t>(row.input_count);
    node.words.clear();
    node.members.clear();
    const StrId label = has_name(row.kind) ? name_id(row, interner) : 0;
    entry::Builder build(node.words);
    build.header(row.kind, node.param_count, node.input_count, label);
    node.words.append(resolved_params(row, interner));
    if (row.kind == NodeKind::External) node.descriptor = resolved_descriptor(row.descriptor, interner);
    bool complete = true;
    for (std::uint64_t i = 0; i < row.input_count; ++i) {
      const std::int64_t input = inputs_.at(row.first_input + i);
      if (input < 0 && static_cast<std::size_t>(-1 - input) >= interned) complete = false;
      build.input(complete ? node_word(input, ids) : 0);
    }
    return complete;
  }

  // Writes the inputs of row `r`, prepared before, now that every row before it is interned.
  void fill_inputs(std::size_t r, const NodeId* ids, NodeInterner::ResolvedNode& node) const {
    const Row& row = rows_[r];
    const std::span<std::uint32_t> slots = entry::inputs(node.words.data());
    for (std::uint64_t i = 0; i < row.input_count; ++i) slots[i] = node_word(inputs_.at(row.first_input + i), ids);
  }

  // The first input of row `r` at or beyond `size`, the number of nodes the store holds when the
  // row is interned, as the row gave it (references to earlier rows always name a node).
  BadNodeId bad_input(std::size_t r, std::uint64_t size) const {
    const Row& row = rows_[r];
    for (std::uint64_t i = 0; i < row.input_count; ++i) {
      const std::int64_t input = inputs_.at(row.first_input + i);
      if (input >= 0 && static_cast<std::uint64_t>(input) >= size) return BadNodeId{static_cast<NodeId>(input)};
    }
    internal_failure("a batch row whose inputs all name nodes was refused");
  }

 private:
  bool check_offsets(std::size_t rows) {
    if (offsets_.size() != rows + 1) {
      return raise_value_error("offsets has " + std::to_string(offsets_.size()) + " items for " + std::to_string(rows) +
                               " rows (it needs rows + 1)"),
             false;
    }
    if (offsets_.at(0) != 0 || offsets_.at(rows) != static_cast<std::int64_t>(inputs_.size())) {
      return raise_value_error("offsets must start at 0 and end at the length of inputs (" +
                               std::to_string(inputs_.size()) + ")"),
             false;
    }
    for (std::size_t r = 0; r < rows; ++r) {
      if (offsets_.at(r + 1) < offsets_.at(r)) {
        return row_error(PyExc_ValueError, r, "offsets", "offsets must not decrease");
      }
    }
    return true;
  }

  // Params one per row, or, with `param_rows`, a table of params that the rows index.
  bool read_params(PyObject* params, PyObject* param_rows, std::size_t rows) {
    if (!param_rows || param_rows == Py_None) return read_objects(params, "params", rows, params_);
    if (!read_sequence(params, "params", "(a table the rows index)", params_) ||
        !param_rows_.read(param_rows, "param_rows")) {
      return false;
    }
    if (param_rows_.size() != rows) {
      return raise_value_error("param_rows has " + std::to_string(param_rows_.size()) + " items for " +
                               std::to_string(rows) + " rows"),
             false;
    }
    by_table_ = true;
    table_ranges_.assign(static_cast<std::size_t>(PyTuple_GET_SIZE(params_.get())), ParamRange::kUnresolved);
    return true;
  }

  bool convert_row(std::size_t r) {
    Row row{};
    const std::int64_t code = kinds_.at(r);
    if (code < 0 || code > 5 || code == static_cast<std::int64_t>(NodeKind::Stage)) {
      return row_error(PyExc_ValueError, r, "kind",
                       std::to_string(code) +
                           " is not a kind that can be recorded (source 0, op 1, reduction 2, external 3, exchange 5)");
    }
    row.kind = static_cast<NodeKind>(code);
    PyObject* name = item_or_none(names_, r);
    if (has_name(row.kind)) {
      RecentName& recent = recent_names_[slot_of(name, kRecentNames)];
      if (recent.object != name) {
        if (!convert_string(name, recent.text)) return prefix_error(row_field(r, "name"));
        recent.object = name;  // the names column holds it for the whole batch
        recent.id = kNoString;
      }
      row.name = recent.text;
      row.name_slot = static_cast<std::uint32_t>(&recent - recent_names_);
    } else if (name != Py_None) {
      return row_error(PyExc_TypeError, r, "name", std::string(kind_name(row.kind)) + " nodes have no name: give None");
    }
    if (!convert_row_params(r, row)) return false;
    PyObject* descriptor = item_or_none(descriptors_, r);
    if (row.kind == NodeKind::External) {
      DescriptorRef converted;
      if (!convert_descriptor(descriptor, converted, keep_)) return prefix_error(row_field(r, "descriptor"));
      row.descriptor = static_cast<std::uint32_t>(descriptors_flat_.size());
      descriptors_flat_.push_back(converted);
    } else if (descriptor != Py_None) {
      return row_error(PyExc_TypeError, r, "descriptor", "only external nodes have a descriptor: give None");
    }
    return convert_row_inputs(r, row) && (rows_.push_back(row), true);
  }

  // Rows often share one params dict: each object converts once while it is the one a cache
  // line remembers (a few recent objects, by address), and its texts resolve once. A table's
  // entries convert once each.
  bool convert_row_params(std::size_t r, Row& row) {
    row.params = 0;  // the empty range
    row.param_count = 0;
    if (by_table_) {
      if (!table_params(r, row.params)) return false;
    } else {
      PyObject* params = item_or_none(params_, r);
      if (params == Py_None) return true;
      RecentParams& recent = recent_params_[slot_of(params, kRecentParams)];
      if (recent.object != params) {
        if (!convert_params_range(r, params, recent.range)) return false;
        keep_.hold(params);  // the cache compares its address: it must outlive the batch
        recent.object = params;
      }
      row.params = recent.range;
    }
    row.param_count = ranges_[row.params].count;
    param_words_ += std::size_t{row.param_count} * entry::kWordsPerParam;
    return true;
  }

  // The range of the table entry row `r` names, converted when a row first names it (so an
  // error names that row, and entries no row names are never read).
  bool table_params(std::size_t r, std::uint32_t& range) {
    const std::int64_t index = param_rows_.at(r);
    const auto entries = static_cast<std::int64_t>(table_ranges_.size());
    if (index < 0 || index >= entries) {
      return row_error(PyExc_ValueError, r, "param_rows",
                       std::to_string(index) + " is not an index of params (" + std::to_string(entries) + " entries)");
    }
    std::uint32_t& converted = table_ranges_[static_cast<std::size_t>(index)];
    if (converted == ParamRange::kUnresolved) {
      PyObject* params = PyTuple_GET_ITEM(params_.get(), static_cast<Py_ssize_t>(index));
      if (params == Py_None) {
        converted = 0;
      } else if (!convert_params_range(r, params, converted)) {
        return false;
      }
    }
    range = converted;
    return true;
  }

  // Converts one params dict into a new range.
  bool convert_params_range(std::size_t r, PyObject* params, std::uint32_t& range) {
    if (!convert_params(params, scratch_, keep_)) return prefix_error(row_field(r, "params"));
    if (scratch_.size() > NodeTable::kMaxParams)
      return row_error(PyExc_ValueError, r, "params", NodeTable::kNodeTooLarge);
    range = static_cast<std::uint32_t>(ranges_.size());
    ranges_.push_back({static_cast<std::uint32_t>(params_flat_.size()), static_cast<std::uint32_t>(scratch_.size())});
    for (const BorrowedNode::Param& p : scratch_) params_flat_.push_back(p);
    return true;
  }

  // The params words of a row in the interner's text ids, resolved once per converted dict.
  std::span<const std::uint32_t> resolved_params(const Row& row, NodeInterner& interner) {
    ParamRange& range = ranges_[row.params];
    if (range.resolved == ParamRange::kUnresolved) {
      range.resolved = static_cast<std::uint32_t>(resolved_params_.size());
      for (std::uint32_t p = 0; p < range.count; ++p) {
        const BorrowedNode::Param& param = params_flat_[range.first + p];
        const StrId key = interner.intern_text(param.key);
        const std::uint64_t bits =
            param.value.tag == ParamTag::Str ? interner.intern_text(param.value.text) : param.value.bits;
        resolved_params_.push_back(key);
        resolved_params_.push_back(static_cast<std::uint32_t>(param.value.tag));
        resolved_params_.push_back(static_cast<std::uint32_t>(bits));
        resolved_params_.push_back(static_cast<std::uint32_t>(bits >> 32));
      }
    }
    return {resolved_params_.data() + range.resolved, std::size_t{range.count} * entry::kWordsPerParam};
  }

  NodeTable::DescriptorRecord resolved_descriptor(std::uint32_t index, NodeInterner& interner) {
    const DescriptorRef& d = descriptors_flat_[index];
    NodeTable::DescriptorRecord record{};
    const std::string_view fields[5] = {d.kind, d.content_hash, d.framework, d.version, d.io_schema};
    for (int f = 0; f < 5; ++f) record.fields[f] = interner.intern_text(fields[f]);
    record.preprocessing_ref = d.preprocessing_ref ? interner.intern_text(*d.preprocessing_ref) : kNoString;
    return record;
  }

  bool convert_row_inputs(std::size_t r, Row& row) {
    row.first_input = static_cast<std::uint64_t>(offsets_.at(r));
    row.input_count = static_cast<std::uint64_t>(offsets_.at(r + 1) - offsets_.at(r));
    if (row.kind == NodeKind::Source && row.input_count != 0) {
      return row_error(PyExc_ValueError, r, "inputs", "source nodes have no inputs");
    }
    if (row.input_count > NodeTable::kMaxInputs)
      return row_error(PyExc_ValueError, r, "inputs", NodeTable::kNodeTooLarge);
    for (std::uint64_t i = 0; i < row.input_count; ++i) {
      const std::int64_t input = inputs_.at(row.first_input + i);
      if (input < 0 && static_cast<std::uint64_t>(-1 - input) >= r) {
        return row_error(PyExc_ValueError, r, "inputs",
                         std::to_string(input) + " names row " + std::to_string(-1 - input) +
                             ", which is not an earlier row of the batch");
      }
    }
    return true;
  }

  IntColumn kinds_, offsets_, inputs_, param_rows_;
  OwnedRef names_, params_, descriptors_;
  bool by_table_ = false;                    // params_ is a table that param_rows_ indexes
  std::vector<std::uint32_t> table_ranges_;  // per table entry: its range, once converted
  KeepAlive keep_;
  std::vector<Row> rows_;
  std::vector<BorrowedNode::Param> params_flat_;
  std::vector<DescriptorRef> descriptors_flat_;
  // The table word of an input: an id, or the id an earlier row got. An id no node can have reads
  // as one no store holds (bad_input reports the id as given).
  static std::uint32_t node_word(std::int64_t input, const NodeId* ids) {
    const std::int64_t id = input >= 0 ? input : static_cast<std::int64_t>(ids[-1 - input]);
    return id > static_cast<std::int64_t>(UINT32_MAX) ? UINT32_MAX : static_cast<std::uint32_t>(id);
  }

  // A direct-mapped cache slot of an object's address.
  static std::size_t slot_of(const PyObject* object, std::size_t slots) {
    return static_cast<std::size_t>(mix64(reinterpret_cast<std::uintptr_t>(object)) & (slots - 1));
  }

  // The name's text id is remembered with the object while the slot holds it: rows of one name
  // object skip converting and hashing it.
  StrId name_id(const Row& row, NodeInterner& interner) {
    RecentName& recent = recent_names_[row.name_slot];
    if (recent.text.data() == row.name.data() && recent.id != kNoString) return recent.id;
    const StrId id = interner.intern_text(row.name);
    if (recent.text.data() == row.name.data()) recent.id = id;
    return id;
  }

  struct RecentName {
    PyObject* object = nullptr;
    std::string_view text;
    StrId id = kNoString;
  };
  static constexpr std::size_t kRecentNames = 256;
  RecentName recent_names_[kRecentNames];
  struct RecentParams {
    PyObject* object = nullptr;
    std::uint32_t range = 0;
  };
  static constexpr std::size_t kRecentParams = 1024;
  RecentParams recent_params_[kRecentParams];
  std::vector<ParamRange> ranges_{ParamRange{0, 0}};  // range 0: no params
  std::vector<std::uint32_t> resolved_params_;
  SmallVector<BorrowedNode::Param, 8> scratch_;
  std::size_t param_words_ = 0;
};

}  // namespace

PyObject* store_record_columns(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[7];
    if (!bind(kRecord, args, nargs, kwnames, slots)) return nullptr;
    Batch batch;
    if (!batch.convert(slots)) return nullptr;
    std::int64_t* ids = nullptr;
    OwnedRef result = OwnedRef::steal(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(batch.size() * sizeof(std::int64_t))));
    if (!result) return nullptr;
    ids = reinterpret_cast<std::int64_t*>(PyBytes_AS_STRING(result.get()));
    std::vector<NodeId> assigned(batch.size());
    std::size_t bad_row = 0;
    Result<void, BadNodeId> recorded =
        store_of(self).intern_rows(batch.size(), batch.words(), batch, assigned.data(), bad_row);
    if (!recorded.ok()) {
      row_error(PyExc_ValueError, bad_row, "inputs", recorded.error().message());
      return nullptr;
    }
    for (std::size_t r = 0; r < assigned.size(); ++r) ids[r] = static_cast<std::int64_t>(assigned[r]);
    return result.release();
  });
}

}  // namespace veltrix::python
