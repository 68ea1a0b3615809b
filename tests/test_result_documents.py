"""DetectionResult.from_json on the documents to_json writes today and
wrote before, and on damaged or forged ones: those raise ValueError naming
what is wrong, never another exception, and nothing is read that
quarn.detect could not have produced."""

import copy
import json
from pathlib import Path

import numpy as np
import pytest

import quarn

pd = pytest.importorskip("pandas")

DATA = Path(__file__).parent / "data"
# Written by to_json (native and confirm), and a native document as to_json
# wrote it before the confirm method existed: options without "method".
NATIVE = (DATA / "result_native.json").read_text()
CONFIRM = (DATA / "result_confirm.json").read_text()
BEFORE_METHODS = (DATA / "result_before_methods.json").read_text()


@pytest.mark.parametrize("text", [NATIVE, CONFIRM], ids=["native", "confirm"])
def test_documents_read_back_to_the_same_result(text):
    read = quarn.DetectionResult.from_json(text)
    written = read.to_json()
    assert quarn.DetectionResult.from_json(written) == read
    assert quarn.DetectionResult.from_json(written).to_json() == written
    # Written again in the current version, with what reading filled in: the
    # fixtures were written before results recorded the seasonal period (now
    # unknown), before missing values were skipped (none missing, the
    # option's default), before the location intervals (the confidence
    # option at its default, no intervals) and before the segments (computed
    # from the values).
    again, old = json.loads(written), json.loads(text)
    assert (old["version"], again["version"]) == (1, 2)
    assert again["seasonal_period"] is None and again["n_missing"] == 0
    assert again["options"].pop("missing") == "skip"
    method = again["options"]["method"]
    assert again["options"].pop("confidence") == (0.9 if method == "confirm" else None)
    assert again["options"] == old["options"] and again["values"] == old["values"]
    leaders = [int(p) for p in old["result"]["out"]["leaders_segment_votes"]]
    assert again["change_points"]["position"] == leaders
    assert again["change_points"]["interval_low"] == [None] * len(leaders)
    ends = [0, *leaders, again["n_samples"]]
    assert again["segments"]["starts"] == ends[:-1]
    assert again["segments"]["stops"] == ends[1:]


def test_documents_from_before_the_confirm_method_are_native_results():
    old = quarn.DetectionResult.from_json(BEFORE_METHODS)
    assert old.method == "native"
    assert old == quarn.DetectionResult.from_json(NATIVE)
    assert old.options["n_perm"] == 300 and old.options["window_sizes"] == tuple(range(10, 21))
    assert old.positions == (38, 51, 60, 92, 97, 116)


def _changed(text, change):
    document = json.loads(text) if isinstance(text, str) else copy.deepcopy(text)
    change(document)
    return json.dumps(document)


def _set(path, value):
    def change(document):
        target = document
        for key in path[:-1]:
            target = target[key]
        target[path[-1]] = value

    return change


def _rename_window(old, new):
    def change(document):
        for part in ("cp_dict", "window_results"):
            found = document["result"][part]
            found[new] = found.pop(old)

    return change


def _move_leader(old, new):
    def change(document):
        out = document["result"]["out"]
        for key in ("leaders_segment_votes", "leaders_scores", "leaders_probs"):
            out[key][new] = out[key].pop(old)
        out["cdf"] = [[int(new) if p == int(old) else p, v] for p, v in out["cdf"]]

    return change


FIRST_LEADER = "38"
FORGED = [
    ("nested", "[" * 100000 + "]" * 100000, "nested too deeply"),
    ("NaN literal", NATIVE.replace('"values": [', '"values": [NaN, ', 1), "NaN is not a JSON number"),
    ("version true", _changed(NATIVE, _set(["version"], True)), "unsupported .* version True"),
    ("n_samples true", _changed(NATIVE, _set(["n_samples"], True)), "n_samples must be an integer"),
    ("n_samples huge", _changed(NATIVE, _set(["n_samples"], 10**30)), "n_samples must be an integer"),
    ("options list", _changed(NATIVE, _set(["options"], [])), "options must be an object"),
    ("options unknown", _changed(NATIVE, _set(["options", "speed"], 1)), "options: unknown option"),
    ("result list", _changed(NATIVE, _set(["result"], [])), "result must be an object"),
    ("windows list", _changed(NATIVE, _set(["result", "window_results"], [])),
     "window_results must be an object"),
    ("out list", _changed(NATIVE, _set(["result", "out"], [])), "out must be an object"),
    ("values 2-D", _changed(NATIVE, lambda d: d.__setitem__("values", [[v] for v in d["values"]])),
     r"values\[0\] must be a number"),
    ("values null", _changed(NATIVE, lambda d: d["values"].__setitem__(3, None)),
     r"values\[3\] must be a number"),
    ("values huge int", _changed(NATIVE, lambda d: d["values"].__setitem__(3, 10**400)),
     r"values\[3\] is too large"),
    ("values text", _changed(NATIVE, lambda d: d["values"].__setitem__(3, "1.5")),
     r"values\[3\] must be a number"),
    ("values short", _changed(NATIVE, lambda d: d["values"].pop()), "n_samples = 120"),
    ("window 0", _changed(NATIVE, _rename_window("10", "0")), "window_results key must be"),
    ("window -3", _changed(NATIVE, _rename_window("10", "-3")), "not a decimal integer"),
    ("window 10^18", _changed(NATIVE, _rename_window("10", str(10**18))), "not those of the options"),
    ("window 010", _changed(NATIVE, _rename_window("10", "010")), "not a decimal integer"),
    ("window missing", _changed(NATIVE, lambda d: d["result"]["window_results"].pop("12")),
     "not those of the options"),
    ("leader 10^6", _changed(NATIVE, _move_leader(FIRST_LEADER, str(10**6))), "leaders key must be"),
    ("leader -1", _changed(NATIVE, _move_leader(FIRST_LEADER, "-1")), "not a decimal integer"),
    ("leader 0", _changed(NATIVE, _move_leader(FIRST_LEADER, "0")), "leaders key must be"),
    ("leader huge", _changed(NATIVE, _move_leader(FIRST_LEADER, "9" * 400)), "not a decimal integer"),
    ("cdf elsewhere", _changed(NATIVE, lambda d: d["result"]["out"]["cdf"][0].__setitem__(0, 39)),
     r"cdf\[0\] is not at leader 38"),
    ("votes 0", _changed(NATIVE, _set(["result", "out", "leaders_segment_votes", FIRST_LEADER], 0)),
     "votes of 38 must be"),
    ("probability 2", _changed(NATIVE, _set(["result", "out", "leaders_probs", FIRST_LEADER], 2.0)),
     "probability of 38"),
    ("change point huge",
     _changed(NATIVE, lambda d: d["result"]["window_results"]["10"]["change_points"].__setitem__(
         0, 10**400)), r"window 10 change_points\[0\] must be an integer"),
    ("change point past the end",
     _changed(NATIVE, lambda d: d["result"]["window_results"]["10"]["change_points"].__setitem__(
         0, 120)), r"window 10 change_points\[0\] must be an integer from 1 to 119"),
    ("statistics short",
     _changed(NATIVE, lambda d: d["result"]["window_results"]["10"]["statistics"].pop()),
     "window 10 statistics must hold 11 entries"),
    ("statistic negative",
     _changed(NATIVE, lambda d: d["result"]["window_results"]["10"]["statistics"].__setitem__(
         0, -1.0)), "window 10 statistics must not be negative"),
    ("starts shifted",
     _changed(NATIVE, lambda d: d["result"]["window_results"]["10"]["starts"].__setitem__(0, -10)),
     "window 10 starts must be"),
    ("region reversed",
     _changed(NATIVE, _set(["result", "window_results", "10", "localized_regions"], [[50, 40]])),
     "empty or reversed"),
    ("cp_dict differs", _changed(NATIVE, _set(["result", "cp_dict", "10"], [])),
     "cp_dict 10 differs"),
    ("method swapped", _changed(NATIVE, _set(["options", "method"], "confirm")),
     "does not apply to method='confirm'"),
    ("changes on native", _changed(NATIVE, _set(["changes"], {"kinds": [], "p_values": []})),
     "changes belong to results of the confirm method"),
    ("changes missing", _changed(CONFIRM, lambda d: d.pop("changes")), "needs its changes"),
    ("kind unknown", _changed(CONFIRM, lambda d: d["changes"]["kinds"].__setitem__(0, "jump")),
     r"kinds\[0\] must be one of"),
    ("p-value 2", _changed(CONFIRM, lambda d: d["changes"]["p_values"].__setitem__(0, 2.0)),
     r"p_values\[0\] must lie in \[0, 1\]"),
    ("period 1", _changed(CONFIRM, _set(["changes", "seasonal_period"], 1.0)),
     r"seasonal_period must lie in \[2, n_samples"),
    ("period text", _changed(CONFIRM, _set(["changes", "seasonal_period"], "24")),
     "seasonal_period"),
    ("index huge start", _changed(NATIVE, _set(["index"], {
        "kind": "range", "name": None, "start": 10**400, "stop": 10**400 + 120, "step": 1})),
     "index start must be an integer"),
    ("index step 0", _changed(NATIVE, _set(["index"], {
        "kind": "range", "name": None, "start": 0, "stop": 120, "step": 0})), "index step"),
    ("index too short", _changed(NATIVE, _set(["index"], {
        "kind": "range", "name": None, "start": 0, "stop": 12, "step": 1})), "n_samples = 120"),
    ("index unit", _changed(NATIVE, _set(["index"], {
        "kind": "datetime", "name": None, "unit": "fortnight", "tz": None,
        "values": list(range(120))})), "index unit"),
    ("index zone", _changed(NATIVE, _set(["index"], {
        "kind": "datetime", "name": None, "unit": "s", "tz": "Mars/Olympus",
        "values": list(range(120))})), "index: "),
    ("index kind", _changed(NATIVE, _set(["index"], {"kind": "tree", "name": None})),
     "unknown index kind"),
    ("index name list", _changed(NATIVE, _set(["index"], {
        "kind": "range", "name": [1], "start": 0, "stop": 120, "step": 1})), "index name"),
]


@pytest.mark.parametrize("text, message", [f[1:] for f in FORGED], ids=[f[0] for f in FORGED])
def test_damaged_and_forged_documents_raise_value_error_naming_the_fault(text, message):
    with pytest.raises(ValueError, match=message):
        quarn.DetectionResult.from_json(text)
