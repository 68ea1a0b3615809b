"""Golden results of quarn.detect with its defaults on series like the
benchmarks' (level shifts every 1,000 values, spread changes, dependent
noise, a seasonal cycle, plain noise) of 1,000 to 20,000 values: every
change point (position, kind, p-value, votes, score, probability), the
candidate detector's whole output and the seasonal period, floats by their
bits, hashed and compared with the hashes recorded before the defaults were
made faster. Work saved must not change a single bit.

The series come from the integer generator of test_golden, so they are the
same on every platform.

Run ``python tests/test_defaults_golden.py`` to print the hashes of the
current build (for a deliberate change of results).
"""

import hashlib

import pytest

import quarn
from helpers import bits
from test_golden import near_gaussian, uniforms


def level_shifts(n, seed):
    """A 1.5 sd level shift every 1,000 values, alternately up and down."""
    draws = uniforms(seed)
    return [(1.5 if (i // 1000) % 2 else 0.0) + near_gaussian(draws) for i in range(n)]


def spreads_and_levels(n, seed):
    """Level and spread changes at irregular places."""
    draws = uniforms(seed)
    values, level, scale = [], 0.0, 1.0
    for i in range(n):
        if i and i % 700 == 0:
            if next(draws) < 0.5:
                level += 1.0 if next(draws) < 0.5 else -1.0
            else:
                scale = 0.5 if scale > 0.75 else 1.5
        values.append(level + scale * near_gaussian(draws))
    return values


def dependent(n, seed):
    """Autocorrelated noise (0.6) with a shift at two thirds."""
    draws = uniforms(seed)
    values, x = [], 0.0
    for i in range(n):
        x = 0.6 * x + near_gaussian(draws)
        values.append(x + (2.0 if i >= 2 * n // 3 else 0.0))
    return values


def seasonal(n, seed):
    """A triangle wave of period 24 (no libm) with a level shift halfway."""
    draws = uniforms(seed)
    return [
        abs((i % 24) - 12) / 4.0 + (1.0 if i >= n // 2 else 0.0) + 0.5 * near_gaussian(draws)
        for i in range(n)
    ]


def noise(n, seed):
    draws = uniforms(seed)
    return [near_gaussian(draws) for _ in range(n)]


CASES = [
    ("shifts-1000", level_shifts, 1000, 31),
    ("shifts-5000", level_shifts, 5000, 32),
    ("shifts-20000", level_shifts, 20000, 33),
    ("spreads-3000", spreads_and_levels, 3000, 34),
    ("spreads-12000", spreads_and_levels, 12000, 35),
    ("dependent-4000", dependent, 4000, 36),
    ("seasonal-2400", seasonal, 2400, 37),
    ("noise-1000", noise, 1000, 38),
    ("noise-8000", noise, 8000, 39),
]

GOLDEN = {
    "shifts-1000": "a531f204a655626d37ab87a4",
    "shifts-5000": "b74338e6dbdec667ae37156a",
    "shifts-20000": "929538d233a1b48b6e62e9aa",
    "spreads-3000": "0bad3d486fc0765a4c7179b6",
    "spreads-12000": "8af7e5615645fa1c501a9708",
    "dependent-4000": "cc69b3dd5f3a1138077b3fa6",
    "seasonal-2400": "73053e0352f9429b47a8ef3e",
    "noise-1000": "a9a1e766b2b7fb8c7fc56577",
    "noise-8000": "c985b72c1eb2a55749b15b21",
}


def digest(result):
    points = [
        (p.position, p.votes, p.score, p.probability, p.kind, p.p_value)
        for p in result.change_points
    ]
    image = bits((points, result.to_dict(), result.seasonal_period))
    return hashlib.sha256(repr(image).encode()).hexdigest()[:24]


@pytest.mark.parametrize("name, make, n, seed", CASES, ids=[c[0] for c in CASES])
def test_defaults_bit_identical(name, make, n, seed):
    assert digest(quarn.detect(make(n, seed))) == GOLDEN[name]


def test_detect_many_equals_golden_detect():
    pd = pytest.importorskip("pandas")
    chosen = [case for case in CASES if case[2] <= 5000]
    series = [make(n, seed) for name, make, n, seed in chosen]
    table = quarn.detect_many(series, workers=2)
    for number, (name, make, n, seed) in enumerate(chosen):
        result = quarn.detect(series[number])
        assert digest(result) == GOLDEN[name]
        rows = table[table["series"] == number].drop(columns="series").reset_index(drop=True)
        pd.testing.assert_frame_equal(rows, result.to_frame(), check_exact=True)


if __name__ == "__main__":
    for name, make, n, seed in CASES:
        print(f'    "{name}": "{digest(quarn.detect(make(n, seed)))}",')
