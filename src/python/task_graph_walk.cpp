// The private `_walk_tasks` of veltrix_core.dask: the walk over a dask graph's keys that its
// recording starts with, in one native loop.
//
// From the output keys, every key they read is found depth first, through `lookup(key)`, which
// gives None for a key the graph does not hold and otherwise (value, keys read, pinned). A key's
// place is (rank, level): its layer's rank (`ranks[key]`, else `block_ranks[key[0]]`) and the
// length of the longest chain of keys of its own rank it reads. Keys of one place read none of
// each other, so the keys of one place and one form of block are a group, recorded together;
// groups come in the order of their places, and in the order found within one. A key that reads
// one of a later rank means the ranks are wrong: the keys are then given in the order found, as
// they are without ranks (`ranks` None).
//
// Every failure is a value or an exception, never a crash: a cycle is returned as (None, key),
// and an exception raised by the caller's objects (lookup, a key's __hash__ or __eq__, an
// iterator of keys read) ends the walk with that exception. The walk keeps its own stack, so
// graphs of any depth are walked without recursion, and it holds a reference to everything it
// has met until it returns; it reads a copy of the outputs and no state outside the call.
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "python/binder.h"
#include "python/errors.h"
#include "python/object_builders.h"
#include "python/task_graph_walk.h"

namespace veltrix::python {
namespace {

constexpr Parameter kParams[] = {{"outputs", true, false},
                                 {"lookup", true, false},
                                 {"ranks", true, false},
                                 {"block_ranks", true, false},
                                 {"block_type", true, false}};
constexpr ParamTable kTable{"_walk_tasks()", kParams};

// Above every layer's rank: the outputs are read from outside the graph.
constexpr std::int64_t kRootRank = std::int64_t{1} << 62;
constexpr std::size_t kRoot = static_cast<std::size_t>(-1);

enum class Status : std::uint8_t { kExpanded, kPlaced, kDone };

struct Met {  // a key the walk has met
  OwnedRef key;
  OwnedRef entry;  // lookup's (value, keys read, pinned); null for a key the graph does not hold
  std::int64_t rank = 0;
  std::int64_t level = 0;
  Status status = Status::kExpanded;
};

struct Frame {  // a key whose reads are being visited
  std::size_t met;
  OwnedRef pending;  // an iterator over the keys it reads not visited yet
  std::int64_t rank;
  std::int64_t level;  // the level its reads so far give it
};

struct Group {
  std::int64_t rank;
  std::int64_t level;
  bool blocks;
  OwnedRef items;  // a list of (key, block) for blocks, else of (key, entry)
};

struct Last {  // the group the last key placed went to, and what put it there
  std::size_t index = kRoot;
  std::int64_t rank = 0;
  std::int64_t level = 0;
  OwnedRef layer;
  OwnedRef kinds;
};

class Walk {
 public:
  Walk(PyObject* lookup, PyObject* ranks, PyObject* block_ranks, PyObject* block_type)
      : lookup_(lookup), ranks_(ranks), block_ranks_(block_ranks), block_type_(block_type), ranked_(ranks != Py_None) {}

  PyObject* run(PyObject* outputs);

 private:
  // The index of `key` among the keys met; kRoot if not met; false on an exception.
  bool find(PyObject* key, std::size_t& index);
  bool remember(PyObject* key, std::size_t index);
  bool rank_of(PyObject* key, std::int64_t& rank);
  // Meets `key` not met before: 1 with a frame pushed, 0 for a key the graph does not hold.
  int meet(OwnedRef key);
  bool finish(const Frame& frame);
  bool add_to_group(const Met& met);
  // The index of the group of `met`'s place and form (`kinds` null for no form), made if new.
  bool group_index(const Met& met, PyObject* layer, PyObject* kinds, std::size_t& index);
  PyObject* result();

  PyObject* lookup_;
  PyObject* ranks_;  // None for a graph without ranks
  PyObject* block_ranks_;
  PyObject* block_type_;
  OwnedRef index_of_ = OwnedRef::steal(PyDict_New());    // key -> its index in met_
  OwnedRef group_of_ = OwnedRef::steal(PyDict_New());    // (rank, level, form) -> its index in groups_
  OwnedRef externals_ = OwnedRef::steal(PyList_New(0));  // the keys the graph does not hold
  std::vector<Met> met_;
  std::vector<Frame> stack_;
  std::vector<std::size_t> order_;
  std::vector<Group> groups_;
  Last last_;
  bool ranked_;  // false without ranks, or once a key reads one of a later rank
};

bool Walk::find(PyObject* key, std::size_t& index) {
  PyObject* found = nullptr;
  const int status = PyDict_GetItemRef(index_of_.get(), key, &found);
  if (status < 0) return false;
  index = kRoot;
  if (status == 0) return true;
  OwnedRef held = OwnedRef::steal(found);
  index = PyLong_AsSize_t(found);
  if (PyErr_Occurred()) return false;
  // Only a walk that failed part-way leaves a key without its record, and it stops there.
  if (index >= met_.size()) return raise_value_error("a key met without its record"), false;
  return true;
}

bool Walk::remember(PyObject* key, std::size_t index) {
  OwnedRef number = OwnedRef::steal(PyLong_FromSize_t(index));
  return number && PyDict_SetItem(index_of_.get(), key, number.get()) == 0;
}

bool Walk::rank_of(PyObject* key, std::int64_t& rank) {
  rank = 0;
  if (ranks_ == Py_None) return true;
  PyObject* found = nullptr;
  int status = PyDict_GetItemRef(ranks_, key, &found);
  if (status == 0 && PyTuple_Check(key) && PyTuple_GET_SIZE(key) > 0) {
    status = PyDict_GetItemRef(block_ranks_, PyTuple_GET_ITEM(key, 0), &found);
  }
  if (status < 0) return false;
  if (status == 0) {
    PyErr_SetObject(PyExc_KeyError, key);
    return false;
  }
  OwnedRef held = OwnedRef::steal(found);
  rank = PyLong_AsLongLong(found);
  if (rank == -1 && PyErr_Occurred()) return false;
  if (rank < 0 || rank >= kRootRank) return raise_value_error("a layer's rank out of range"), false;
  return true;
}

int Walk::meet(OwnedRef key) {
  const std::size_t index = met_.size();
  OwnedRef entry = OwnedRef::steal(PyObject_CallOneArg(lookup_, key.get()));
  if (!entry || !remember(key.get(), index)) return -1;
  if (entry.get() == Py_None) {
    if (PyList_Append(externals_.get(), key.get()) < 0) return -1;
    met_.push_back(Met{std::move(key), OwnedRef(), 0, 0, Status::kDone});
    return 0;
  }
  if (!PyTuple_CheckExact(entry.get()) || PyTuple_GET_SIZE(entry.get()) != 3) {
    raise_type_error("lookup must return None or a (value, keys read, pinned) tuple");
    return -1;
  }
  std::int64_t rank = 0;
  if (!rank_of(key.get(), rank)) return -1;
  OwnedRef pending = OwnedRef::steal(PyObject_GetIter(PyTuple_GET_ITEM(entry.get(), 1)));
  if (!pending) return -1;
  met_.push_back(Met{std::move(key), std::move(entry), rank, 0, Status::kExpanded});
  stack_.push_back(Frame{index, std::move(pending), rank, 0});
  return 1;
}

bool Walk::add_to_group(const Met& met) {
  PyObject* value = PyTuple_GET_ITEM(met.entry.get(), 0);
  OwnedRef layer, kinds;  // null for a value that is no block of a form
  if (Py_IS_TYPE(value, reinterpret_cast<PyTypeObject*>(block_type_))) {
    OwnedRef task = OwnedRef::steal(PyObject_GetAttrString(value, "task"));
    if (!task) return false;
    if (task.get() == Py_None) {
      layer = OwnedRef::steal(PyObject_GetAttrString(value, "layer"));
      kinds = OwnedRef::steal(layer ? PyObject_GetAttrString(value, "kinds") : nullptr);
      if (!kinds) return false;
    }
  }
  const bool blocks = static_cast<bool>(kinds);
  // Keys of one place mostly come one after another: the last group is tried first.
  Last& last = last_;
  bool same = last.index != kRoot && last.rank == met.rank && last.level == met.level &&
              last.layer.get() == layer.get() && (kinds.get() == nullptr) == (last.kinds.get() == nullptr);
  if (same && kinds.get() != last.kinds.get()) {  // kinds made for each block: equal tuples of ints
    const int equal = PyObject_RichCompareBool(kinds.get(), last.kinds.get(), Py_EQ);
    if (equal < 0) return false;
    same = equal == 1;
  }
  if (!same) {
    std::size_t index = kRoot;
    if (!group_index(met, layer.get(), kinds.get(), index)) return false;
    last = Last{index, met.rank, met.level, std::move(layer), std::move(kinds)};
  }
  OwnedRef item = OwnedRef::steal(PyTuple_Pack(2, met.key.get(), blocks ? value : met.entry.get()));
  return item && PyList_Append(groups_[last.index].items.get(), item.get()) == 0;
}

bool Walk::group_index(const Met& met, PyObject* layer, PyObject* kinds, std::size_t& index) {
  OwnedRef form = OwnedRef::borrow(Py_None);
  if (kinds) {  // the layer by identity, as forms are told apart
    form = OwnedRef::steal(Py_BuildValue("(NO)", PyLong_FromVoidPtr(layer), kinds));
    if (!form) return false;
  }
  OwnedRef place = OwnedRef::steal(
      Py_BuildValue("(LLO)", static_cast<long long>(met.rank), static_cast<long long>(met.level), form.get()));
  if (!place) return false;
  PyObject* found = nullptr;
  const int status = PyDict_GetItemRef(group_of_.get(), place.get(), &found);
  if (status < 0) return false;
  if (status == 1) {
    OwnedRef held = OwnedRef::steal(found);
    index = PyLong_AsSize_t(found);
    return !PyErr_Occurred();
  }
  index = groups_.size();
  OwnedRef items = OwnedRef::steal(PyList_New(0));
  OwnedRef number = OwnedRef::steal(PyLong_FromSize_t(index));
  if (!items || !number || PyDict_SetItem(group_of_.get(), place.get(), number.get()) < 0) return false;
  groups_.push_back(Group{met.rank, met.level, kinds != nullptr, std::move(items)});
  return true;
}

bool Walk::finish(const Frame& frame) {
  Met& met = met_[frame.met];
  order_.push_back(frame.met);
  if (!ranked_) {
    met.status = Status::kDone;
    return true;
  }
  met.rank = frame.rank;
  met.level = frame.level;
  met.status = Status::kPlaced;
  if (!add_to_group(met)) return false;
  Frame& reader = stack_.back();  // the root's frame is never finished before its reads
  if (met.rank > reader.rank) {
    ranked_ = false;
  } else if (met.rank == reader.rank && met.level >= reader.level) {
    reader.level = met.level + 1;
  }
  return true;
}

PyObject* Walk::run(PyObject* outputs) {
  if (!index_of_ || !group_of_ || !externals_) return nullptr;
  OwnedRef copied = OwnedRef::steal(PySequence_List(outputs));
  OwnedRef pending = OwnedRef::steal(copied ? PyObject_GetIter(copied.get()) : nullptr);
  if (!pending) return nullptr;
  stack_.push_back(Frame{kRoot, std::move(pending), kRootRank, 0});
  while (!stack_.empty()) {
    bool descended = false;
    while (!descended) {
      OwnedRef read = OwnedRef::steal(PyIter_Next(stack_.back().pending.get()));
      if (!read) {
        if (PyErr_Occurred()) return nullptr;
        break;
      }
      std::size_t index = kRoot;
      if (!find(read.get(), index)) return nullptr;
      if (index == kRoot) {
        const int met = meet(std::move(read));
        if (met < 0) return nullptr;
        descended = met == 1;
        continue;
      }
      const Met& seen = met_[index];
      if (seen.status == Status::kExpanded) return Py_BuildValue("(OO)", Py_None, seen.key.get());
      Frame& frame = stack_.back();
      if (ranked_ && seen.status == Status::kPlaced && seen.rank >= frame.rank) {
        if (seen.rank > frame.rank) {
          ranked_ = false;
        } else if (seen.level >= frame.level) {
          frame.level = seen.level + 1;
        }
      }
    }
    if (descended) continue;
    Frame done = std::move(stack_.back());
    stack_.pop_back();
    if (done.met != kRoot && !finish(done)) return nullptr;
  }
  return result();
}

PyObject* Walk::result() {
  OwnedRef items;
  if (ranked_) {
    std::vector<std::size_t> sorted(groups_.size());
    for (std::size_t i = 0; i < sorted.size(); ++i) sorted[i] = i;
    std::stable_sort(sorted.begin(), sorted.end(), [&](std::size_t a, std::size_t b) {
      const Group &left = groups_[a], &right = groups_[b];
      return left.rank != right.rank ? left.rank < right.rank : left.level < right.level;
    });
    items = new_list(sorted.size(), [&](std::size_t i) {
      const Group& group = groups_[sorted[i]];
      return OwnedRef::steal(PyTuple_Pack(2, group.blocks ? Py_True : Py_False, group.items.get()));
    });
  } else {
    items = new_list(order_.size(), [&](std::size_t i) {
      const Met& met = met_[order_[i]];
      return OwnedRef::steal(PyTuple_Pack(2, met.key.get(), met.entry.get()));
    });
  }
  if (!items) return nullptr;
  return PyTuple_Pack(3, ranked_ ? Py_True : Py_False, externals_.get(), items.get());
}

}  // namespace

PyObject* walk_tasks(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    PyObject* slots[5];
    if (!bind(kTable, args, nargs, kwnames, slots)) return nullptr;
    if (!PyCallable_Check(slots[1])) return raise_type_error("lookup must be callable");
    if ((slots[2] != Py_None && !PyDict_Check(slots[2])) || !PyDict_Check(slots[3])) {
      return raise_type_error("ranks must be a dict or None, block_ranks a dict");
    }
    if (!PyType_Check(slots[4])) return raise_type_error("block_type must be a type");
    Walk walk(slots[1], slots[2], slots[3], slots[4]);
    return walk.run(slots[0]);
  });
}

}  // namespace veltrix::python
