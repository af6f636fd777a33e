#include "python/interned_names.h"

#include <memory>
#include <string>

#include "python/process_once.h"

namespace veltrix::python {
namespace {

ProcessOnce<InternedNames> g_names;

// A complete set, or null with an exception set.
InternedNames* make_names() {
  auto names = std::make_unique<InternedNames>();
  bool ok = true;
  auto intern = [&](const char* text) {
    OwnedRef s = OwnedRef::steal(ok ? PyUnicode_InternFromString(text) : nullptr);
    ok = ok && s;
    return s;
  };
  names->id = intern("id");
  names->output = intern("output");
  names->inputs = intern("inputs");
  names->kind = intern("kind");
  names->name = intern("name");
  names->params = intern("params");
  names->descriptor = intern("descriptor");
  names->n_members = intern("n_members");
  names->members = intern("members");
  const char* fields[] = {"kind", "content_hash", "framework", "version", "io_schema", "preprocessing_ref"};
  for (int i = 0; i < 6; ++i) names->descriptor_fields[i] = intern(fields[i]);
  for (int k = 0; k < kNodeKindCount; ++k) names->kinds[k] = intern(std::string(kind_name(NodeKind(k))).c_str());
  names->member_red = intern("red");
  names->ref_input = intern("input");
  names->ref_member = intern("member");
  names->empty = intern("");
  const char* report_keys[] = {"input_nodes", "reachable_nodes", "canonical_nodes",
                               "stages",      "reduced_nodes",   "boundary_nodes"};
  for (int i = 0; i < 6; ++i) names->report_keys[i] = intern(report_keys[i]);
  return ok ? names.release() : nullptr;
}

void discard(InternedNames* names) { delete names; }

}  // namespace

const InternedNames* interned_names() { return g_names.get(make_names, discard); }

}  // namespace veltrix::python
