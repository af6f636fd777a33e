#include "egraph/runner.h"

#include <cstdio>
#include <limits>

#include "egraph/log.h"
#include "support/hash_table.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

using Clock = std::chrono::steady_clock;

double seconds_between(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration<double>(to - from).count();
}

std::string name_of(Symbol name) { return std::string(resolve_symbol(name)); }

}  // namespace

std::string StopReason::debug_string() const {
  switch (kind) {
    case Kind::Saturated: return "Saturated";
    case Kind::IterationLimit: return "IterationLimit(" + std::to_string(count) + ")";
    case Kind::NodeLimit: return "NodeLimit(" + std::to_string(count) + ")";
    case Kind::TimeLimit: return "TimeLimit(" + std::to_string(seconds) + ")";
    case Kind::Other: return "Other(" + message + ")";
  }
  return "Saturated";
}

void SaturationRunner::check_rule_names(std::span<const Rewrite> rules) {
  HashMap<std::uint32_t, std::uint32_t> slots;
  std::vector<std::pair<Symbol, std::size_t>> counts;  // in order of first appearance
  name_slot_.clear();
  for (const Rewrite& rule : rules) {
    const auto [slot, inserted] = slots.find_or_insert_with(rule.name().value, [&] {
      counts.emplace_back(rule.name(), 0);
      return static_cast<std::uint32_t>(counts.size() - 1);
    });
    counts[*slot].second += 1;
    name_slot_.push_back(*slot);
  }
  distinct_names_ = counts.size();
  if (counts.size() == rules.size()) return;

  std::string lines = "Duplicated rule names may affect rule reporting and scheduling.\n";
  for (const auto& [name, count] : counts) {
    if (count > 1) lines += "Rule '" + name_of(name) + "' appears " + std::to_string(count) + " times\n";
  }
  const std::string warning = "WARNING: " + lines;
  std::fwrite(warning.data(), 1, warning.size(), stderr);
  std::fflush(stderr);
  lines.pop_back();
  write_log(LogLevel::Warn, lines);
}

SaturationRunner& SaturationRunner::run(std::span<const Rewrite> rules) {
  check_rule_names(rules);
  // Every search asks the signature index for its pattern's root signature; indexing them all
  // in one pass is cheaper than one pass each at the first search.
  std::vector<Signature> signatures;
  for (const Rewrite& rule : rules) {
    if (const std::optional<Signature> signature = rule.searcher().root_signature()) signatures.push_back(*signature);
  }
  egraph_.track_signatures(signatures);
  egraph_.rebuild();
  for (;;) {
    IterationReport report = run_iteration(rules);
    std::optional<StopReason> reason = report.stop_reason;
    iterations_.push_back(std::move(report));
    if (!reason) reason = check_limits();
    if (reason) {
      if (log_enabled(LogLevel::Info)) write_log(LogLevel::Info, "Stopping: " + reason->debug_string());
      stop_reason_ = std::move(reason);
      break;
    }
  }
  if (iterations_.empty()) internal_failure("assertion failed: !self.iterations.is_empty()");
  if (!stop_reason_) internal_failure("assertion failed: self.stop_reason.is_some()");
  return *this;
}

double SaturationRunner::seconds_since_start() const { return start_ ? seconds_between(*start_, Clock::now()) : 0.0; }

std::optional<StopReason> SaturationRunner::check_limits() const {
  if (start_) {
    const auto elapsed = Clock::now() - *start_;
    if (elapsed > time_limit_) return StopReason::time_limit(std::chrono::duration<double>(elapsed).count());
  }
  if (egraph_.size() > node_limit_) return StopReason::node_limit(egraph_.size());
  if (iterations_.size() >= iteration_limit_) return StopReason::iteration_limit(iterations_.size());
  return std::nullopt;
}

// Searches every rule in order, stopping early when a limit is reached between two rules.
std::vector<SearchMatches> SaturationRunner::search_rules(std::size_t i, std::span<const Rewrite> rules,
                                                          std::optional<StopReason>& result) {
  std::vector<SearchMatches> matches;
  if (result) return matches;
  matches.reserve(rules.size());
  for (const Rewrite& rule : rules) {
    matches.push_back(scheduler_.search_rule(i, egraph_, rule));
    result = check_limits();
    if (result) break;
  }
  return matches;
}

// Applies the matches rule by rule, adding each rule's applications to the report under its
// name (repeated names add up in one entry), and stops early when a limit is reached.
void SaturationRunner::apply_rules(std::size_t i, std::span<const Rewrite> rules,
                                   std::span<const SearchMatches> matches, IterationReport& report,
                                   std::optional<StopReason>& result) {
  if (result) return;
  const bool debug = log_enabled(LogLevel::Debug);
  std::vector<std::size_t> applied_at(distinct_names_, std::numeric_limits<std::size_t>::max());
  for (std::size_t r = 0; r < matches.size(); ++r) {
    const Rewrite& rule = rules[r];
    if (debug) {
      write_log(LogLevel::Debug,
                "Applying " + name_of(rule.name()) + " " + std::to_string(matches[r].total_bindings()) + " times");
    }
    const std::size_t n = scheduler_.apply_rule(i, egraph_, rule, matches[r]);
    if (n > 0) {
      std::size_t& at = applied_at[name_slot_[r]];
      if (at == std::numeric_limits<std::size_t>::max()) {
        at = report.applied.size();
        report.applied.emplace_back(rule.name(), 0);
      }
      report.applied[at].second += n;
      if (debug) write_log(LogLevel::Debug, "Applied " + name_of(rule.name()) + " " + std::to_string(n) + " times");
    }
    result = check_limits();
    if (result) break;
  }
}

// One iteration: check the limits, search every rule, apply every rule, rebuild. It saturated
// when nothing applied, the scheduler lets it stop, and the e-graph kept its size.
IterationReport SaturationRunner::run_iteration(std::span<const Rewrite> rules) {
  if (stop_reason_) internal_failure("assertion failed: self.stop_reason.is_none()");
  const std::size_t i = iterations_.size();
  const bool info = log_enabled(LogLevel::Info);
  if (info) write_log(LogLevel::Info, "\nIteration " + std::to_string(i));

  if (!start_) start_ = Clock::now();
  IterationReport report;
  std::optional<StopReason> result = check_limits();
  report.egraph_nodes = egraph_.size();
  report.egraph_classes = egraph_.class_count();

  const auto search_start = Clock::now();
  std::vector<SearchMatches> matches = search_rules(i, rules, result);
  report.search_time = seconds_between(search_start, Clock::now());
  if (info) write_log(LogLevel::Info, "Search time: " + std::to_string(report.search_time));

  const auto apply_start = Clock::now();
  apply_rules(i, rules, matches, report, result);
  matches.clear();
  report.apply_time = seconds_between(apply_start, Clock::now());
  if (info) write_log(LogLevel::Info, "Apply time: " + std::to_string(report.apply_time));

  const auto rebuild_start = Clock::now();
  report.unions = egraph_.rebuild();
  report.rebuild_time = seconds_between(rebuild_start, Clock::now());
  if (info) {
    write_log(LogLevel::Info, "Rebuild time: " + std::to_string(report.rebuild_time));
    write_log(LogLevel::Info,
              "Size: n=" + std::to_string(egraph_.size()) + ", e=" + std::to_string(egraph_.class_count()));
  }

  // can_stop() is asked only when nothing applied; it may fast-forward bans as a side effect.
  if (report.applied.empty() && scheduler_.can_stop(i) && egraph_.size() == report.egraph_nodes &&
      egraph_.class_count() == report.egraph_classes && !result) {
    result = StopReason::saturated();
  }
  report.total_time = seconds_since_start();
  report.stop_reason = std::move(result);
  return report;
}

}  // namespace veltrix::egraph
