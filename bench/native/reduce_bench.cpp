// Where the time of a reduction goes, phase by phase, on graphs written as IR blobs.
//
// bench/bench_reduce.py writes each generated graph with `store.serialize(outputs=...)`, so a
// blob's output marks are the outputs to reduce against. For each blob this reads the store,
// then times, best of the given repeats, what GraphStore.reduce does: the snapshot, and the
// pipeline interning its result into a new store (reduce_graph_to_store), phase by phase: the
// terms, the rewrite engine's load, saturation run (search, apply, rebuild) and extraction, the
// canonical terms, grouping and emission into the new store, and the output marks. It
// prints one line per blob, with the runner's stop reason, and a summary line
// "engine_share=<engine seconds / total>" per blob that the Python benchmark reads back.
//
// Usage: reduce_bench [--repeats N] [--maximal] blob...
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "blob_file.h"
#include "optimizer/egraph_engine.h"
#include "optimizer/reduce_graph.h"
#include "store/graph_store.h"

namespace {

using namespace veltrix;
using Clock = std::chrono::steady_clock;

double seconds_since(Clock::time_point start) { return std::chrono::duration<double>(Clock::now() - start).count(); }

struct Measurement {
  double snapshot = 0;
  double pipeline = 0;  // reduce_graph_to_store, engine included
  ReductionPhases phases;
  EngineRunSummary engine;
  ReductionReport report;
  double total() const { return snapshot + pipeline; }
  double engine_total() const { return engine.load_seconds + engine.run_seconds + engine.extract_seconds; }
};

Measurement measure(const GraphStore& store, bool maximal) {
  Measurement m;
  auto start = Clock::now();
  const GraphSnapshot snapshot = store.snapshot();
  m.snapshot = seconds_since(start);

  EGraphEngine engine;
  start = Clock::now();
  auto [result, report, output_ids, of_input, traced] =
      reduce_graph_to_store(snapshot.nodes, snapshot.outputs, engine, maximal, &m.phases);
  m.pipeline = seconds_since(start);
  m.engine = *engine.last_run();
  m.report = report;
  if (result.node_count() != report.reduced_nodes) std::puts("(equal reduced nodes collapsed)");
  return m;
}

}  // namespace

int main(int argc, char** argv) {
  int repeats = 3;
  bool maximal = false;
  std::vector<std::string> paths;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--repeats") == 0 && i + 1 < argc) {
      repeats = std::max(1, std::atoi(argv[++i]));
    } else if (std::strcmp(argv[i], "--maximal") == 0) {
      maximal = true;
    } else {
      paths.emplace_back(argv[i]);
    }
  }
  if (paths.empty()) {
    std::fprintf(stderr, "usage: reduce_bench [--repeats N] [--maximal] blob...\n");
    return 2;
  }

  std::printf("%-9s %9s %8s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %7s %5s %-16s %9s %8s\n", "nodes", "reachable",
              "total ms", "snap", "terms", "load", "run", "search", "apply", "rebuild", "extract", "canon", "emit",
              "finish", "iters", "stop", "e-nodes", "ns/node");
  for (const std::string& path : paths) {
    std::optional<GraphStore> store = bench::read_store_file(path);
    if (!store) return 1;
    Measurement best;
    int time_limit_hits = 0;  // over all repeats, not only the best one
    for (int r = 0; r < repeats; ++r) {
      Measurement m = measure(*store, maximal);
      time_limit_hits += m.engine.stop.kind == egraph::StopReason::Kind::TimeLimit;
      if (r == 0 || m.total() < best.total()) best = m;
    }
    const double n = static_cast<double>(best.report.input_nodes);
    std::printf(
        "%-9llu %9llu %8.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %7.1f %5zu %-16s %9zu %8.0f\n",
        static_cast<unsigned long long>(best.report.input_nodes),
        static_cast<unsigned long long>(best.report.reachable_nodes), best.total() * 1e3, best.snapshot * 1e3,
        best.phases.terms * 1e3, best.engine.load_seconds * 1e3, best.engine.run_seconds * 1e3,
        best.engine.search_seconds * 1e3, best.engine.apply_seconds * 1e3, best.engine.rebuild_seconds * 1e3,
        best.engine.extract_seconds * 1e3, best.phases.canonical * 1e3, best.phases.emit * 1e3,
        best.phases.finish * 1e3, best.engine.iterations, best.engine.stop.debug_string().c_str(),
        best.engine.egraph_nodes, best.total() * 1e9 / n);
    std::printf("summary nodes=%llu total=%.6f engine=%.6f engine_share=%.4f stop=%s time_limit_hits=%d\n",
                static_cast<unsigned long long>(best.report.input_nodes), best.total(), best.engine_total(),
                best.engine_total() / best.total(), best.engine.stop.debug_string().c_str(), time_limit_hits);
  }
  return 0;
}
