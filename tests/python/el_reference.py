"""An independent pure-Python transcription of the Escanciano–Lobato test.

Python floats are IEEE binary64 with every operation rounded, and the sums
below are plain sequential loops starting from -0.0, so this reproduces the
extension's bits wherever the math library's log/exp agree. It is the oracle
for results on real data: never compare the module against its own output.
"""

import math

LANCZOS = [
    2.4857408913875355e-05,
    1.0514237858172197,
    -3.4568709722201625,
    4.512277094668948,
    -2.9828522532357664,
    1.056397115771267,
    -0.19542877319164587,
    0.01709705434044412,
    -0.0005719261174043057,
    4.633994733599057e-06,
    -2.7199490848860772e-09,
]


def log_gamma(x):
    s = LANCZOS[0]
    for k in range(1, 11):
        s = s + LANCZOS[k] / ((x + k) - 1.0)
    u = x - 0.5
    w = (10.900511 + u) / 2.718281828459045
    return math.log(w) * u + (math.log(s) + 0.6207822376352452)


def lower_gamma(a, x):
    if x <= 1.1102230246251565e-15:
        return 0.0
    ax = ((a * math.log(x)) - x) - log_gamma(a)
    if ax < -709.782712893384:
        return 1.0 if a < x else 0.0
    if x <= 1.0 or x <= a:
        r, c, s = a, 1.0, 1.0
        while True:
            r = r + 1.0
            c = c * (x / r)
            s = s + c
            if c / s <= 1e-15:
                return (math.exp(ax) * s) / a
    y = 1.0 - a
    z = (x + y) + 1.0
    count = 0
    p3, q3, p2, q2 = 1.0, x, x + 1.0, x * z
    ans = p2 / q2
    while True:
        y += 1.0
        z += 2.0
        count += 1
        yc = y * count
        p = z * p2 - yc * p3
        q = z * q2 - yc * q3
        p3, p2, q3, q2 = p2, p, q2, q
        if abs(p) > 4503599627370496.0:
            p3, p2, q3, q2 = (v * 2.220446049250313e-16 for v in (p3, p2, q3, q2))
        if q != 0:
            nxt = p / q
            err = abs((ans - nxt) / nxt)
            ans = nxt
            if err <= 1e-15:
                return 1.0 - math.exp(ax) * ans


def chi2_1_pvalue(statistic):
    if statistic <= 0:
        return 1.0
    if math.isnan(statistic):
        return math.nan
    if math.isinf(statistic):
        return 0.0
    return 1.0 - lower_gamma(0.5, statistic * 0.5)


class ZeroTau(Exception):
    pass


class LagTooLarge(Exception):
    pass


class NotFinite(Exception):
    pass


class TooSmall(Exception):
    pass


def el_test(x, q=2.4, d=None):
    """(p_tilde, statistic, pvalue) for a list of floats without NaN.

    A non-constant series whose largest magnitude is below 2**-200 must give
    the outcome of its copy scaled into [1, 2), or it is too small."""
    outcome = _outcome(x, q, d)
    largest = max((abs(v) for v in x), default=0.0)
    if all(v == x[0] for v in x) or largest >= 2.0**-200:
        return _unwrap(outcome)
    shift = -math.frexp(largest)[1] + 1
    scaled = _outcome([math.ldexp(v, shift) for v in x], q, d)
    same = type(outcome) is type(scaled) and (
        outcome.args == scaled.args
        if isinstance(outcome, Exception)
        else [float(v).hex() for v in outcome] == [float(v).hex() for v in scaled]
    )
    if not same:
        raise TooSmall()
    return _unwrap(outcome)


def _outcome(x, q, d):
    try:
        return _el_test(x, q, d)
    except (ZeroTau, NotFinite, LagTooLarge) as error:
        return error


def _unwrap(outcome):
    if isinstance(outcome, Exception):
        raise outcome
    return outcome


def _el_test(x, q, d):
    n = len(x)
    big_n = float(n)
    if d is None:
        d = 1  # the integer fifth root of n: the largest d with d ** 5 <= n
        while (d + 1) ** 5 <= n:
            d += 1
    total = -0.0
    for value in x:
        total = total + value
    mean = x[0] if all(v == x[0] for v in x) else total / big_n
    e = [value - mean for value in x]
    rho2 = [0.0]
    for j in range(1, d + 1):
        if j > n:
            raise LagTooLarge(n)
        m = n - j
        if m == 0:
            rho2.append(math.nan)
            continue
        g = -0.0
        for k in range(m):
            g = g + e[k] * e[k + j]
        t = -0.0
        for k in range(m):
            t = t + (e[k] * e[k]) * (e[k + j] * e[k + j])
        gamma = g / float(m)
        tau = t / float(m)
        if tau == 0.0:
            raise ZeroTau(j)
        if not (math.isfinite(gamma) and math.isfinite(tau)):
            raise NotFinite(j)
        rho2.append((gamma * gamma) / tau)
    largest = 0.0
    for value in rho2:
        r = math.sqrt(value) if not math.isnan(value) else math.nan
        if not math.isnan(r) and r > largest:
            largest = r
    log_n = math.log(big_n)
    bic = math.sqrt(q * log_n) >= math.sqrt(big_n) * largest
    best, p_tilde, running, best_sum = -math.inf, 0, -0.0, -0.0
    for p in range(1, d + 1):
        running = running + rho2[p]
        penalty = p * log_n if bic else float(2 * p)
        criterion = (running * big_n) - penalty
        if criterion > best:
            best, p_tilde, best_sum = criterion, p, running
    statistic = best_sum * big_n
    return p_tilde, statistic, chi2_1_pvalue(statistic)
