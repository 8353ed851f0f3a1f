"""Golden cases: seeded single-threaded training must reproduce these model texts and
predictions bit for bit. Regenerate a case's expected block only after a deliberate change of
results, with QUORVELIN_REGENERATE_GOLDEN=1 (then review the diff)."""

import glob
import json
import os

import pytest

import quorvelin
from quorvelin_tools.modelfile import split_model_text

HERE = os.path.dirname(os.path.abspath(__file__))
CASES = sorted(glob.glob(os.path.join(HERE, "..", "data", "golden", "*.json")))
REGENERATE = os.environ.get("QUORVELIN_REGENERATE_GOLDEN") == "1"


def split_model(text):
    """Configuration, bin sections (in any order), tree sections."""
    sections = split_model_text(text, strict=False)
    # Every fitted feature has its bin section, categorical ones included.
    assert len(sections.bins) == len(json.loads(sections.config)["feature_cols"]) or not sections.trees
    return sections.config, sorted(sections.bins), sections.trees


def run(case, path):
    out = {"stops_at": None, "message": None, "model": None, "predictions": None, "predictions_after_load": None}
    stage = "construct"
    model = None
    try:
        model = quorvelin.CausalModel(case["name"], case["conf"])
        stage = "fit"
        model.fit(case["train"]["headers"], case["train"]["rows"])
        stage = "predict"
        out["predictions"] = model.predict(case["test"]["headers"], case["test"]["rows"])
        stage = "save"
        model.save(path)
        with open(path, encoding="utf-8", newline="") as fh:
            out["model"] = fh.read()
        stage = "load"
        loaded = model.load(case["name"], path)
        stage = "predict-loaded"
        out["predictions_after_load"] = loaded.predict(case["test"]["headers"], case["test"]["rows"])
    except (KeyboardInterrupt, SystemExit):
        raise
    except BaseException as exc:  # noqa: B036 - stops are BaseException by design
        out["stops_at"], out["message"] = stage, str(exc)
        if stage == "predict":  # a model that stops at predict still has a text to compare
            model.save(path)
            with open(path, encoding="utf-8", newline="") as fh:
                out["model"] = fh.read()
    return out


@pytest.mark.parametrize("case_path", CASES, ids=[os.path.basename(p)[:-5] for p in CASES])
def test_case_reproduces_exactly(case_path, tmp_path):
    with open(case_path, encoding="utf-8") as fh:
        case = json.load(fh)
    got = run(case, str(tmp_path / "model.txt"))
    want = case["expected"]
    if REGENERATE:
        want.update({k: got[k] for k in ("stops_at", "message", "model", "predictions", "predictions_after_load")})
        with open(case_path, "w", encoding="utf-8") as fh:
            json.dump(case, fh)
        pytest.skip("regenerated")
    assert got["stops_at"] == want["stops_at"], got["message"]
    if want["stops_at"] and want.get("message_is_fixed"):
        assert got["message"] == want["message"]
    if want["model"] is not None:
        assert split_model(got["model"]) == split_model(want["model"])
    for key in ("predictions", "predictions_after_load"):
        if want[key] is not None:
            # repr distinguishes -0.0 from 0.0 and compares NaN with NaN
            assert [[repr(float(x)) for x in row] for row in got[key]] == [
                [repr(float(x)) for x in row] for row in want[key]
            ]
