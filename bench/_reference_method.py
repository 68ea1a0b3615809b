"""Reference implementation of the core's detection method in numpy.

The method (quarn-core/src/method.cpp and the concerns it uses) was designed
with this code: its switches turn single ideas off for the ablation study
(bench/ablation.py), and the port is checked against it series by series
(bench/compare_reference.py). It takes its candidates from the native
multi-window detector, like the core.

Steps: candidates from the detector with window sizes from the length;
rank scores and standardised, winsorized values; dependence factors from the
residuals of the candidates' segmentation; a pilot elimination, dependence
factors from its residuals, and the final elimination; relocation of the
survivors; the kind of each change.
"""

from __future__ import annotations

import heapq
import math
from dataclasses import dataclass, field
from statistics import NormalDist

import numpy as np

from quarn import _quarn_native

_NORMAL = NormalDist()


@dataclass
class Settings:
    """Options of the method; the defaults are the core's choices, the
    switches serve the ablation study."""

    alpha: float = 0.05
    seed: int = 123
    workers: int | None = None
    # Candidate detector: six window sizes from clamp(n / 100, 5, 10) to
    # n / 8 (capped by a cost rule when window_cap is 0), replicates by a
    # cost rule when n_perm is 0.
    window_count: int = 6
    window_low: int = 5
    window_high_div: int = 8
    window_cap: int = 0
    n_perm: int = 0
    # Constant of the scan over short sides in the p-values.
    kappa: float = 0.01
    # Shortest side of any tested split, and per test.
    min_segment: int = 3
    min_sides: dict = field(default_factory=lambda: {"spread": 8, "shape": 25, "trend": 5})
    # Trend handling: trending stretches get the two-lines test only.
    trend: bool = True
    trend_tau: float = 3.0
    pretest_min: int = 5
    # Dependence: "pilot" (factors from a pilot selection's residuals),
    # "pool" (from the candidates' residuals only) or "none".
    factors: str = "pilot"
    rho_max: float = 0.95
    relocate: bool = True
    smooth_relocate: bool = True
    merge_gap: int = 8
    win_half: int = 2
    win_c: float = 3.0
    spread: bool = True
    shape: bool = True


@dataclass
class Found:
    change_points: list[int]
    kinds: list[str]
    p_values: list[float]
    pool: list[int] = field(default_factory=list)
    factors: dict = field(default_factory=dict)


# --- candidates -------------------------------------------------------------

def window_sizes(n: int, s: Settings) -> list[int]:
    low = min(max((n + 50) // 100, s.window_low), 2 * s.window_low)
    cap = s.window_cap if s.window_cap else min(max(5_000_000 // n, 100), 1000)
    high = min(cap, n // s.window_high_div)
    if high < low:
        return [low] if n >= 2 * low else []
    ratio = high / low
    return sorted({int(math.floor(low * ratio ** (i / 5) + 0.5)) for i in range(s.window_count)})


def replicates(n: int, s: Settings) -> int:
    return s.n_perm if s.n_perm else min(max(15_000_000 // n, 100), 300)


def candidate_pool(x: np.ndarray, s: Settings) -> list[int]:
    n = len(x)
    sizes = window_sizes(n, s)
    if not sizes:
        return []
    native = _quarn_native.quarn_detector(
        x, window_sizes=sizes, seed=s.seed, workers=s.workers, change_type="mean", n_perm=replicates(n, s)
    )
    pool: set[int] = set()
    for result in native["window_results"].values():
        pool.update(result["change_points"])
        for start, end in result["localized_regions"]:
            pool.add(start + scale_split(x[start:end]))
    return sorted(c for c in pool if 0 < c < n)


def scale_split(x: np.ndarray) -> int:
    """Split maximising the Gaussian likelihood of a change in spread."""
    m = len(x)
    d = x - np.mean(x)
    sq = np.cumsum(d * d)
    k = np.arange(2, m - 1)
    if len(k) == 0:
        return m // 2
    left = sq[k - 1] / k
    right = (sq[-1] - sq[k - 1]) / (m - k)
    floor = 1e-300
    gain = -k * np.log(np.maximum(left, floor)) - (m - k) * np.log(np.maximum(right, floor))
    return int(k[np.argmax(gain)])


# --- scores -----------------------------------------------------------------

def wilcoxon_scores(x: np.ndarray) -> np.ndarray:
    """Mid-ranks mapped to (-1/2, 1/2)."""
    n = len(x)
    order = np.argsort(x, kind="stable")
    sx = x[order]
    starts = np.r_[0, np.flatnonzero(np.diff(sx)) + 1]
    ends = np.r_[starts[1:], n]
    mid = (starts + ends - 1) / 2.0
    ranks = np.empty(n)
    ranks[order] = np.repeat(mid, ends - starts)
    return (ranks + 0.5) / n - 0.5


def legendre(u: np.ndarray, j: int) -> np.ndarray:
    """Orthonormal Legendre polynomial j of uniform scores on (-1/2, 1/2)."""
    v = 2.0 * u
    if j == 1:
        return math.sqrt(3) * v
    if j == 2:
        return math.sqrt(5) * (1.5 * v * v - 0.5)
    if j == 3:
        return math.sqrt(7) * (2.5 * v**3 - 1.5 * v)
    return 3.0 * (35 * v**4 - 30 * v * v + 3) / 8


# --- p-values ---------------------------------------------------------------

def scan_p_value(z: float, n1: int, n2: int, n: int, kappa: float, k0: int = 3) -> float:
    """Approximate tail of the largest standardised two-sample difference
    over the stretches and splits the selection can visit: the pointwise
    tail, the search over splits inside a stretch of m values (an
    Ornstein-Uhlenbeck excursion rate z phi(z) per unit of log time) repeated
    over the n / m places such a stretch can take, and the scan over short
    sides of length l anywhere in the series (about n z^3 phi(z) / l)."""
    if not math.isfinite(z):
        return 0.0 if z > 0 else 1.0
    if z <= 0:
        return 1.0
    m = n1 + n2
    length = n1 * n2 / m
    phi = math.exp(-0.5 * z * z) / math.sqrt(2 * math.pi)
    point = math.erfc(z / math.sqrt(2))
    span = math.log(max(m / k0, 1.0))
    p = point + 2 * z * phi * span * (n / m) + kappa * n / length * z**3 * phi
    return min(1.0, p)


def t_quantile(z: float, dof: int) -> float:
    """Student-t quantile matching the normal quantile z (Cornish-Fisher)."""
    if dof <= 0:
        return math.inf
    v = float(dof)
    return z + (z**3 + z) / (4 * v) + (5 * z**5 + 16 * z**3 + 3 * z) / (96 * v * v)


def upper_normal(p: float) -> float:
    if p <= 0:
        return math.inf
    if p >= 0.5:
        return 0.0
    return -_NORMAL.inv_cdf(p)


# --- dependence ---------------------------------------------------------------

def robust_var(v: np.ndarray) -> float:
    if len(v) < 2:
        return 0.0
    med = np.median(v)
    return float((1.4826 * np.median(np.abs(v - med))) ** 2)


def ratio(rho: float) -> float:
    return (1 + rho) / (1 - rho)


def lag1_rho(residuals: list[np.ndarray], s: Settings) -> float:
    num = den = 0.0
    for e in residuals:
        if len(e) < 3:
            continue
        e = e - e.mean()
        num += float(np.dot(e[1:], e[:-1]))
        den += float(np.dot(e, e))
    if den <= 0:
        return 0.0
    return min(max(num / den, 0.0), s.rho_max)


def segment_residuals(v: np.ndarray, cps: list[int], line: bool) -> list[np.ndarray]:
    bounds = [0, *cps, len(v)]
    out = []
    for a, b in zip(bounds, bounds[1:]):
        if b - a < 4:
            continue
        y = v[a:b]
        if line:
            t = np.arange(b - a, dtype=float)
            X = np.c_[np.ones(b - a), t]
            out.append(y - X @ np.linalg.lstsq(X, y, rcond=None)[0])
        else:
            out.append(y - y.mean())
    return out


def estimate_factors(u, x, cps, s: Settings) -> dict[str, float]:
    if s.factors == "pool":
        s = Settings(**{**s.__dict__, "factors": "pilot"})
    if s.factors == "none":
        return {"level": 1.0, "spread": 1.0, "shape": 1.0, "trend": 1.0}
    ru = lag1_rho(segment_residuals(u, cps, s.trend), s)
    rx = lag1_rho(segment_residuals(x, cps, True), s)
    rs = lag1_rho([e * e for e in segment_residuals(u, cps, False)], s)
    rw = lag1_rho(segment_residuals(legendre(u, 4), cps, False), s)
    return {"level": ratio(ru), "spread": ratio(rs), "shape": ratio(rw), "trend": ratio(rx)}


# --- tests ----------------------------------------------------------------------

def line_fit(y: np.ndarray):
    """Slope, its sum of squared centred times, and the residual sum of squares."""
    m = len(y)
    t = np.arange(m, dtype=float) - (m - 1) / 2
    stt = float(t @ t)
    yc = y - y.mean()
    slope = float(t @ yc) / stt if stt > 0 else 0.0
    r = yc - slope * t
    return slope, stt, float(r @ r)


class Tester:
    def __init__(self, u: np.ndarray, x: np.ndarray, s: Settings, factors: dict[str, float]):
        self.n = len(u)
        self.u, self.x, self.s, self.f = u, x, s, factors
        self.p = [np.concatenate([[0.0], np.cumsum(u**k)]) for k in range(1, 5)]
        w = legendre(u, 4)
        self.w = [np.concatenate([[0.0], np.cumsum(w)]), np.concatenate([[0.0], np.cumsum(w * w)])]

    def sums(self, a, b):
        return [c[b] - c[a] for c in self.p]

    def z_p(self, diff, var, n1, n2):
        se = math.sqrt(max(var, 0.0) * (1 / n1 + 1 / n2))
        z = abs(diff) / se if se > 0 else (math.inf if abs(diff) > 1e-12 else 0.0)
        return scan_p_value(z, n1, n2, self.n, self.s.kappa)

    def level(self, a, c, b):
        n1, n2 = c - a, b - c
        s1, q1 = self.sums(a, c)[:2]
        s2, q2 = self.sums(c, b)[:2]
        ss = max(q1 - s1 * s1 / n1, 0.0) + max(q2 - s2 * s2 / n2, 0.0)
        var = ss / (n1 + n2 - 2) * self.f["level"]
        return self.z_p(s2 / n2 - s1 / n1, var, n1, n2)

    def side_moments(self, a, b):
        m = b - a
        s1, s2, s3, s4 = self.sums(a, b)
        mu = s1 / m
        d2 = s2 - 2 * mu * s1 + m * mu * mu
        d4 = s4 - 4 * mu * s3 + 6 * mu * mu * s2 - 4 * mu**3 * s1 + m * mu**4
        return max(d2, 0.0), max(d4, 0.0)

    def spread(self, a, c, b):
        n1, n2 = c - a, b - c
        d2l, d4l = self.side_moments(a, c)
        d2r, d4r = self.side_moments(c, b)
        ml, mr = d2l / n1, d2r / n2
        ss = max(d4l - n1 * ml * ml, 0.0) + max(d4r - n2 * mr * mr, 0.0)
        var = ss / (n1 + n2 - 2) * self.f["spread"]
        return self.z_p(mr - ml, var, n1, n2)

    def shape(self, a, c, b):
        n1, n2 = c - a, b - c
        s1 = self.w[0][c] - self.w[0][a]
        q1 = self.w[1][c] - self.w[1][a]
        s2 = self.w[0][b] - self.w[0][c]
        q2 = self.w[1][b] - self.w[1][c]
        ss = max(q1 - s1 * s1 / n1, 0.0) + max(q2 - s2 * s2 / n2, 0.0)
        var = ss / (n1 + n2 - 2) * self.f["shape"]
        return self.z_p(s2 / n2 - s1 / n1, var, n1, n2)

    def trending(self, a, c, b) -> bool:
        """Whether the ranks of the stretch follow a line better than a step,
        with a clear slope, or either side has a clear slope of its own."""
        tau = self.s.trend_tau
        v = self.u
        y = v[a:b]
        slope, stt, rss_line = line_fit(y)
        l, r = y[: c - a], y[c - a:]
        rss_step = float(((l - l.mean()) ** 2).sum() + ((r - r.mean()) ** 2).sum())
        if rss_line <= rss_step:
            var = rss_line / (b - a - 2) * self.f["level"]
            if var <= 0:
                if slope != 0:
                    return True
            elif abs(slope) > t_quantile(tau, b - a - 2) * math.sqrt(var / stt):
                return True
        fac = self.f["level"]
        for lo, hi in ((a, c), (c, b)):
            if hi - lo < self.s.pretest_min:
                continue
            slope, stt, rss = line_fit(v[lo:hi])
            var = rss / (hi - lo - 2) * fac
            if var <= 0:
                if slope != 0:
                    return True
                continue
            if abs(slope) > t_quantile(tau, hi - lo - 2) * math.sqrt(var / stt):
                return True
        return False

    def trend(self, a, c, b):
        n1, n2 = c - a, b - c
        m = b - a
        y = self.x[a:b]
        _, _, rss0 = line_fit(y)
        rss1 = line_fit(y[:n1])[2] + line_fit(y[n1:])[2]
        dof = m - 4
        if dof <= 0:
            return 1.0
        if rss1 <= 1e-300:
            return 0.0 if rss0 > 0 else 1.0
        f = (rss0 - rss1) / 2 / (rss1 / dof) / self.f["trend"]
        point = math.exp(-f) if f > 0 else 1.0
        return scan_p_value(upper_normal(point / 2), n1, n2, self.n, self.s.kappa)

    def p_value(self, a, c, b) -> tuple[float, str]:
        if min(c - a, b - c) < self.s.min_segment:
            return 1.0, ""
        if self.s.trend and self.trending(a, c, b):
            tests = [("trend", self.trend)]
        else:
            tests = [("level", self.level)]
            if self.s.spread:
                tests.append(("spread", self.spread))
            if self.s.shape:
                tests.append(("shape", self.shape))
        best, kind = 1.0, ""
        short = min(c - a, b - c)
        for name, test in tests:
            if short < self.s.min_sides.get(name, 0):
                continue
            p = min(1.0, len(tests) * test(a, c, b))
            if p < best:
                best, kind = p, name
        return best, kind


# --- selection ----------------------------------------------------------------

def eliminate(tester: Tester, pool: list[int], alpha: float, stages: list | None = None):
    n = tester.n
    pts = [0, *pool, n]
    alive = [True] * len(pts)
    prev = list(range(-1, len(pts) - 1))
    nxt = list(range(1, len(pts) + 1))
    pv = [0.0] * len(pts)
    kind = [""] * len(pts)
    version = [0] * len(pts)
    heap: list = []

    def evaluate(i):
        pv[i], kind[i] = tester.p_value(pts[prev[i]], pts[i], pts[nxt[i]])
        version[i] += 1
        heapq.heappush(heap, (-pv[i], pts[i], i, version[i]))

    for i in range(1, len(pts) - 1):
        evaluate(i)
    while heap:
        negp, _, i, ver = heapq.heappop(heap)
        if not alive[i] or ver != version[i]:
            continue
        if stages is not None:
            stages.append(-negp)
        if -negp <= alpha:
            break
        alive[i] = False
        p, q = prev[i], nxt[i]
        nxt[p], prev[q] = q, p
        if p > 0:
            evaluate(p)
        if q < len(pts) - 1:
            evaluate(q)
    kept = [i for i in range(1, len(pts) - 1) if alive[i]]
    return [pts[i] for i in kept], [kind[i] for i in kept], [pv[i] for i in kept]


# --- relocation -----------------------------------------------------------------

def best_level_split(v: np.ndarray) -> int:
    m = len(v)
    k = np.arange(1, m)
    cs = np.cumsum(v)[:-1]
    stat = np.abs(cs - k / m * np.sum(v)) / np.sqrt(k * (m - k) / m)
    return 1 + int(np.argmax(stat))


def best_smooth_split(u: np.ndarray) -> int:
    """Split maximising the sum of squared standardised CUSUMs of the
    Legendre scores 2 to 4 (changes of spread and shape)."""
    m = len(u)
    k = np.arange(1, m)
    total = np.zeros(m - 1)
    for j in (2, 3, 4):
        w = legendre(u, j)
        w = w - w.mean()
        sd = w.std()
        if sd <= 0:
            continue
        cs = np.cumsum(w)[:-1]
        total += (cs / sd) ** 2 / (k * (m - k) / m)
    return 1 + int(np.argmax(total))


def best_trend_split(y: np.ndarray, lo: int, current: int) -> int:
    m = len(y)
    best, arg = math.inf, current
    for k in range(lo, m - lo + 1):
        rss = line_fit(y[:k])[2] + line_fit(y[k:])[2]
        if rss < best:
            best, arg = rss, k
    return arg


def relocate(u, x, cps, kinds, s: Settings) -> list[int]:
    n = len(u)
    bounds = [0, *cps, n]
    out = []
    for i, kind in enumerate(kinds):
        a, b = bounds[i], bounds[i + 2]
        if kind == "trend":
            k = best_trend_split(x[a:b], max(2, s.min_segment), cps[i] - a)
        elif kind in ("spread", "shape") and s.smooth_relocate:
            k = best_smooth_split(u[a:b])
        elif kind in ("spread", "shape"):
            seg = u[a:b]
            k = best_level_split((seg - np.median(seg)) ** 2)
        else:
            k = best_level_split(u[a:b])
        bounds[i + 1] = a + k
        out.append(a + k)
    return out


def power_of_two_scale(x: np.ndarray) -> float:
    spread = math.sqrt(robust_var(np.diff(x))) if len(x) >= 3 else 0.0
    if not spread > 0:
        spread = float(np.std(x))
    if not spread > 0 or not math.isfinite(spread):
        return 1.0
    mantissa, exponent = math.frexp(spread)
    return math.ldexp(1.0, exponent - 1 if mantissa < math.sqrt(0.5) else exponent)


def rolling_median(x: np.ndarray, half: int) -> np.ndarray:
    n = len(x)
    out = np.empty(n)
    for t in range(n):
        out[t] = np.median(x[max(0, t - half): t + half + 1])
    return out


def winsorize(x: np.ndarray, half: int, c: float) -> np.ndarray:
    """Pulls isolated outliers in to c robust deviations from a running median."""
    if c <= 0 or len(x) < 2 * half + 1:
        return x
    med = rolling_median(x, half)
    r = x - med
    scale = 1.4826 * float(np.median(np.abs(r)))
    if scale <= 0:
        return x
    bound = c * scale
    return np.where(r > bound, med + bound, np.where(r < -bound, med - bound, x))


def label(x: np.ndarray, a: int, c: int, b: int, kind: str) -> str:
    """Names the kind of change at c from the test that confirmed it."""
    if kind == "trend":
        y = x[a:b]
        m = b - a
        t = np.arange(m, dtype=float)
        step = (t >= c - a).astype(float)
        base = np.c_[np.ones(m), t]
        rss = []
        for extra in (step, step * (t - (c - a))):
            X = np.c_[base, extra]
            r = y - X @ np.linalg.lstsq(X, y, rcond=None)[0]
            rss.append(float(r @ r))
        return "level" if rss[0] <= rss[1] else "slope"
    if kind in ("spread", "shape"):
        left, right = x[a:c], x[c:b]
        z = variance_ratio_z(left, right)
        return "spread" if abs(z) >= 2.5 else "shape"
    return kind


def variance_ratio_z(left: np.ndarray, right: np.ndarray) -> float:
    """log ratio of the sample variances over its standard error, which
    grows with the kurtosis of each side."""
    out = []
    for v in (left, right):
        d = v - v.mean()
        m2 = float(d @ d) / len(v)
        m4 = float((d**4).sum()) / len(v)
        out.append((m2, (m4 / m2**2 - 1) / len(v) if m2 > 0 else 0.0))
    (l2, lv), (r2, rv) = out
    if l2 <= 0 or r2 <= 0:
        return math.inf if l2 != r2 else 0.0
    se = math.sqrt(lv + rv)
    return math.log(r2 / l2) / se if se > 0 else 0.0


def merge_close(tester, pool: list[int], gap: int) -> list[int]:
    """Replaces every run of candidates less than `gap` apart by the one with
    the smallest p-value on the stretch between the run's outer neighbours."""
    if gap <= 1 or not pool:
        return pool
    runs, current = [], [pool[0]]
    for c in pool[1:]:
        if c - current[-1] < gap:
            current.append(c)
        else:
            runs.append(current)
            current = [c]
    runs.append(current)
    out = []
    for i, run in enumerate(runs):
        if len(run) == 1:
            out.append(run[0])
            continue
        a = runs[i - 1][-1] if i > 0 else 0
        b = runs[i + 1][0] if i + 1 < len(runs) else tester.n
        best, arg = math.inf, run[0]
        for c in run:
            p = tester.p_value(a, c, b)[0]
            if p < best:
                best, arg = p, c
        out.append(arg)
    return out


def detect(x, s: Settings | None = None) -> Found:
    s = s or Settings()
    x = np.asarray(x, dtype=float)
    n = len(x)
    if n < 2 * s.min_segment:
        return Found([], [], [])
    u = wilcoxon_scores(x)
    scale = power_of_two_scale(x)
    raw = (x - np.median(x)) / scale
    pool = candidate_pool(raw, s)
    xs = winsorize(raw, s.win_half, s.win_c)
    factors = estimate_factors(u, xs, pool, s)
    pool = merge_close(Tester(u, xs, s, factors), pool, s.merge_gap)
    cps, kinds, pvals = eliminate(Tester(u, xs, s, factors), pool, s.alpha)
    if s.factors == "pool":
        pass
    elif s.factors == "pilot":
        factors = estimate_factors(u, xs, cps, s)
        cps, kinds, pvals = eliminate(Tester(u, xs, s, factors), pool, s.alpha)
    if s.relocate and cps:
        cps = relocate(u, xs, cps, kinds, s)
    bounds = [0, *cps, n]
    tester = Tester(u, xs, s, factors)
    labels = []
    for i, k in enumerate(kinds):
        a, c, b = bounds[i], cps[i], bounds[i + 2]
        if k in ("spread", "shape") and min(c - a, b - c) >= s.min_segment and tester.level(a, c, b) * 3 <= s.alpha:
            k = "level"
        labels.append(label(xs if k == "trend" else raw, a, c, b, k))
    return Found(cps, labels, pvals, pool, factors)
