import inspect
import json
import math
import signal
import struct

import pytest

import quorvelin
from quorvelin_tools.modelfile import split_model_text
from conftest import HEADERS, TRAIN_CONF, make_rows

CausalModel = quorvelin.CausalModel
NAMES = ["RandomForestClassifier", "RandomForestRegressor"]


def f32(x):
    return struct.unpack("f", struct.pack("f", x))[0]


class FloatLike:
    def __init__(self, value, hook=None):
        self.value = value
        self.hook = hook

    def __float__(self):
        if self.hook is not None:
            self.hook()
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Seq:
    """A sequence that is neither a list nor a tuple, optionally running code on item access."""

    def __init__(self, items, hook=None):
        self.items = list(items)
        self.hook = hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.hook is not None and i == 0:
            self.hook()
        return self.items[i]


# ---------------------------------------------------------------------------------------------
# Module surface


def test_module_exports_the_class_and_its_error():
    # Private helpers (underscore names) may be added; the public surface is the class and its error.
    assert [n for n in dir(quorvelin) if not n.startswith("_")] == ["CausalModel", "ModelError"]
    assert quorvelin.__doc__ == ""


def test_class_surface():
    assert CausalModel.__name__ == "CausalModel"
    assert CausalModel.__module__ == "quorvelin"
    assert CausalModel.__text_signature__ == "(name, conf)"
    assert str(inspect.signature(CausalModel)) == "(name, conf)"
    assert [n for n in dir(CausalModel) if not n.startswith("__")] == ["fit", "load", "predict", "save"]


@pytest.mark.parametrize(
    "method, text_signature, bound",
    [
        ("load", "($self, name, path)", "(name, path)"),
        ("save", "($self, path)", "(path)"),
        ("fit", "($self, headers, arr)", "(headers, arr)"),
        ("predict", "($self, headers, arr)", "(headers, arr)"),
    ],
)
def test_method_signatures(method, text_signature, bound):
    unbound = getattr(CausalModel, method)
    assert unbound.__text_signature__ == text_signature
    assert not unbound.__doc__  # nothing after the signature
    model = CausalModel("RandomForestClassifier", {})
    assert str(inspect.signature(getattr(model, method))) == bound


def test_instances_take_no_attributes():
    model = CausalModel("RandomForestClassifier", {})
    with pytest.raises(AttributeError):
        model.extra = 1


# ---------------------------------------------------------------------------------------------
# Construction


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("conf", [{}, TRAIN_CONF, type("Sub", (dict,), {})(TRAIN_CONF)])
def test_construct(name, conf):
    assert type(CausalModel(name, conf)) is CausalModel
    assert type(CausalModel(name=name, conf=conf)) is CausalModel


@pytest.mark.parametrize(
    "name",
    ["randomforestclassifier", "RandomForestregressor", "RandomForest", "", "RandomForestClassifier ", "Ünïcode"],
)
def test_unknown_model_name(name, model_error):
    with pytest.raises(model_error) as info:
        CausalModel(name, {})
    assert str(info.value) == f"model name {name} not found"


@pytest.mark.parametrize("name", ["RandomForestRegressor", "NotAModel"])
@pytest.mark.parametrize("conf, type_name", [([], "list"), (1, "int"), (None, "NoneType"), ("{}", "str")])
def test_conf_must_be_dict_checked_before_name(name, conf, type_name):
    with pytest.raises(TypeError) as info:
        CausalModel(name, conf)
    assert str(info.value) == f"argument 'conf': '{type_name}' object cannot be converted to 'PyDict'"


@pytest.mark.parametrize("name", [1, None, b"RandomForestClassifier"])
@pytest.mark.parametrize("conf", [{}, 1])
def test_name_must_be_str_checked_first(name, conf):
    with pytest.raises(TypeError, match=r"^argument 'name': "):
        CausalModel(name, conf)


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((), {}, "CausalModel() missing required argument 'name' (pos 1)"),
        (("RandomForestClassifier",), {}, "CausalModel() missing required argument 'conf' (pos 2)"),
        (("RandomForestClassifier", {}, 1), {}, "CausalModel() takes at most 2 arguments (3 given)"),
        (("RandomForestClassifier", {}), {"name": "x"}, "CausalModel() takes at most 2 arguments (3 given)"),
        ((), {"name": "x", "conf": {}, "other": 1}, "CausalModel() takes at most 2 keyword arguments (3 given)"),
        (("RandomForestClassifier",), {"cnf": {}}, "CausalModel() missing required argument 'conf' (pos 2)"),
        ((), {"conf": 1}, "CausalModel() missing required argument 'name' (pos 1)"),
    ],
)
def test_constructor_argument_count(args, kwargs, message):
    # CPython's own parser words these; only the kind of error and the culprit are ours to pin.
    with pytest.raises(TypeError, match=r"^CausalModel\(\) ") as info:
        CausalModel(*args, **kwargs)
    assert message.split("argument")[-1].split("(")[0].strip() in str(info.value)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("n_bin, ok", [(254, True), (255, False), (1000, False), (2**64 - 1, False), (255.0, True)])
def test_n_bin_limit(name, n_bin, ok, model_error):
    if ok:  # 255.0 is not an integer, so the default applies
        CausalModel(name, {"n_bin": n_bin})
        return
    with pytest.raises(model_error) as info:
        CausalModel(name, {"n_bin": n_bin})
    assert str(info.value) == f"n_bin {n_bin} exceeds max 255"


# ---------------------------------------------------------------------------------------------
# Reading conf. The configuration is only visible through the saved model, whose first section
# is the configuration record.

DEFAULTS = {
    "index_cols": [],
    "feature_cols": [],
    "cat_cols": [],
    "treatment_cols": [],
    "y_col": "",
    "weight_col": "",
    "n_bin": 30,
    "min_samples_leaf": 100,
    "min_samples_treatment": 10,
    "n_reg": 10,
    "alpha": f32(0.9),
    "normalization": True,
    "max_features": 10,
    "max_depth": 6,
    "n_tree": 100,
    "subsample": 1.0,
    "n_thread": 1,
    "seed": None,
}


def saved_config(conf, tmp_path):
    path = tmp_path / "model.txt"
    CausalModel("RandomForestClassifier", conf).save(str(path))
    record = json.loads(split_model_text(path.read_text(encoding="utf-8"), strict=False).config)
    for key in ("alpha", "subsample"):
        record[key] = f32(record[key])
    return record


class BadIndex:
    def __index__(self):
        raise ValueError("no")


class BadIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise KeyError(i)


def test_empty_conf_gives_defaults(tmp_path):
    assert saved_config({}, tmp_path) == DEFAULTS


def _numpy_bool(value):
    np = pytest.importorskip("numpy")
    return np.bool_(value)


@pytest.mark.parametrize(
    "key, value, field, expected",
    [
        ("index", ["id"], "index_cols", ["id"]),
        ("feature", ["a", "b"], "feature_cols", ["a", "b"]),
        ("feature", ("a", "b"), "feature_cols", ["a", "b"]),
        ("feature", Seq(["x"]), "feature_cols", ["x"]),
        ("feature", "ab", "feature_cols", []),
        ("feature", ["a", 1], "feature_cols", []),
        ("feature", {"a": 1}, "feature_cols", []),
        ("feature", BadIter(), "feature_cols", []),
        ("cat", ["c"], "cat_cols", ["c"]),
        ("treatment", ["t1", "t2"], "treatment_cols", ["t1", "t2"]),
        ("y", "out", "y_col", "out"),
        ("y", 5, "y_col", ""),
        ("y_col", "out", "y_col", ""),
        ("weight", "w", "weight_col", "w"),
        ("n_bin", 254, "n_bin", 254),
        ("min_samples_leaf", 0, "min_samples_leaf", 0),
        ("min_samples_treatment", 3, "min_samples_treatment", 3),
        ("n_reg", 0, "n_reg", 0),
        ("n_tree", 10.0, "n_tree", 100),
        ("n_tree", True, "n_tree", 1),
        ("n_tree", IndexLike(7), "n_tree", 7),
        ("n_tree", BadIndex(), "n_tree", 100),
        ("n_tree", -1, "n_tree", 100),
        ("n_tree", 2**64, "n_tree", 100),
        ("n_tree", 2**64 - 1, "n_tree", 2**64 - 1),
        ("n_tree", "5", "n_tree", 100),
        ("max_features", 2, "max_features", 2),
        ("max_depth", 0, "max_depth", 0),
        ("n_thread", 4, "n_thread", 4),
        ("alpha", 1, "alpha", 1.0),
        ("alpha", 0.1, "alpha", f32(0.1)),
        ("alpha", FloatLike(0.25), "alpha", 0.25),
        ("alpha", "0.5", "alpha", f32(0.9)),
        ("alpha", None, "alpha", f32(0.9)),
        ("subsample", 0.5, "subsample", 0.5),
        ("normalization", False, "normalization", False),
        ("normalization", True, "normalization", True),
        ("normalization", 0, "normalization", True),
        ("normalization", None, "normalization", True),
        ("normalization", "no", "normalization", True),
        ("normalization", "numpy:False", "normalization", False),
        ("normalization", "numpy:True", "normalization", True),
        ("seed", 0, "seed", 0),
        ("seed", 42, "seed", 42),
        ("seed", -1, "seed", None),
        ("seed", 2**64 - 1, "seed", None),
        ("seed", 2**64 - 2, "seed", 2**64 - 2),
        ("seed", 1.0, "seed", None),
        ("Seed", 5, "seed", None),
    ],
)
def test_conf_values(key, value, field, expected, tmp_path):
    if isinstance(value, str) and value.startswith("numpy:"):
        value = _numpy_bool(value == "numpy:True")
    record = saved_config({key: value}, tmp_path)
    assert record == {**DEFAULTS, field: expected}


# ---------------------------------------------------------------------------------------------
# Method arguments


@pytest.mark.parametrize(
    "method, args, kwargs, message",
    [
        ("fit", (), {}, "fit() missing required argument 'headers' (pos 1)"),
        ("fit", (["a"],), {}, "fit() missing required argument 'arr' (pos 2)"),
        ("fit", ([], [], []), {}, "fit() takes at most 2 arguments (3 given)"),
        ("fit", ([],), {"headers": []}, "fit() missing required argument 'arr' (pos 2)"),
        ("fit", ([], []), {"arr": []}, "fit() takes at most 2 arguments (3 given)"),
        ("fit", (), {"headers": [], "arr": [], "x": 1}, "fit() takes at most 2 keyword arguments (3 given)"),
        ("predict", (), {"arr": []}, "predict() missing required argument 'headers' (pos 1)"),
        ("predict", ([], [], 1), {}, "predict() takes at most 2 arguments (3 given)"),
        ("save", (), {}, "save() missing required argument 'path' (pos 1)"),
        ("save", ("a", "b"), {}, "save() takes at most 1 argument (2 given)"),
        ("save", (), {"paths": "a"}, "save() missing required argument 'path' (pos 1)"),
        ("load", ("RandomForestClassifier",), {}, "load() missing required argument 'path' (pos 2)"),
        ("load", ("a", "b", "c"), {}, "load() takes at most 2 arguments (3 given)"),
    ],
)
def test_method_argument_count(method, args, kwargs, message, trained):
    with pytest.raises(TypeError) as info:
        getattr(trained, method)(*args, **kwargs)
    assert str(info.value) == message


def test_keyword_arguments(new_model, rows, tmp_path):
    model = new_model()
    model.fit(arr=rows, headers=HEADERS)
    assert model.predict(arr=rows[:3], headers=HEADERS) == model.predict(HEADERS, rows[:3])


@pytest.mark.parametrize("method", ["fit", "predict"])
@pytest.mark.parametrize(
    "headers, arr, message",
    [
        ("abc", [], "argument 'headers': Can't extract `str` to `Vec`"),
        (5, [], "argument 'headers': 'int' object cannot be converted to 'Sequence'"),
        ({"a": 1}, [], "argument 'headers': 'dict' object cannot be converted to 'Sequence'"),
        (None, [], "argument 'headers': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a", 1], [], "argument 'headers': 'int' object cannot be converted to 'PyString'"),
        (["a", b"b"], [], "argument 'headers': 'bytes' object cannot be converted to 'PyString'"),
        (["a"], "abc", "argument 'arr': Can't extract `str` to `Vec`"),
        (["a"], 1.5, "argument 'arr': 'float' object cannot be converted to 'Sequence'"),
        (["a"], ["abc"], "argument 'arr': Can't extract `str` to `Vec`"),
        (["a"], [[1.0], "abc"], "argument 'arr': Can't extract `str` to `Vec`"),
        (["a"], [1.0], "argument 'arr': 'float' object cannot be converted to 'Sequence'"),
        (["a"], [None], "argument 'arr': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a"], [["1.0"]], "argument 'arr': must be real number, not str"),
        (["a"], [(1.0, object())], "argument 'arr': must be real number, not object"),
        (["a"], [[[1.0]]], "argument 'arr': must be real number, not list"),
    ],
)
def test_table_type_errors(method, headers, arr, message, new_model):
    model = new_model()
    with pytest.raises(TypeError) as info:
        getattr(model, method)(headers, arr)
    assert str(info.value) == message


def test_headers_are_converted_before_arr(new_model):
    with pytest.raises(TypeError, match="^argument 'headers'"):
        new_model().fit("ab", "cd")


@pytest.mark.parametrize("method, args", [("save", (1,)), ("load", (1, "p")), ("load", ("RandomForestClassifier", 1))])
def test_name_and_path_must_be_str(method, args, trained):
    arg = "name" if method == "load" and args[0] == 1 else "path"
    with pytest.raises(TypeError, match=rf"^argument '{arg}': 'int' object"):
        getattr(trained, method)(*args)


def test_python_errors_from_items_are_kept(new_model):
    class Boom:
        def __float__(self):
            raise ValueError("boom")

    model = new_model()
    with pytest.raises(ValueError, match="^boom$"):
        model.fit(["a"], [[Boom()]])
    with pytest.raises(OverflowError):
        model.fit(["a"], [[10**400]])

    class Wrong:
        def __float__(self):
            return "1.0"

    with pytest.raises(TypeError, match=r"^argument 'arr': .*__float__ returned non-float"):
        model.fit(["a"], [[Wrong()]])


# ---------------------------------------------------------------------------------------------
# Stops


def test_model_error_type():
    error = quorvelin.ModelError
    assert error.__name__ == "ModelError"
    assert error.__module__ == "quorvelin"
    assert issubclass(error, Exception)
    with pytest.raises(Exception) as info:
        CausalModel("nope", {})
    assert type(info.value) is error


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: CausalModel("Random\0Forest", {}), "model name Random\0Forest not found"),
        (lambda: CausalModel("RandomForestClassifier", {}).load("RandomForestClassifier", "/tmp/a\0b"),
         "cannot read model file '/tmp/a\0b': Invalid argument"),
        (lambda: CausalModel("RandomForestClassifier", {"feature": ["x\0y"]}).fit(["x"], [[1.0]]),
         "x\0y"),
    ],
    ids=["name", "path", "column"],
)
def test_stop_message_keeps_nul_characters(capfd, call, text):
    with pytest.raises(quorvelin.ModelError) as info:
        call()
    assert text in str(info.value)
    assert text in capfd.readouterr().err


def test_stop_writes_one_line_to_stderr(capfd, model_error):
    capfd.readouterr()
    with pytest.raises(model_error):
        CausalModel("Missing", {})
    err = capfd.readouterr().err
    lines = [line for line in err.splitlines() if "model name Missing not found" in line]
    assert len(lines) == 1


@pytest.mark.parametrize("name", NAMES)
def test_object_usable_after_stop(name, new_model, rows, model_error):
    model = new_model(name, feature=["a", "x"])
    with pytest.raises(model_error) as info:
        model.fit(HEADERS, rows)
    assert str(info.value) == "Column is missing: x"
    # Columns are looked up before any row is read; the next table brings the missing one.
    model.fit(["x"] + HEADERS, [[r[1]] + r for r in rows])
    result = model.predict(["a", "x"], [[0.5, 1.0]])
    assert len(result) == 1 and len(result[0]) == 1


def test_missing_versus_nan(new_model, rows, model_error):
    # None is a missing value, which the outcome column refuses; NaN is a value.
    with pytest.raises(model_error):
        new_model().fit(HEADERS, [r[:3] + [None] for r in rows])
    with_nan = [r[:3] + [math.nan] if i == 0 else r for i, r in enumerate(rows)]
    new_model().fit(HEADERS, with_nan)


def test_predict_accepts_none_and_nan_features(trained):
    result = trained.predict(["a", "b"], [[None, None], [math.nan, math.nan], [0.5, None]])
    assert len(result) == 3
    assert all(len(row) == 1 and type(row[0]) is float for row in result)


def test_rows_may_differ_in_length(trained, model_error):
    result = trained.predict(["a", "b"], [[0.1, 1.0], [0.2, 2.0, 99.0, 98.0, 97.0]])
    assert len(result) == 2
    with pytest.raises(model_error):
        trained.predict(["a", "b"], [[0.1, 1.0], [0.2]])


# ---------------------------------------------------------------------------------------------
# Values in and out


def test_item_kinds_are_equivalent(trained, rows):
    table = [r[:2] for r in rows[:20]]
    expected = trained.predict(["a", "b"], table)
    as_objects = [[FloatLike(a), IndexLike(int(b))] for a, b in table]
    as_tuples = tuple(tuple(r) for r in table)
    as_ints = [[a, int(b)] for a, b in table]
    assert trained.predict(("a", "b"), as_tuples) == expected
    assert trained.predict(Seq(["a", "b"]), Seq([Seq(r) for r in table])) == expected
    assert trained.predict(["a", "b"], as_objects) == expected
    assert trained.predict(["a", "b"], as_ints) == expected


def test_numpy_table_takes_the_generic_path(trained, rows):
    np = pytest.importorskip("numpy")
    table = [r[:2] for r in rows[:20]]
    expected = trained.predict(["a", "b"], table)
    assert trained.predict(np.array(["a", "b"]), np.array(table, dtype=np.float64)) == expected
    assert trained.predict(["a", "b"], np.array(table, dtype=np.float32)) == expected


def test_predictions_are_32_bit_floats(trained, rows):
    result = trained.predict(HEADERS, rows)
    assert type(result) is list and len(result) == len(rows)
    for row in result:
        assert type(row) is list and len(row) == 1
        assert type(row[0]) is float and row[0] == f32(row[0])


@pytest.mark.parametrize("n_tree", [1, 4])
def test_widening_of_a_32_bit_result(n_tree):
    # Every treated row has y = 0.1 and every control row y = 0, on one constant feature, so no
    # split is possible and the uplift is the treated mean minus 0. With at most 6 rows in a
    # bootstrap sample that mean is exactly the 32-bit 0.1, and so is the mean over the trees.
    conf = dict(TRAIN_CONF, feature=["a"], n_tree=n_tree)
    model = CausalModel("RandomForestRegressor", conf)
    model.fit(["a", "t", "y"], [[1.0, t, 0.1 if t else 0.0] for t in (0, 1, 0, 1, 0, 1)])
    (value,) = model.predict(["a"], [[1.0]])[0]
    assert value == f32(0.1) == 0.10000000149011612
    assert value != 0.1


def test_empty_table_predicts_nothing(trained):
    assert trained.predict(["a", "b"], []) == []


# ---------------------------------------------------------------------------------------------
# Borrow state


def _inner_calls(model, tmp_path):
    path = str(tmp_path / "inner.txt")
    model.save(path)
    return {
        "fit": (lambda: model.fit(HEADERS, make_rows(20)), "Already borrowed"),
        "predict": (lambda: model.predict(HEADERS, make_rows(5)), "Already borrowed"),
        "save": (lambda: model.save(path), "Already mutably borrowed"),
        "load": (lambda: model.load("RandomForestClassifier", path), "Already mutably borrowed"),
    }


@pytest.mark.parametrize("outer", ["fit", "predict"])
@pytest.mark.parametrize("inner", ["fit", "predict", "save", "load"])
@pytest.mark.parametrize("via", ["float", "arr_getitem", "headers_getitem"])
def test_reentry_is_refused(outer, inner, via, trained, tmp_path):
    call, message = _inner_calls(trained, tmp_path)[inner]
    seen = []

    def hook():
        try:
            call()
        except RuntimeError as exc:
            seen.append(str(exc))
        else:
            seen.append(None)

    table = [r[:] for r in make_rows(30)]
    headers = list(HEADERS)
    if via == "float":
        table[3][0] = FloatLike(table[3][0], hook)
    elif via == "arr_getitem":
        table = Seq(table, hook)
    else:
        headers = Seq(headers, hook)
    getattr(trained, outer)(headers, table)
    assert seen == [message]
    # The borrow was given back: the same call now goes through.
    call()


@pytest.mark.parametrize("outer", ["fit", "predict"])
def test_reentry_error_propagates_unchanged(outer, trained):
    def hook():
        trained.fit(HEADERS, make_rows(20))

    table = make_rows(30)
    table[0][0] = FloatLike(0.5, hook)
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        getattr(trained, outer)(HEADERS, table)
    trained.fit(HEADERS, make_rows(30))


def test_other_objects_stay_usable_during_conversion(trained, new_model):
    other = new_model()
    done = []

    def hook():
        other.fit(HEADERS, make_rows(40))
        done.append(other.predict(HEADERS, make_rows(3)))

    table = make_rows(30)
    table[0][0] = FloatLike(0.5, hook)
    trained.fit(HEADERS, table)
    assert len(done) == 1 and len(done[0]) == 3


# ---------------------------------------------------------------------------------------------
# load: the name decides before the file is touched


@pytest.mark.parametrize("name", ["RandomForest", "randomforestregressor"])
def test_load_unknown_name_before_path(name, trained, tmp_path, model_error):
    missing = tmp_path / "does" / "not" / "exist.txt"
    with pytest.raises(model_error) as info:
        trained.load(name, str(missing))
    assert str(info.value) == f"model name {name} not found"


def test_load_missing_file_is_a_stop(trained, tmp_path, model_error):
    with pytest.raises(model_error):
        trained.load("RandomForestClassifier", str(tmp_path / "missing.txt"))


def test_save_unwritable_is_a_stop(trained, tmp_path, model_error):
    with pytest.raises(model_error):
        trained.save(str(tmp_path / "no_dir" / "model.txt"))
    # The shared borrow was given back on the way out: an exclusive use is possible again.
    trained.fit(HEADERS, make_rows(30))


# ---------------------------------------------------------------------------------------------
# Interrupts


class Interrupted(Exception):
    pass


@pytest.mark.parametrize("n_thread", [1, 2])
def test_signal_handler_error_ends_fit(n_thread, new_model, model_error):
    # Far more trees than can be grown before the alarm; the handler's exception must end the
    # call between trees and leave the forest as it was (here: without trees).
    model = new_model(feature=["a"], n_tree=200_000, n_thread=n_thread)
    fired = []

    def handler(signum, frame):
        if not fired:
            fired.append(signum)
            raise Interrupted()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(Interrupted):
            model.fit(["a", "t", "y"], [[float(i % 5), i % 2, float(i % 3 == 0)] for i in range(40)])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert fired
    with pytest.raises(model_error):
        model.predict(["a"], [[1.0]])
