"""Golden results: complete results of quarn_detector and
quarn_single_window, every key and every float by its bits, hashed and
compared with the hashes recorded when the detector was last changed on
purpose. Any change of a single bit anywhere in a result (a different sort,
a different order of additions, a fused multiply-add where there was none)
changes a hash.

The series are built from integer arithmetic and correctly rounded float
operations only (no log, exp or trigonometry), so they are the same on every
platform.

Run ``python tests/test_golden.py`` to print the table of hashes of the
current build (for a deliberate change of results).
"""

import hashlib

import pytest

import quarn._quarn_native as native
from helpers import bits


def uniforms(seed):
    """Endless uniforms in [0, 1) with 53 random bits from a 64-bit LCG."""
    state = seed
    while True:
        state = (state * 6364136223846793005 + 1442695040888963407) % 2**64
        yield (state >> 11) / 2**53


def near_gaussian(draws):
    """Sum of twelve uniforms minus six: mean 0, variance 1, no libm."""
    total = 0.0
    for _ in range(12):
        total += next(draws)
    return total - 6.0


def levels_and_spreads(n=3000, seed=11):
    """Noise whose level or spread changes every few hundred values."""
    draws = uniforms(seed)
    values, level, scale = [], 0.0, 1.0
    for i in range(n):
        if i and i % 250 == 0:
            if (i // 250) % 2:
                level += 2.0 if next(draws) < 0.5 else -2.0
            else:
                scale = 0.4 if next(draws) < 0.5 else 2.5
        values.append(level + scale * near_gaussian(draws))
    return values


def ar1(n=2000, seed=12, phi=0.8):
    """Autocorrelated noise with a level shift in the middle."""
    draws = uniforms(seed)
    values, x = [], 0.0
    for i in range(n):
        x = phi * x + near_gaussian(draws)
        values.append(x + (3.0 if i >= n // 2 else 0.0))
    return values


def heavy_tails(n=2000, seed=13):
    """Ratio of a near-Gaussian to a small positive value: Cauchy-like
    outliers, with the spread doubling after the first third."""
    draws = uniforms(seed)
    values = []
    for i in range(n):
        ratio = near_gaussian(draws) / (next(draws) + 0.02)
        values.append(ratio * (2.0 if i >= n // 3 else 1.0))
    return values


def integer_ties(n=2400, seed=14):
    """Small integers with many ties, signed so that zero appears both as
    +0.0 and as -0.0; the distribution shifts every 400 values."""
    draws = uniforms(seed)
    values = []
    for i in range(n):
        k = float(int(next(draws) * (3 + (i // 400) % 3)))
        values.append(-k if next(draws) < 0.5 else k)
    return values


def constant_stretches(n=2000, seed=15):
    """Stretches of one repeated value between stretches of noise."""
    draws = uniforms(seed)
    values = []
    for i in range(n):
        block = i // 150
        if block % 3 == 0:
            values.append(float(block))
        else:
            values.append(block + near_gaussian(draws))
    return values


def large_offset(n=2000, seed=16):
    """Small noise on a large offset, where the running sums cancel."""
    draws = uniforms(seed)
    return [1.0e9 + (1e-3 if i >= n // 2 else 1e-4) * near_gaussian(draws) for i in range(n)]


SERIES = {
    "levels": levels_and_spreads(),
    "ar1": ar1(),
    "heavy": heavy_tails(),
    "ties": integer_ties(),
    "constant": constant_stretches(),
    "offset": large_offset(),
}

# (name, series, window_size, keyword arguments of quarn_single_window).
# Window sizes 2 to 65 and 128 (every sort size that occurs from 2 to 64,
# and the general sort beyond), replicate counts on both sides of the
# parallel limit of 64, every change type, b, taper_ratio and center.
SINGLE_WINDOW_CASES = [
    ("w2-b2", "levels", 2, dict(b=2, n_perm=40)),
    ("w2-b4-nocenter", "ties", 2, dict(b=4, n_perm=64, center=False)),
    ("w3-b3-var", "heavy", 3, dict(b=3, n_perm=63, change_type="var")),
    ("w4", "levels", 4, dict(n_perm=1)),
    ("w5-dist", "ties", 5, dict(n_perm=100, change_type="distribution")),
    ("w6-taper0", "ar1", 6, dict(n_perm=64, taper_ratio=0.0)),
    ("w7-taper1", "constant", 7, dict(n_perm=63, taper_ratio=1.0)),
    ("w8-b5", "offset", 8, dict(n_perm=80, b=5)),
    ("w9-var", "levels", 9, dict(n_perm=50, change_type="var")),
    ("w10", "levels", 10, dict()),
    ("w10-nperm0", "heavy", 10, dict(n_perm=0)),
    ("w11-alpha", "ar1", 11, dict(n_perm=70, alpha_q=0.05)),
    ("w12-ties", "ties", 12, dict(n_perm=64)),
    ("w13-nocenter", "levels", 13, dict(n_perm=63, center=False)),
    ("w14-const", "constant", 14, dict(n_perm=300)),
    ("w15-offset", "offset", 15, dict(n_perm=120, change_type="distribution")),
    ("w16", "heavy", 16, dict(n_perm=64, b=16)),
    ("w17", "ar1", 17, dict(n_perm=65, taper_ratio=1.0)),
    ("w18", "ties", 18, dict(n_perm=40, seed=7)),
    ("w19", "levels", 19, dict(n_perm=64, taper_ratio=0.0, center=False)),
    ("w20", "levels", 20, dict(n_perm=300, seed=2**64 - 1)),
    ("w21", "constant", 21, dict(n_perm=30, change_type="var")),
    ("w23", "heavy", 23, dict(n_perm=64)),
    ("w24", "offset", 24, dict(n_perm=20, b=3)),
    ("w25", "ar1", 25, dict(n_perm=64, b=50)),
    ("w27", "ties", 27, dict(n_perm=63, taper_ratio=1.0)),
    ("w29", "levels", 29, dict(n_perm=64, change_type="distribution")),
    ("w31", "heavy", 31, dict(n_perm=20)),
    ("w32", "levels", 32, dict(n_perm=100)),
    ("w33", "ar1", 33, dict(n_perm=64, center=False)),
    ("w37", "constant", 37, dict(n_perm=20, taper_ratio=0.0)),
    ("w40", "ties", 40, dict(n_perm=64)),
    ("w47", "offset", 47, dict(n_perm=20)),
    ("w50", "levels", 50, dict(n_perm=64, change_type="var")),
    ("w55", "heavy", 55, dict(n_perm=20, b=11)),
    ("w63", "ar1", 63, dict(n_perm=64)),
    ("w64", "levels", 64, dict(n_perm=63, taper_ratio=1.0)),
    ("w65", "ties", 65, dict(n_perm=64)),
    ("w128", "levels", 128, dict(n_perm=20)),
]

# (name, series, keyword arguments of quarn_detector); cases that differ
# only in `workers` share a hash, since results never depend on it.
DETECTOR_CASES = [
    ("default", "levels", dict()),
    ("default-w1", "levels", dict(workers=1)),
    ("default-w3", "levels", dict(workers=3)),
    ("ar1-var", "ar1", dict(n_perm=64, change_type="var", workers=2)),
    ("heavy-dist", "heavy", dict(n_perm=63, change_type="distribution", window_sizes=[5, 8, 30])),
    ("ties-b", "ties", dict(n_perm=100, window_sizes=[2, 3, 4, 6], b=3, taper_ratio=1.0)),
    ("constant-nocenter", "constant", dict(n_perm=50, center=False, taper_ratio=0.0, tol=4)),
    ("offset-alpha", "offset", dict(n_perm=64, alpha_q=0.1, window_sizes=[12, 24, 48, 64])),
    ("nperm0", "levels", dict(n_perm=0, window_sizes=[10, 15])),
    ("nperm1", "ar1", dict(n_perm=1, window_sizes=[10, 15, 20], seed=99)),
]

SAME_AS = {"default-w1": "default", "default-w3": "default"}

EXPECTED = {
    "single-w2-b2": "1d9fedce7732daf5e66c083ce4d69faf30db5f3bd9574c037884712c8d00ba9f",
    "single-w2-b4-nocenter": "9be426e97ce6fecbe9a1a01fb5c0611304547956ecfe2556db51e465a5cdb352",
    "single-w3-b3-var": "e9b8bec84528defd3de87ade19f9c7cb204c73f46b75951305653bdb7b72489e",
    "single-w4": "e4d5ffdb0917fc5232e1e555a8085a62a362fd647eceb0133dc8032591c40b31",
    "single-w5-dist": "1b2f0b6d897ad8c151f90b40a2765e0885d8c7df49a421284425cce09b99b15d",
    "single-w6-taper0": "9f32e82bd07da0578ff8030acf2c4a44cf316d9c94afd58149ccc5c4b72c1737",
    "single-w7-taper1": "3856d99469cd072631f2b1c80c3c1c9cd71a15c5b4e231dcccee22516f97d897",
    "single-w8-b5": "32bb3a4157726b432626e01716ac0a92391f5c50ce5d7d81008d5a048fd81d9e",
    "single-w9-var": "127787a55ebea1d8d243d80446f08ce0fe58487938026d17df4751134a75f2c3",
    "single-w10": "c39fcfb8842e1037a8f1f660f54bfd1cfc484f42e13351588b4244f5d5128fa7",
    "single-w10-nperm0": "b7e71a9f3a92916293990e2a90a1acf939d083c56a299672b19da0cfdf08a375",
    "single-w11-alpha": "0d05911e2c6e6db454bb6ec007c4bd263f660bd062ffa1a52b8587cf5aeafab0",
    "single-w12-ties": "246ad7735b9c7195d790f36ad9f0302a2be101a0e5fddee7b63de9897082fb2e",
    "single-w13-nocenter": "4173e13956090678e0aac651e5234840ffffbfad9d3f063d2005beddf629157c",
    "single-w14-const": "b8e6e2b1aa1ef15b533ba039f2cf9899458bc2e465433efc827e26703cbcc81e",
    "single-w15-offset": "285d2c2b79370280f09eba1d099e1798f62863085074c81d766b6a39ff12cbf1",
    "single-w16": "bd3587e5bfea17e17ce4a51765048569254d6421bb571d4160c034d6e8380e4a",
    "single-w17": "280dbfd27fc9ae6ac24550e37fce95b6c2c557df0aedfbeef982726b866d48a3",
    "single-w18": "35f2c7f2486b3c89b2972c71a15fd0aa0ec8843b3515f2a104512d980fb85c3a",
    "single-w19": "a931ef9d47850712dda7378a463dedf94d99c1d6db5993967bde43e0de66640f",
    "single-w20": "83d9d9e54fdc8c015f00f17d313825daff7fe679a24e7c6e12f1db6d60d2f7dc",
    "single-w21": "b3e266a13e08258a0657145dbd28dda4f0142c682826d2c51a5bce4d7c11efd4",
    "single-w23": "45f4d9b3ef23136cc34a947dbe7ab47b5e58896d397f65cec25e8aa6a17221eb",
    "single-w24": "8856c458904fd0a79669985e7fda79659afaba4dd466e4aa8985c3886406fded",
    "single-w25": "0c92db4a5211551688256e4533cc963057fbf282472295d898abfd89e59ec09f",
    "single-w27": "ee2db99f17f572bd595ac1300a2b60bc9b7c03ec2e05f86d08cd343bbca00457",
    "single-w29": "014da2270a6f7ec9a06670869acd443f3f4140adb4cd0c91268c03d8c48a678b",
    "single-w31": "36ec0f584d5cfc56ec4c7cd0d7c16c4be35ba35580cce89906e09fc5b698499c",
    "single-w32": "7512bc4dd0240a5c4c718ce2a763ab8374e681f0d50d8f0a51aa66838fc2eeb9",
    "single-w33": "905e7a3e3cbe266a25c4417d4f29d9f34e57acf0b8934a7637563fd185a447e0",
    "single-w37": "d67e14f5f6faba01e5134810f585eb265130555cb1a4d0bd7369b8600e8bd8e0",
    "single-w40": "928ab857f0d254213399e9d9075933e4011593b8918fe4bf9c4ef655105e99d6",
    "single-w47": "fc1557450715a6fee1b614fa42d83278dd49c3c1a2dcccfdccad237dd2f1d816",
    "single-w50": "da1364cef7f3282b02218238b724af4decc752f6fcc7cc634f3ec9f6ab7fb81a",
    "single-w55": "2b578e238caec5455e959a52174c7543a00a0b2b4108055cd5ebab0d9bc3d0f0",
    "single-w63": "02d96a4c03435b28bf1eb49cd81ebea1f00625a0cb5cc7474c1484e683c24614",
    "single-w64": "76dabf9b74087dfea49cb586e91a80fbc26600f8f33cfece4708047164b1947d",
    "single-w65": "be38be186b73615e637c4752f5f1f4d70e147299bfa35b489c0bd51ce1e7b734",
    "single-w128": "48022279d7eb39c5d623acb5daf49dfa74295abdee4a18a20e651ca51be35850",
    "detector-default": "941e69db07f8546b5addd70ad2436e66ae38cc530bf2470216551036dc08d1ad",
    "detector-ar1-var": "3282ca6a9367dfa83c4fb64c38bfae185826d08810ffdda4c2c6298fafa84436",
    "detector-heavy-dist": "d6f664a6d3d2b76209e81ab7bea9ca42dfb2fffdca32dd756bb5292c7405ba5c",
    "detector-ties-b": "f2703c4d5f5b85f0ab5b3ad9dc519335217b415cd4fcb399bc7a19b300b44835",
    "detector-constant-nocenter": "3e65f312871d2688b7ce13c53f24469c126b25f2ef59a1d47c951b610ab4782e",
    "detector-offset-alpha": "1cb8358d44749aee7ddca6262a25661af12267336f85242fad27bdf7b7543d10",
    "detector-nperm0": "bb4cdfe40164be535707413e1b06eb6ee04fb88a2646ad761da87343a7e4c2fb",
    "detector-nperm1": "7e96b5611ce3485ff4039944ece80ace1c892da027d685eb99b1f7c8c5917230",
}


def digest(result):
    """sha256 of the bit image of a result (types, key order, float bits)."""
    return hashlib.sha256(repr(bits(result)).encode()).hexdigest()


def single_window_digest(series, window_size, options):
    return digest(native.quarn_single_window(SERIES[series], window_size, **options))


def detector_digest(series, options):
    return digest(native.quarn_detector(SERIES[series], **options))


@pytest.mark.parametrize("name, series, window_size, options", SINGLE_WINDOW_CASES,
                         ids=[case[0] for case in SINGLE_WINDOW_CASES])
def test_single_window_golden(name, series, window_size, options):
    assert single_window_digest(series, window_size, options) == EXPECTED["single-" + name]


@pytest.mark.parametrize("name, series, options", DETECTOR_CASES,
                         ids=[case[0] for case in DETECTOR_CASES])
def test_detector_golden(name, series, options):
    expected = EXPECTED["detector-" + SAME_AS.get(name, name)]
    assert detector_digest(series, options) == expected


def engine_digests():
    """The hash of every case as the engine computes it (the native method,
    unscaled; one window size for a single-window case), by its key in
    EXPECTED."""
    import numpy

    from helpers import detection_as_native, native_run, window_as_native

    found = {}
    for name, series, window_size, options in SINGLE_WINDOW_CASES:
        values = numpy.asarray(SERIES[series])
        (window,) = native_run(values, window_sizes=[window_size], **options)["windows"]
        found["single-" + name] = digest(window_as_native(window))
    for name, series, options in DETECTOR_CASES:
        detection = native_run(numpy.asarray(SERIES[series]), **options)
        found["detector-" + SAME_AS.get(name, name)] = digest(detection_as_native(detection))
    return found


def test_the_engine_gives_the_golden_results():
    pytest.importorskip("numpy")
    found = engine_digests()
    assert found == {key: EXPECTED[key] for key in found}


def test_the_portable_kernels_give_the_golden_results():
    # QUARN_KERNELS=portable, read by the engine at import, runs the
    # portable kernels in place of the fastest ones this processor has.
    pytest.importorskip("numpy")
    import json
    import os
    import subprocess
    import sys

    script = (
        "import json, test_golden\nfrom quarn import _engine\n"
        "print(json.dumps([_engine.kernel_path, test_golden.engine_digests()]))\n"
    )
    environment = dict(os.environ, QUARN_KERNELS="portable",
                       PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    child = subprocess.run([sys.executable, "-W", "error::RuntimeWarning", "-c", script],
                           capture_output=True, text=True, env=environment, timeout=600)
    assert child.returncode == 0, child.stderr[-2000:]
    path, found = json.loads(child.stdout)
    assert path == "portable"
    assert found == {key: EXPECTED[key] for key in found}


def test_an_unknown_kernel_choice_is_named_and_the_fastest_kernels_run():
    import os
    import subprocess
    import sys

    environment = dict(os.environ, QUARN_KERNELS="fastest")
    child = subprocess.run(
        [sys.executable, "-c", "from quarn import _engine; print(_engine.kernel_path)"],
        capture_output=True, text=True, env=environment, timeout=120)
    assert child.returncode == 0, child.stderr[-2000:]
    assert "RuntimeWarning: QUARN_KERNELS=fastest is not known" in child.stderr
    from quarn import _engine

    assert child.stdout.strip() == _engine.kernel_path


def test_cases_detect_something():
    """The golden cases exercise regions and fresh thresholds, not only a
    sweep that never fires."""
    result = native.quarn_detector(SERIES["levels"])
    assert len(result["out"]["cdf"]) >= 5
    for name, series, window_size, options in SINGLE_WINDOW_CASES:
        if name in ("w10", "w20", "w12-ties"):
            result = native.quarn_single_window(SERIES[series], window_size, **options)
            thresholds = set(map(repr, result["tapered_block_bootstrap_threshold"]))
            assert len(result["localized_regions"]) >= 3 and len(thresholds) >= 3, name


if __name__ == "__main__":
    for name, series, window_size, options in SINGLE_WINDOW_CASES:
        print(f'    "single-{name}": "{single_window_digest(series, window_size, options)}",')
    for name, series, options in DETECTOR_CASES:
        if name not in SAME_AS:
            print(f'    "detector-{name}": "{detector_digest(series, options)}",')
