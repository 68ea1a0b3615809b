"""quarn.detect's complete results against hashes recorded before it ran
through the engine (when it called the native module): the same series and
options must give the same change points, votes, scores, probabilities,
statistics and thresholds, every float by its bits.

The series come from integer arithmetic and correctly rounded float
operations only, so they are the same on every platform. Run
``python tests/test_detect_reference.py`` to print the current hashes.
"""

import hashlib

import pytest

import quarn
from helpers import bits
from sample_series import piecewise, shape_changes


def _series():
    step = piecewise(3000, levels=(0.0, 2.0, -1.0, 0.5), scales=(1.0, 3.0, 1.0), seed=21)
    return {
        "levels and spreads": step,
        "shapes": shape_changes(1800, seed=22),
        # Far from zero and tiny: the detector sees it centred and scaled.
        "offset": [1e6 + 1e-3 * v for v in step[:1200]],
        "huge": [1e300 * v for v in step[:900]],
        "short": step[:25],
    }


SERIES = _series()

OPTIONS = {
    "defaults": {},
    "strict": {"window_sizes": [5, 12, 30], "n_perm": 50, "alpha": 0.05, "seed": 9,
               "change_type": "var"},
    "distribution": {"change_type": "distribution", "block_length": 4, "taper_ratio": 0.2,
                     "center": False, "tol": 0, "n_perm": 80},
    "tiny windows": {"window_sizes": [3, 2], "block_length": 2, "n_perm": 30},
}

# Recorded from quarn.detect on the native module.
EXPECTED = {
    ('levels and spreads', 'defaults'): '360c28af55418871',
    ('levels and spreads', 'strict'): '137dff695ea9a946',
    ('levels and spreads', 'distribution'): '7869e5dcfb706ab1',
    ('levels and spreads', 'tiny windows'): 'c183c68754faab26',
    ('shapes', 'defaults'): '8d510ab840db5cd8',
    ('shapes', 'strict'): '51285abc1492672e',
    ('shapes', 'distribution'): '9952f49adf30edfe',
    ('shapes', 'tiny windows'): 'cef90db3331755b3',
    ('offset', 'defaults'): '0ea7748d6398d500',
    ('offset', 'strict'): '6e36f346b2b56a31',
    ('offset', 'distribution'): '2f7bcd656025b278',
    ('offset', 'tiny windows'): '06fc5297f602b503',
    ('huge', 'defaults'): 'bd1c5bfcc22d67ba',
    ('huge', 'strict'): '390e76c84a983bb0',
    ('huge', 'distribution'): 'ee74f9d90fd3db0c',
    ('huge', 'tiny windows'): 'e7415b2f18ec245d',
    ('short', 'defaults'): '66dad7c8f01da14c',
    ('short', 'strict'): '1baaa9c98e32f58d',
    ('short', 'distribution'): '75ced35c1dd109da',
    ('short', 'tiny windows'): '7618129b23c1d28b',
}


def digest(result):
    image = (bits(result.to_dict()), [(p.position, p.votes, bits(p.score), bits(p.probability))
                                      for p in result.change_points])
    return hashlib.sha256(repr(image).encode()).hexdigest()[:16]


@pytest.mark.filterwarnings("ignore::quarn.QuarnWarning")  # the short series
@pytest.mark.parametrize("options", list(OPTIONS))
@pytest.mark.parametrize("series", list(SERIES))
def test_detect_reproduces_the_recorded_results(series, options):
    result = quarn.detect(SERIES[series], method="native", **OPTIONS[options])
    assert digest(result) == EXPECTED[(series, options)]


if __name__ == "__main__":
    import warnings

    warnings.simplefilter("ignore")
    for series in SERIES:
        for options in OPTIONS:
            found = quarn.detect(SERIES[series], method="native", **OPTIONS[options])
            print(f"    ({series!r}, {options!r}): {digest(found)!r},")
