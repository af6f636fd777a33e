// Fingerprints of reduction results, for checking that a change to the engine or the pipeline
// leaves every result as it was. bench/check_reduction_digests.py runs it and compares its lines
// with the recorded ones.
//
// Two modes:
//   reduction_digests blob...
//     For each IR blob (its output marks are the outputs), reduces the store with the default
//     engine under both grouping rules, and again with runs cut short by small node limits and
//     by iteration limits; prints per run the digest of the reduced store's canonical bytes,
//     the six counters, and how the engine's run ended.
//   reduction_digests --egraph OPS...
//     For the native e-graph benchmark's workload (OPS binary ops over the eight commutative
//     op names, random earlier children), runs the eight commutativity rules with the
//     optimizer's limits and with tighter node and iteration limits; prints per run a digest of
//     the final partition, of every class's node list, and of the iteration reports (rules
//     applied and how often, sizes, class counts, unions, stop reasons).
// Digests are 64-bit and cover content only (texts, not symbol values), so they are the same in
// every process. Timings are never part of them.
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "blob_file.h"
#include "egraph/egraph.h"
#include "egraph/rewrite.h"
#include "egraph/runner.h"
#include "optimizer/egraph_engine.h"
#include "optimizer/reduce_graph.h"
#include "store/graph_store.h"
#include "store/ir_writer.h"
#include "support/hashing.h"
#include "support/result.h"

namespace {

using namespace veltrix;

class Digest {
 public:
  void word(std::uint64_t value) { state_ = fold_multiply(state_ ^ value, 0x9fb21c651e98df25ULL) + ++count_; }
  void text(std::string_view bytes) {
    word(bytes.size());
    word(hash_bytes(bytes.data(), bytes.size()));
  }
  std::uint64_t value() const { return mix64(state_ ^ count_); }

 private:
  std::uint64_t state_ = 0x243f6a8885a308d3ULL;
  std::uint64_t count_ = 0;
};

void digest_stop(Digest& d, const egraph::StopReason& stop) {
  d.word(static_cast<std::uint64_t>(stop.kind));
  d.word(stop.count);
}

// ---- reductions of stored graphs ----

struct EngineConfig {
  std::string name;
  std::size_t node_limit = 0;       // 0: the optimizer's own
  std::size_t iteration_limit = 0;  // 0: the optimizer's own
  bool maximal = false;
};

EGraphEngine make_engine(const EngineConfig& config) {
  if (config.node_limit != 0 && config.iteration_limit != 0) {
    EGraphEngine engine = EGraphEngine::with_node_limit(config.node_limit);
    engine.set_iteration_limit(config.iteration_limit);
    return engine;
  }
  if (config.node_limit != 0) return EGraphEngine::with_node_limit(config.node_limit);
  EGraphEngine engine;
  if (config.iteration_limit != 0) engine.set_iteration_limit(config.iteration_limit);
  return engine;
}

ReductionReport reduce_and_print(const std::string& label, const GraphSnapshot& snapshot, const EngineConfig& config) {
  EGraphEngine engine = make_engine(config);
  auto [store, report, output_ids, of_input, traced] =
      reduce_graph_to_store(snapshot.nodes, snapshot.outputs, engine, config.maximal);
  const std::string bytes = store.read_locked([](const NodeTable& table, std::span<const NodeId> marks) {
    return expect_ok(serialize_ir(table, marks), "reduced store serializes");
  });
  Digest d;
  d.text(bytes);
  const EngineRunSummary& run = *engine.last_run();
  std::printf("%s %s store=%016" PRIx64 " report=%llu,%llu,%llu,%llu,%llu,%llu stop=%s iterations=%zu size=%zu\n",
              label.c_str(), config.name.c_str(), d.value(), static_cast<unsigned long long>(report.input_nodes),
              static_cast<unsigned long long>(report.reachable_nodes),
              static_cast<unsigned long long>(report.canonical_nodes), static_cast<unsigned long long>(report.stages),
              static_cast<unsigned long long>(report.reduced_nodes),
              static_cast<unsigned long long>(report.boundary_nodes), run.stop.debug_string().c_str(), run.iterations,
              run.egraph_nodes);
  std::fflush(stdout);
  return report;
}

int digest_blob(const std::string& path) {
  std::optional<GraphStore> store = bench::read_store_file(path);
  if (!store) return 1;
  const GraphSnapshot snapshot = store->snapshot();
  std::string label = path.substr(path.find_last_of('/') + 1);

  const ReductionReport first = reduce_and_print(label, snapshot, {"default", 0, 0, false});
  reduce_and_print(label, snapshot, {"maximal", 0, 0, true});
  // The run starts with one e-node per reachable term (fewer if two share a symbol and inputs),
  // so limits just above that cut the run short after a few rules, and one below it stops it
  // before any search.
  const std::size_t r = first.reachable_nodes;
  const std::size_t limits[] = {r / 2, r + 1, r + 16, r + r / 200 + 1, r + r / 50 + 1, r + r / 10 + 1};
  for (std::size_t limit : limits) {
    reduce_and_print(label, snapshot, {"node-limit-" + std::to_string(limit), limit, 0, false});
  }
  for (std::size_t iterations : {1, 2, 3, 5}) {
    reduce_and_print(label, snapshot, {"iteration-limit-" + std::to_string(iterations), 0, iterations, false});
  }
  reduce_and_print(label, snapshot, {"both-limits-maximal", r + r / 100 + 1, 2, true});
  return 0;
}

// ---- the e-graph benchmark's workload ----

const char* const kOps[] = {"add", "mul", "and", "or", "eq", "ne", "maximum", "minimum"};

std::vector<egraph::Rewrite> commutativity_rules() {
  std::vector<egraph::Rewrite> rules;
  for (const char* op : kOps) {
    const std::string name = std::string("op|") + op;
    rules.push_back(
        expect_ok(egraph::Rewrite::create(std::string("commute-") + op,
                                          expect_ok(egraph::TermPattern::parse("(" + name + " ?a ?b)"), "lhs parses"),
                                          expect_ok(egraph::TermPattern::parse("(" + name + " ?b ?a)"), "rhs parses")),
                  "rule builds"));
  }
  return rules;
}

// The same terms as egraph_bench: leaves, then ops over two random earlier terms.
egraph::FlatTerm<egraph::SymbolLang> bench_terms(std::size_t ops) {
  const std::size_t leaves = ops / 100 + 16;
  std::mt19937_64 rng(0x5eed + ops);
  egraph::FlatTerm<egraph::SymbolLang> flat;
  for (std::size_t i = 0; i < leaves; ++i) {
    flat.add(egraph::SymbolLang(egraph::intern_symbol("src|leaf" + std::to_string(i))));
  }
  std::vector<egraph::Symbol> op_symbols;
  for (const char* op : kOps) op_symbols.push_back(egraph::intern_symbol(std::string("op|") + op));
  for (std::size_t i = 0; i < ops; ++i) {
    const std::size_t earlier = leaves + i;
    const auto op = static_cast<std::size_t>(rng() % 8);
    const auto a = static_cast<egraph::ClassId>(rng() % earlier);
    const auto b = static_cast<egraph::ClassId>(rng() % earlier);
    flat.add(egraph::SymbolLang(op_symbols[op], {a, b}));
  }
  return flat;
}

void run_egraph(std::size_t ops, const egraph::FlatTerm<egraph::SymbolLang>& flat,
                const std::vector<egraph::Rewrite>& rules, const std::string& name, std::size_t iteration_limit,
                std::size_t node_limit) {
  egraph::EGraph egraph;
  const std::vector<egraph::ClassId> recorded = egraph.add_term(flat);
  egraph::SaturationRunner runner;
  runner.with_egraph(std::move(egraph)).with_iteration_limit(iteration_limit).with_node_limit(node_limit);
  runner.run(rules);
  const egraph::EGraph& result = runner.egraph();

  // The partition, as the first term of each term's class.
  Digest partition;
  std::vector<std::uint32_t> first(result.id_count(), ~0u);
  for (std::size_t i = 0; i < recorded.size(); ++i) {
    std::uint32_t& slot = first[result.find(recorded[i])];
    if (slot == ~0u) slot = static_cast<std::uint32_t>(i);
    partition.word(slot);
  }
  // Every class's node list, in stored order.
  Digest classes;
  result.for_each_class([&](egraph::ClassId root) {
    classes.word(root);
    for (const egraph::SymbolLang& node : result.class_nodes(root)) {
      classes.text(egraph::resolve_symbol(node.op()));
      for (egraph::ClassId child : node.children()) classes.word(child);
    }
  });
  Digest reports;
  for (const egraph::IterationReport& report : runner.iterations()) {
    reports.word(report.applied.size());
    for (const auto& [rule, count] : report.applied) {
      reports.text(egraph::resolve_symbol(rule));
      reports.word(count);
    }
    reports.word(report.egraph_nodes);
    reports.word(report.egraph_classes);
    reports.word(report.unions);
    reports.word(report.stop_reason.has_value());
    if (report.stop_reason) digest_stop(reports, *report.stop_reason);
  }
  std::printf("egraph-%zu %s partition=%016" PRIx64 " classes=%016" PRIx64 " reports=%016" PRIx64
              " stop=%s iterations=%zu size=%zu class_count=%zu ids=%zu\n",
              ops, name.c_str(), partition.value(), classes.value(), reports.value(),
              runner.stop_reason()->debug_string().c_str(), runner.iterations().size(), result.size(),
              result.class_count(), result.id_count());
  std::fflush(stdout);
}

void digest_egraph(std::size_t ops) {
  const std::vector<egraph::Rewrite> rules = commutativity_rules();
  const egraph::FlatTerm<egraph::SymbolLang> flat = bench_terms(ops);
  const std::size_t n = flat.size();
  run_egraph(ops, flat, rules, "default", 12, 4 * n + 1024);
  for (std::size_t iterations : {1, 2, 3, 6}) {
    run_egraph(ops, flat, rules, "iteration-limit-" + std::to_string(iterations), iterations, 4 * n + 1024);
  }
  for (std::size_t limit : {n / 2, n + 1, n + 500, n + n / 20, n + n / 4}) {
    run_egraph(ops, flat, rules, "node-limit-" + std::to_string(limit), 12, limit);
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: reduction_digests blob... | reduction_digests --egraph OPS...\n");
    return 2;
  }
  if (std::strcmp(argv[1], "--egraph") == 0) {
    for (int i = 2; i < argc; ++i) digest_egraph(static_cast<std::size_t>(std::strtoull(argv[i], nullptr, 10)));
    return 0;
  }
  for (int i = 1; i < argc; ++i) {
    if (const int failed = digest_blob(argv[i]); failed != 0) return failed;
  }
  return 0;
}
