#include "core/transitions_resolve.h"

#include <algorithm>

#include "base/error.h"

namespace vantrel::transitions {

std::vector<Transition> keyframe_cuts(std::span<const Candidate> candidates,
                                      std::span<const std::size_t> keyframes,
                                      Rule rule) {
  std::vector<std::size_t> listed;
  for (std::size_t k : keyframes) {
    if (k > 0) listed.push_back(k);
  }
  std::sort(listed.begin(), listed.end());
  listed.erase(std::unique(listed.begin(), listed.end()), listed.end());
  const auto is_listed = [&](std::size_t k) {
    return std::binary_search(listed.begin(), listed.end(), k);
  };
  std::vector<Transition> cuts;
  std::size_t listed_found = 0;
  for (const Candidate& c : candidates) {
    const std::size_t k = c.frame;
    const bool kept = is_listed(k);
    listed_found += kept ? 1 : 0;
    const bool taken =
        rule == Rule::cuts
            ? kept
            : (kept || (c.clear && !is_listed(k - 1) && !is_listed(k + 1))) &&
                  !c.flash;
    if (taken) cuts.push_back({Kind::cut, k, k, k, c.step});
  }
  if (listed_found != listed.size()) {
    fatal_internal("TransitionFinder: a keyframe was not offered as one");
  }
  return cuts;
}

std::vector<Dissolve> strongest_dissolves(std::vector<Dissolve> dissolves) {
  std::sort(dissolves.begin(), dissolves.end(),
            [](const Dissolve& x, const Dissolve& y) {
              if (x.change != y.change) return x.change > y.change;
              if (x.middle != y.middle) return x.middle < y.middle;
              return x.width < y.width;
            });
  std::vector<Dissolve> taken;
  for (const Dissolve& d : dissolves) {
    const bool clear =
        std::all_of(taken.begin(), taken.end(), [&](const Dissolve& o) {
          const std::size_t apart =
              d.middle > o.middle ? d.middle - o.middle : o.middle - d.middle;
          return apart > std::max(d.width, o.width);
        });
    if (clear) taken.push_back(d);
  }
  std::sort(
      taken.begin(), taken.end(),
      [](const Dissolve& x, const Dissolve& y) { return x.middle < y.middle; });
  return taken;
}

std::vector<Transition> gradual_apart(std::span<const Transition> fades,
                                      std::span<const Dissolve> dissolves) {
  std::vector<Transition> gradual;
  const auto add = [&](const Transition& g) {
    const bool apart =
        std::all_of(gradual.begin(), gradual.end(), [&](const Transition& o) {
          return g.last + 1 < o.first || g.first > o.last + 1;
        });
    if (apart) gradual.push_back(g);
  };
  for (const Transition& f : fades) add(f);
  for (const Dissolve& d : dissolves) {
    add({Kind::dissolve, d.middle - d.width, d.middle + d.width, d.middle,
         d.change});
  }
  return gradual;
}

void drop_cuts_taken(std::vector<Transition>& cuts,
                     std::span<const Transition> gradual) {
  std::erase_if(cuts, [&](const Transition& cut) {
    const std::size_t k = cut.start;
    return std::any_of(
        gradual.begin(), gradual.end(), [k](const Transition& g) {
          return g.kind == Kind::fade ? g.first <= k + 1 && k <= g.last + 1
                                      : g.first < k && k <= g.last;
        });
  });
}

void drop_gradual_at_cuts(std::vector<Transition>& gradual,
                          std::span<const Transition> cuts) {
  std::erase_if(gradual, [&](const Transition& g) {
    const auto next =
        std::lower_bound(cuts.begin(), cuts.end(), g.first,
                         [](const Transition& cut, std::size_t frame) {
                           return cut.start + 1 < frame;
                         });
    return next != cuts.end() && next->start <= g.last + 1;
  });
}

std::vector<Transition> by_start(std::vector<Transition> cuts,
                                 std::span<const Transition> gradual) {
  std::vector<Transition> found = std::move(cuts);
  found.insert(found.end(), gradual.begin(), gradual.end());
  std::stable_sort(found.begin(), found.end(),
                   [](const Transition& x, const Transition& y) {
                     return x.start < y.start;
                   });
  return found;
}

}  // namespace vantrel::transitions
