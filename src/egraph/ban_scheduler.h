// BanScheduler: decides which rules the saturation runner searches in an iteration.
//
// A rule whose matches in one iteration exceed its threshold is banned for a while instead of
// flooding the e-graph; both the threshold and the ban length double with every ban, so a
// prolific rule is retried with an ever larger budget. When nothing else is left to do, can_stop()
// fast-forwards the earliest bans rather than declaring saturation.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "egraph/rewrite.h"
#include "support/hash_table.h"

namespace veltrix::egraph {

struct RuleStats {
  std::uint64_t times_applied = 0;  // iterations in which the rule's search was accepted
  std::uint64_t banned_until = 0;   // the first iteration in which the rule is searched again
  std::uint64_t times_banned = 0;
  std::uint64_t match_limit = 0;
  std::uint64_t ban_length = 0;
};

class BanScheduler {
 public:
  static constexpr std::uint64_t kDefaultMatchLimit = 1000;
  static constexpr std::uint64_t kDefaultBanLength = 5;

  BanScheduler& with_initial_match_limit(std::uint64_t limit) {
    default_match_limit_ = limit;
    return *this;
  }
  BanScheduler& with_ban_length(std::uint64_t length) {
    default_ban_length_ = length;
    return *this;
  }

  // True when no rule is banned after `iteration`; otherwise moves the earliest bans forward so
  // that they end now, and returns false.
  bool can_stop(std::uint64_t iteration);

  // The rule's matches, or none when the rule is banned or has just been banned for finding too
  // many.
  SearchMatches search_rule(std::uint64_t iteration, const EGraph& egraph, const Rewrite& rule);

  // Applies the rule's right-hand side; returns the number of applications that changed the
  // e-graph.
  std::size_t apply_rule(std::uint64_t iteration, EGraph& egraph, const Rewrite& rule, const SearchMatches& matches);

  // The record of a rule name, once the rule has been searched; rules sharing a name share it.
  const RuleStats* stats(Symbol name) const;
  std::size_t stats_count() const { return records_.size(); }

 private:
  RuleStats& stats_for(Symbol name);

  std::uint64_t default_match_limit_ = kDefaultMatchLimit;
  std::uint64_t default_ban_length_ = kDefaultBanLength;
  HashMap<std::uint32_t, std::uint32_t> index_;        // symbol value -> position in records_
  std::vector<std::pair<Symbol, RuleStats>> records_;  // in order of first search
};

}  // namespace veltrix::egraph
