#include "egraph/ban_scheduler.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "egraph/log.h"
#include "support/internal_failure.h"

namespace veltrix::egraph {
namespace {

std::string name_of(Symbol name) { return std::string(resolve_symbol(name)); }

std::uint64_t saturating_add(std::uint64_t a, std::uint64_t b) {
  return b > std::numeric_limits<std::uint64_t>::max() - a ? std::numeric_limits<std::uint64_t>::max() : a + b;
}

}  // namespace

RuleStats& BanScheduler::stats_for(Symbol name) {
  const auto [position, inserted] = index_.find_or_insert_with(name.value, [&] {
    records_.emplace_back(name, RuleStats{0, 0, 0, default_match_limit_, default_ban_length_});
    return static_cast<std::uint32_t>(records_.size() - 1);
  });
  return records_[*position].second;
}

const RuleStats* BanScheduler::stats(Symbol name) const {
  const std::uint32_t* position = index_.find(name.value);
  return position ? &records_[*position].second : nullptr;
}

SearchMatches BanScheduler::search_rule(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule) {
  RuleStats& stats = stats_for(rule.name());
  if (iteration < stats.banned_until) {
    if (log_enabled(LogLevel::Debug)) {
      write_log(LogLevel::Debug, "Skipping " + name_of(rule.name()) + " (" + std::to_string(stats.times_applied) + "-" +
                                     std::to_string(stats.times_banned) + "), banned until " +
                                     std::to_string(stats.banned_until) + "...");
    }
    return SearchMatches();
  }

  // Shifting by 64 or more would lose the whole limit; a rule cannot get there in practice.
  if (stats.times_banned >= 64) internal_failure("attempt to shift left with overflow");
  const std::uint64_t threshold = stats.match_limit << stats.times_banned;
  const std::uint64_t limit = saturating_add(threshold, 1);
  // A rule whose match count is known and too high is banned without searching: the search,
  // stopping at `limit`, would find min(count, limit) bindings and have them discarded.
  SearchMatches matches;
  std::uint64_t total = 0;
  const std::optional<std::size_t> known = rule.searcher().known_match_count(egraph);
  if (known && *known > threshold) {
    total = std::min<std::uint64_t>(*known, limit);
  } else {
    matches = rule.search(egraph, static_cast<std::size_t>(limit));
    total = matches.total_bindings();
  }
  if (total > threshold) {
    const std::uint64_t ban_length = stats.ban_length << stats.times_banned;
    stats.times_banned += 1;
    stats.banned_until = saturating_add(iteration, ban_length);
    if (log_enabled(LogLevel::Info)) {
      write_log(LogLevel::Info, "Banning " + name_of(rule.name()) + " (" + std::to_string(stats.times_applied) + "-" +
                                    std::to_string(stats.times_banned) + ") for " + std::to_string(ban_length) +
                                    " iters: " + std::to_string(threshold) + " < " + std::to_string(total));
    }
    return SearchMatches();
  }
  stats.times_applied += 1;
  return matches;
}

std::size_t BanScheduler::apply_rule(std::uint64_t, EGraph& egraph, const Rewrite& rule, const SearchMatches& matches) {
  return rule.apply(egraph, matches).size();
}

bool BanScheduler::can_stop(std::uint64_t iteration) {
  std::size_t banned = 0;
  std::uint64_t min_ban = std::numeric_limits<std::uint64_t>::max();
  for (const auto& [name, stats] : records_) {
    if (stats.banned_until <= iteration) continue;
    ++banned;
    min_ban = std::min(min_ban, stats.banned_until);
  }
  if (banned == 0) return true;
  if (min_ban < iteration) internal_failure("assertion failed: min_ban >= iteration");
  const std::uint64_t delta = min_ban - iteration;

  const bool logging = log_enabled(LogLevel::Info);
  std::string unbanned;
  std::size_t unbanned_count = 0;
  for (auto& [name, stats] : records_) {
    if (stats.banned_until <= iteration) continue;
    stats.banned_until -= delta;
    if (stats.banned_until != iteration) continue;
    if (logging) {
      if (unbanned_count != 0) unbanned += ", ";
      unbanned += name_of(name);
    }
    ++unbanned_count;
  }
  if (unbanned_count == 0) internal_failure("assertion failed: !unbanned.is_empty()");
  if (logging) {
    write_log(LogLevel::Info, "Banned " + std::to_string(banned) + "/" + std::to_string(records_.size()) +
                                  ", fast-forwarded by " + std::to_string(delta) + " to unban " + unbanned);
  }
  return false;
}

}  // namespace veltrix::egraph
