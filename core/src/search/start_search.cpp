#include "pelda/search/start_search.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

#include "pelda/math/superpose.hpp"
#include "pelda/search/ca_secondary_structure.hpp"
#include "pelda/search/gap_open_dp.hpp"
#include "pelda/search/structural_alignment.hpp"

namespace pelda {
namespace {

// Gap open cost of the refinement alignments, in TM-term units.
constexpr double kRefineGapOpen = 0.6;
// Gap open cost of the secondary-structure string alignment.
constexpr double kStringGapOpen = 1.0;
// Refinement: a fit must raise the TM-score by more than this to count.
constexpr double kMinGain = 1e-6;
// Fits closer than this (A RMS over the mobile chain) count as one.
constexpr double kSameFit = 3.0, kSameStart = 1.0;
constexpr std::size_t kThreadingSeeds = 3, kFragmentSeeds = 2, kRefined = 2, kStarts = 3;
constexpr int kFirstIterations = 1, kMoreIterations = 5;

double squared_distance(Vec3 a, Vec3 b) {
  const Vec3 d = a - b;
  return dot(d, d);
}

class Search {
 public:
  Search(const PointList& x, const PointList& y, const AlignmentConfig& config)
      : x_(x), y_(y), config_(config), n_(x.size()), m_(y.size()) {
    d0r_ = tm_d0(n_);
    d0a_ = tm_d0(std::min(n_, m_));
    ds_ = std::clamp(d0r_, 4.5, 8.0);
  }

  StartSearch run();

 private:
  // Least-squares fit of the mobile residues onto the fixed ones over
  // pairs[idx(0)], ..., pairs[idx(count - 1)]: the library's optimal rotation
  // of the centred correlation matrix, without gathering the points first.
  template <class Index>
  Transform fit(const std::vector<ResiduePair>& pairs, const Index& idx, std::size_t count) const {
    if (count == 0) return {};
    double cf[3] = {0, 0, 0}, cm[3] = {0, 0, 0};
    for (std::size_t k = 0; k < count; ++k) {
      const ResiduePair p = pairs[idx(k)];
      const Vec3 f = x_[p.first], m = y_[p.second];
      cf[0] += f.x, cf[1] += f.y, cf[2] += f.z;
      cm[0] += m.x, cm[1] += m.y, cm[2] += m.z;
    }
    for (int a = 0; a < 3; ++a) {
      cf[a] /= double(count);
      cm[a] /= double(count);
    }
    Mat3 h{};
    for (std::size_t k = 0; k < count; ++k) {
      const ResiduePair p = pairs[idx(k)];
      const Vec3 f = x_[p.first], m = y_[p.second];
      const double fv[3] = {f.x - cf[0], f.y - cf[1], f.z - cf[2]};
      const double mv[3] = {m.x - cm[0], m.y - cm[1], m.z - cm[2]};
      for (int a = 0; a < 3; ++a)
        for (int b = 0; b < 3; ++b) h[a][b] += mv[a] * fv[b];
    }
    Transform t;
    t.rotation = optimal_rotation(h);
    const Vec3 rc = t.apply({cm[0], cm[1], cm[2]});
    t.translation = Vec3{cf[0], cf[1], cf[2]} - rc;
    return t;
  }
  Transform fit_range(const std::vector<ResiduePair>& pairs, std::size_t start, std::size_t count) {
    return fit(pairs, [start](std::size_t k) { return start + k; }, count);
  }
  Transform fit_subset(const std::vector<ResiduePair>& pairs, const std::vector<std::uint32_t>& subset) {
    return fit(pairs, [&subset](std::size_t k) { return subset[k]; }, subset.size());
  }

  // Squared distances of the pairs under t, into dist_.
  void pair_distances(const Transform& t, const std::vector<ResiduePair>& pairs) {
    dist_.resize(pairs.size());
    for (std::size_t k = 0; k < pairs.size(); ++k)
      dist_[k] = squared_distance(x_[pairs[k].first], t.apply(y_[pairs[k].second]));
  }
  double tm_of_distances() const {
    const double inv = 1.0 / (d0r_ * d0r_);
    double sum = 0.0;
    for (double d2 : dist_) sum += 1.0 / (1.0 + d2 * inv);
    return sum / double(n_);
  }
  // Pairs closer than c under the distances in dist_; c grows by 0.5 until 3
  // qualify (or until it passes every finite distance: NaN never qualifies).
  std::vector<std::uint32_t> select(double c) const {
    std::vector<std::uint32_t> sel;
    const std::size_t want = std::min<std::size_t>(3, dist_.size());
    double farthest = 0.0;
    for (double d2 : dist_)
      if (std::isfinite(d2)) farthest = std::max(farthest, d2);
    for (;; c += 0.5) {
      sel.clear();
      for (std::size_t k = 0; k < dist_.size(); ++k)
        if (dist_[k] < c * c) sel.push_back(std::uint32_t(k));
      if (sel.size() >= want || c * c > farthest) return sel;
    }
  }

  Fit tm_fit(const std::vector<ResiduePair>& pairs);
  std::vector<Fit> seeds();
  void secondary_structure_seed(std::vector<Fit>& out);
  void threading_seeds(std::vector<Fit>& out);
  void fragment_seeds(std::vector<Fit>& out);

  struct Track {
    Fit fit;
    std::vector<ResiduePair> last;  // alignment of the previous iteration
    bool done = false;
  };
  void refine(Track& t);
  std::vector<ResiduePair> align_under(const Transform& t);
  void drop_duplicates(std::vector<Track>& tracks, double r) const;

  std::vector<Transform> window_fits(const Fit& f);
  double path_proxy(const Transform& t, const std::vector<ResiduePair>& pairs) const;

  const PointList &x_, &y_;
  const AlignmentConfig& config_;
  std::size_t n_, m_;
  double d0r_, d0a_, ds_;
  std::vector<double> moved_xyz_[3];
  std::vector<double> dist_;
  GapOpenWorkspace dp_;
};

Fit Search::tm_fit(const std::vector<ResiduePair>& pairs) {
  Fit best;
  best.pairs = pairs;
  const std::size_t k = pairs.size();
  if (k < 3) return best;
  std::vector<std::vector<std::uint32_t>> tried;
  auto from = [&](Transform t) {
    for (int it = 0; it < 8; ++it) {
      pair_distances(t, pairs);
      const double tm = tm_of_distances();
      if (tm > best.tm) {
        best.tm = tm;
        best.transform = t;
      }
      std::vector<std::uint32_t> sel = select(ds_);
      if (std::find(tried.begin(), tried.end(), sel) != tried.end()) return;
      t = fit_subset(pairs, sel);
      tried.push_back(std::move(sel));
    }
  };
  if (k < 4) from(fit_range(pairs, 0, k));
  for (const std::size_t len : {k, k / 2, k / 4}) {
    if (len < 4) break;
    for (std::size_t s = 0; s + len <= k; s += len / 2) from(fit_range(pairs, s, len));
  }
  return best;
}

std::vector<ResiduePair> Search::align_under(const Transform& t) {
  for (int c = 0; c < 3; ++c) moved_xyz_[c].resize(m_);
  for (std::size_t j = 0; j < m_; ++j) {
    const Vec3 p = t.apply(y_[j]);
    moved_xyz_[0][j] = p.x;
    moved_xyz_[1][j] = p.y;
    moved_xyz_[2][j] = p.z;
  }
  const double inv = 1.0 / (d0a_ * d0a_);
  return gap_open_align(
             n_, m_,
             [&](std::size_t i, double* __restrict row) {
               const Vec3 a = x_[i];
               const double *mx = moved_xyz_[0].data(), *my = moved_xyz_[1].data(), *mz = moved_xyz_[2].data();
               for (std::size_t j = 0; j < m_; ++j) {
                 const double dx = a.x - mx[j], dy = a.y - my[j], dz = a.z - mz[j];
                 row[j] = 1.0 / (1.0 + (dx * dx + dy * dy + dz * dz) * inv);
               }
             },
             kRefineGapOpen, dp_)
      .pairs;
}

void Search::secondary_structure_seed(std::vector<Fit>& out) {
  const std::string a = ca_secondary_structure(x_), b = ca_secondary_structure(y_);
  GapOpenAlignment sa = gap_open_align(
      n_, m_,
      [&](std::size_t i, double* row) {
        for (std::size_t j = 0; j < m_; ++j) row[j] = a[i] == b[j] ? 1.0 : 0.0;
      },
      kStringGapOpen, dp_);
  Fit f = tm_fit(sa.pairs);
  if (f.tm >= 0.0) out.push_back(std::move(f));
}

void Search::threading_seeds(std::vector<Fit>& out) {
  const std::size_t min_overlap = std::max<std::size_t>(5, std::min(n_, m_) / 2);
  std::vector<Fit> best;
  std::vector<ResiduePair> pairs;
  const auto nn = std::ptrdiff_t(n_), mm = std::ptrdiff_t(m_);
  for (std::ptrdiff_t offset = -(nn - 1); offset < mm; ++offset) {
    const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -offset), hi = std::min(nn, mm - offset);
    if (hi - lo < std::ptrdiff_t(min_overlap)) continue;
    pairs.clear();
    for (std::ptrdiff_t i = lo; i < hi; ++i) pairs.emplace_back(std::size_t(i), std::size_t(i + offset));
    Fit f;
    Transform t = fit_range(pairs, 0, pairs.size());
    std::vector<std::uint32_t> previous;
    for (int round = 0; round < 3; ++round) {
      pair_distances(t, pairs);
      const double tm = tm_of_distances();
      if (tm > f.tm) {
        f.tm = tm;
        f.transform = t;
      }
      if (round == 2) break;
      std::vector<std::uint32_t> sel = select(ds_);
      // The same selection gives the same fit again: nothing more to find.
      if (sel.size() == pairs.size() || sel == previous) break;
      t = fit_subset(pairs, sel);
      previous = std::move(sel);
    }
    // Offsets arrive in increasing order: an equal score never displaces an earlier one.
    auto at = std::find_if(best.begin(), best.end(), [&](const Fit& b) { return f.tm > b.tm; });
    if (best.size() < kThreadingSeeds || at != best.end()) {
      f.pairs = pairs;
      best.insert(at, std::move(f));
      if (best.size() > kThreadingSeeds) best.pop_back();
    }
  }
  for (Fit& f : best) out.push_back(std::move(f));
}

void Search::fragment_seeds(std::vector<Fit>& out) {
  const std::size_t len = std::min<std::size_t>({12, n_, m_});
  if (len < 4) return;
  auto step_of = [len](std::size_t size) {
    return std::max<std::size_t>(1, (size - len + 38) / 39);
  };
  const std::size_t step_x = step_of(n_);
  std::size_t step_y = step_of(m_);
  while (std::gcd(step_x, step_y) != 1) ++step_y;

  // Internal distances of every fragment, for a cheap shape comparison.
  auto internal = [len](const PointList& p, std::size_t step) {
    std::vector<std::vector<double>> out;
    for (std::size_t a = 0; a + len <= p.size(); a += step) {
      std::vector<double> d;
      d.reserve(len * (len - 1) / 2);
      for (std::size_t i = 0; i < len; ++i)
        for (std::size_t j = i + 1; j < len; ++j) d.push_back(std::sqrt(squared_distance(p[a + i], p[a + j])));
      out.push_back(std::move(d));
    }
    return out;
  };
  const auto dx = internal(x_, step_x), dy = internal(y_, step_y);
  const double limit = 2.0 * 2.0 * double(len * (len - 1) / 2);
  const double inv = 1.0 / (d0r_ * d0r_);
  std::vector<Fit> best;
  for (std::size_t fa = 0; fa < dx.size(); ++fa) {
    for (std::size_t fb = 0; fb < dy.size(); ++fb) {
      double diff = 0.0;
      for (std::size_t k = 0; k < dx[fa].size() && diff <= limit; ++k)
        diff += (dx[fa][k] - dy[fb][k]) * (dx[fa][k] - dy[fb][k]);
      if (diff > limit) continue;
      const std::size_t a = fa * step_x, b = fb * step_y;
      const Transform t = superpose(x_.data() + a, len, y_.data() + b, len).transform;
      double sum = 0.0;
      const auto shift = std::ptrdiff_t(b) - std::ptrdiff_t(a);
      const std::ptrdiff_t lo = std::max<std::ptrdiff_t>(0, -shift),
                           hi = std::min(std::ptrdiff_t(n_), std::ptrdiff_t(m_) - shift);
      for (std::ptrdiff_t i = lo; i < hi; ++i)
        sum += 1.0 / (1.0 + squared_distance(x_[std::size_t(i)], t.apply(y_[std::size_t(i + shift)])) * inv);
      Fit f;
      f.tm = sum / double(n_);
      f.transform = t;
      auto at = std::find_if(best.begin(), best.end(), [&](const Fit& o) { return f.tm > o.tm; });
      if (best.size() < kFragmentSeeds || at != best.end()) {
        best.insert(at, std::move(f));
        if (best.size() > kFragmentSeeds) best.pop_back();
      }
    }
  }
  for (Fit& f : best) out.push_back(std::move(f));
}

std::vector<Fit> Search::seeds() {
  std::vector<Fit> out;
  secondary_structure_seed(out);
  threading_seeds(out);
  fragment_seeds(out);
  return out;
}

void Search::refine(Track& t) {
  std::vector<ResiduePair> pairs = align_under(t.fit.transform);
  if (pairs.size() < 3 || pairs == t.last) {
    t.done = true;
    return;
  }
  t.last = pairs;
  Fit next = tm_fit(pairs);
  if (next.tm <= t.fit.tm + kMinGain) {
    t.fit.pairs = std::move(pairs);  // the alignment under the kept fit
    t.done = true;
    return;
  }
  t.fit = std::move(next);
}

void Search::drop_duplicates(std::vector<Track>& tracks, double r) const {
  std::stable_sort(tracks.begin(), tracks.end(), [](const Track& a, const Track& b) { return a.fit.tm > b.fit.tm; });
  std::vector<Track> kept;
  for (Track& t : tracks) {
    const bool same = std::any_of(kept.begin(), kept.end(), [&](const Track& k) {
      return transform_difference(k.fit.transform, t.fit.transform, y_) < r;
    });
    if (!same) kept.push_back(std::move(t));
  }
  tracks = std::move(kept);
}

std::vector<Transform> Search::window_fits(const Fit& f) {
  std::vector<Transform> out{f.transform};
  const std::vector<ResiduePair>& p = f.pairs;
  for (std::size_t w : {32u, 64u}) {
    if (w > p.size()) continue;
    for (std::size_t s = 0; s + w <= p.size(); s += w / 2) {
      Transform t = fit_range(p, s, w);
      for (int round = 0; round < 3; ++round) {
        pair_distances(t, p);
        std::vector<std::uint32_t> close;
        for (std::size_t k = 0; k < p.size(); ++k)
          if (dist_[k] < 1.5 * 1.5) close.push_back(std::uint32_t(k));
        if (close.size() < 4) break;
        t = fit_subset(p, close);
      }
      out.push_back(t);
    }
  }
  return out;
}

// The best running score of the aligner's local path along `pairs` under t:
// consecutive pairs are joined by diagonal fillers and gap steps, each pair
// scores the aligner's normalised similarity, each gap step costs its penalty.
double Search::path_proxy(const Transform& t, const std::vector<ResiduePair>& pairs) const {
  if (pairs.empty()) return 0.0;
  const double dist_den = -2.0 * config_.e1 * config_.e1, conf_den = -2.0 * config_.e2 * config_.e2;
  auto moved = [&](std::size_t j) { return t.apply(y_[j]); };
  auto value = [&](std::size_t i, std::size_t j) {
    const Vec3 yj = moved(j);
    const double d = squared_distance(x_[i], yj);
    double c = 0.0;
    if (i > 0 && j > 0) c += squared_distance(x_[i - 1] - x_[i], moved(j - 1) - yj);
    if (i + 1 < n_ && j + 1 < m_) c += squared_distance(x_[i + 1] - x_[i], moved(j + 1) - yj);
    return (std::exp(d / dist_den + c / conf_den) - config_.norm_mean) / config_.norm_sd;
  };
  double h = 0.0, best = 0.0;
  auto step = [&](std::size_t i, std::size_t j, std::size_t gaps) {
    h = std::max(0.0, std::max(0.0, h - config_.gap_penalty * double(gaps)) + value(i, j));
    best = std::max(best, h);
  };
  step(pairs[0].first, pairs[0].second, 0);
  for (std::size_t k = 1; k < pairs.size(); ++k) {
    const auto [i0, j0] = pairs[k - 1];
    const auto [i1, j1] = pairs[k];
    const std::size_t di = i1 - i0 - 1, dj = j1 - j0 - 1, fill = std::min(di, dj);
    for (std::size_t f = 1; f <= fill; ++f) step(i0 + f, j0 + f, 0);
    step(i1, j1, std::max(di, dj) - fill);
  }
  return best;
}

StartSearch Search::run() {
  StartSearch out;
  std::vector<Track> tracks;
  for (Fit& f : seeds()) tracks.push_back({std::move(f), {}, false});
  if (tracks.empty()) return out;
  for (Track& t : tracks)
    for (int k = 0; k < kFirstIterations && !t.done; ++k) refine(t);
  drop_duplicates(tracks, kSameFit);
  if (tracks.size() > kRefined) tracks.resize(kRefined);
  for (Track& t : tracks)
    for (int k = 0; k < kMoreIterations && !t.done; ++k) refine(t);
  drop_duplicates(tracks, kSameFit);
  out.best = tracks.front().fit;

  struct Candidate {
    Transform transform;
    double proxy;
  };
  std::vector<Candidate> pool;
  for (const Track& t : tracks)
    for (const Transform& w : window_fits(t.fit)) pool.push_back({w, path_proxy(w, t.fit.pairs)});
  std::stable_sort(pool.begin(), pool.end(), [](const Candidate& a, const Candidate& b) { return a.proxy > b.proxy; });
  for (const Candidate& c : pool) {
    if (out.starts.size() == kStarts) break;
    const bool same = std::any_of(out.starts.begin(), out.starts.end(), [&](const Transform& s) {
      return transform_difference(s, c.transform, y_) < kSameStart;
    });
    if (!same) {
      out.starts.push_back(c.transform);
      out.proxies.push_back(c.proxy);
    }
  }
  return out;
}

}  // namespace

double transform_difference(const Transform& a, const Transform& b, const PointList& mobile) {
  if (mobile.empty()) return 0.0;
  double sum = 0.0;
  for (const Vec3& p : mobile) sum += squared_distance(a.apply(p), b.apply(p));
  return std::sqrt(sum / double(mobile.size()));
}

StartSearch search_starts(const PointList& fixed, const PointList& mobile, const AlignmentConfig& config) {
  if (fixed.size() < 3 || mobile.size() < 3) return {};
  return Search(fixed, mobile, config).run();
}

}  // namespace pelda
