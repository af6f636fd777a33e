// SaturationRunner: equality saturation over an owned e-graph.
//
// Each iteration searches every rule the scheduler allows, applies all matches, and rebuilds.
// The run ends at saturation (nothing applied, nothing banned, the e-graph unchanged) or when the
// time, node or iteration limit is exceeded, checked in that order before the iteration and
// after every rule's search and apply. The e-graph is always rebuilt (clean) when run() returns.
//
// Typical use:
//   SaturationRunner runner;
//   runner.with_egraph(std::move(egraph)).with_iteration_limit(12).with_node_limit(4 * n + 1024);
//   runner.run(rules);
//   EGraph result = runner.take_egraph();
//   ClassId root = result.find(id);
#pragma once

#include <chrono>
#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "egraph/ban_scheduler.h"
#include "egraph/egraph.h"
#include "egraph/rewrite.h"

namespace veltrix::egraph {

struct StopReason {
  enum class Kind { Saturated, IterationLimit, NodeLimit, TimeLimit, Other };

  Kind kind = Kind::Saturated;
  std::size_t count = 0;  // IterationLimit: iterations run; NodeLimit: the e-graph size found
  double seconds = 0;     // TimeLimit: time elapsed since the run started
  std::string message;    // Other

  static StopReason saturated() { return {}; }
  static StopReason iteration_limit(std::size_t iterations) { return {Kind::IterationLimit, iterations, 0, {}}; }
  static StopReason node_limit(std::size_t size) { return {Kind::NodeLimit, size, 0, {}}; }
  static StopReason time_limit(double seconds) { return {Kind::TimeLimit, 0, seconds, {}}; }

  std::string debug_string() const;
  friend bool operator==(const StopReason&, const StopReason&) = default;
};

struct IterationReport {
  // Rule name -> applications that changed the e-graph, in order of first application; rules
  // without any are absent.
  std::vector<std::pair<Symbol, std::size_t>> applied;
  std::size_t egraph_nodes = 0;    // size() at the start of the iteration
  std::size_t egraph_classes = 0;  // class_count() at the start of the iteration
  double search_time = 0;
  double apply_time = 0;
  double rebuild_time = 0;
  double total_time = 0;   // since the run started
  std::size_t unions = 0;  // merges made by this iteration's rebuild
  std::optional<StopReason> stop_reason;
};

class SaturationRunner {
 public:
  static constexpr std::size_t kDefaultIterationLimit = 30;
  static constexpr std::size_t kDefaultNodeLimit = 10'000;
  static constexpr std::chrono::nanoseconds kDefaultTimeLimit = std::chrono::seconds(5);

  SaturationRunner& with_egraph(EGraph egraph) {
    egraph_ = std::move(egraph);
    return *this;
  }
  SaturationRunner& with_iteration_limit(std::size_t limit) {
    iteration_limit_ = limit;
    return *this;
  }
  SaturationRunner& with_node_limit(std::size_t limit) {
    node_limit_ = limit;
    return *this;
  }
  SaturationRunner& with_time_limit(std::chrono::nanoseconds limit) {
    time_limit_ = limit;
    return *this;
  }
  SaturationRunner& with_scheduler(BanScheduler scheduler) {
    scheduler_ = std::move(scheduler);
    return *this;
  }

  // Runs the rules, in order, to a stop reason. A runner runs once; running it again is an
  // internal failure.
  SaturationRunner& run(std::span<const Rewrite> rules);

  EGraph& egraph() { return egraph_; }
  const EGraph& egraph() const { return egraph_; }
  EGraph take_egraph() { return std::move(egraph_); }

  const std::vector<IterationReport>& iterations() const { return iterations_; }
  const std::optional<StopReason>& stop_reason() const { return stop_reason_; }
  const BanScheduler& scheduler() const { return scheduler_; }

 private:
  void check_rule_names(std::span<const Rewrite> rules);
  IterationReport run_iteration(std::span<const Rewrite> rules);
  std::vector<SearchMatches> search_rules(std::size_t i, std::span<const Rewrite> rules,
                                          std::optional<StopReason>& result);
  void apply_rules(std::size_t i, std::span<const Rewrite> rules, std::span<const SearchMatches> matches,
                   IterationReport& report, std::optional<StopReason>& result);
  std::optional<StopReason> check_limits() const;
  double seconds_since_start() const;

  EGraph egraph_;
  std::vector<IterationReport> iterations_;
  std::optional<StopReason> stop_reason_;
  std::optional<std::chrono::steady_clock::time_point> start_;
  std::size_t iteration_limit_ = kDefaultIterationLimit;
  std::size_t node_limit_ = kDefaultNodeLimit;
  std::chrono::nanoseconds time_limit_ = kDefaultTimeLimit;
  BanScheduler scheduler_;

  // Per rule, the position of its name among the distinct names (rules may share a name).
  std::vector<std::uint32_t> name_slot_;
  std::size_t distinct_names_ = 0;
};

}  // namespace veltrix::egraph
