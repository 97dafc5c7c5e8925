#include "search.hpp"

#include "lattice.hpp"

#include <algorithm>
#include <numeric>
#include <random>

namespace grouping {
namespace {

enum class GroupOrder { kReverse, kLargestFirst, kRandom };

// Every column, group by group in the given order of groups, each group's columns in
// the order they had.
std::vector<Index> grouped_order(const Coloring& coloring, const std::vector<Index>& group_rank) {
  std::vector<Index> start(static_cast<std::size_t>(coloring.groups) + 1, 0);
  for (Index c : coloring.color) ++start[group_rank[c] + 1];
  std::partial_sum(start.begin(), start.end(), start.begin());
  std::vector<Index> order(coloring.color.size());
  for (Index j = 0; j < static_cast<Index>(coloring.color.size()); ++j) {
    order[start[group_rank[coloring.color[j]]]++] = j;
  }
  return order;
}

std::vector<Index> rank_groups(const Coloring& coloring, GroupOrder how, std::mt19937_64& random) {
  const Index g = coloring.groups;
  std::vector<Index> groups(g);
  std::iota(groups.begin(), groups.end(), 0);
  switch (how) {
    case GroupOrder::kReverse:
      std::reverse(groups.begin(), groups.end());
      break;
    case GroupOrder::kLargestFirst: {
      std::vector<std::int64_t> size(g, 0);
      for (Index c : coloring.color) ++size[c];
      std::stable_sort(groups.begin(), groups.end(),
                       [&](Index a, Index b) { return size[a] > size[b]; });
      break;
    }
    case GroupOrder::kRandom:
      std::shuffle(groups.begin(), groups.end(), random);
      break;
  }
  std::vector<Index> rank(g);
  for (Index r = 0; r < g; ++r) rank[groups[r]] = r;
  return rank;
}

}  // namespace

Coloring iterated_greedy(Context& context, Coloring current, Index target,
                         const SearchLimits& limits) {
  std::mt19937_64 random(limits.seed);
  std::uniform_int_distribution<int> pick(0, 9);
  Coloring fewest = current;
  int idle = 0;
  for (int pass = 0; pass < limits.passes && idle < limits.passes_idle; ++pass) {
    if (fewest.groups <= target) break;
    int draw = pick(random);
    GroupOrder how = draw < 5 ? GroupOrder::kReverse
                     : draw < 8 ? GroupOrder::kLargestFirst
                                : GroupOrder::kRandom;
    current = greedy(context.pattern, context.classes,
                     grouped_order(current, rank_groups(current, how, random)));
    if (current.groups < fewest.groups) {
      fewest = current;
      idle = 0;
    } else {
      ++idle;
    }
  }
  return fewest;
}

Coloring best(Context& context, const SearchLimits& limits, std::string_view* winner) {
  const Index bound = context.pattern.lower_bound();
  Coloring fewest;
  std::string_view source;
  auto done = [&](std::string_view how) {
    if (winner) *winner = how;
    return std::move(fewest);
  };
  for (const Ordering& ordering : kOrderings) {
    Coloring candidate = ordering.run(context);
    if (source.empty() || candidate.groups < fewest.groups) {
      fewest = std::move(candidate);
      source = ordering.name;
    }
    if (costly_groups(context.pattern, fewest) <= bound) return done(source);
    // After the one pass of natural order, which suffices on bands: a stencil's lattice
    // colouring, which reaches the bound where no ordering does.
    if (ordering.run == natural && lattice_coloring(context, fewest.groups, candidate)) {
      fewest = std::move(candidate);
      source = "lattice";
      if (fewest.groups <= bound) return done(source);
    }
  }
  const Index before = fewest.groups;
  fewest = iterated_greedy(context, std::move(fewest), bound, limits);
  fewest = tabu_search(context, std::move(fewest), bound,
                       limits.moves_per_entry * context.pattern.entries(), limits.seed);
  return done(fewest.groups < before ? std::string_view("search") : source);
}

void renumber(const Pattern& pattern, Coloring& coloring) {
  std::vector<Index> label(static_cast<std::size_t>(coloring.groups), -1);
  Index next = 0;
  for (Index j = 0; j < pattern.n_cols; ++j) {
    if (pattern.by_col.count(j) == 0) {
      coloring.color[j] = 0;
      continue;
    }
    Index& to = label[coloring.color[j]];
    if (to < 0) to = next++;
    coloring.color[j] = to;
  }
  coloring.groups = pattern.entries() ? next : (pattern.n_cols ? 1 : 0);
}

}  // namespace grouping
