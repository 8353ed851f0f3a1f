"""The quorvelin module as callers see it: its surface, how it reads conf and tables (a 2-D
numeric buffer is read in place and must give exactly what the same rows as lists give), its
stops, re-entry from Python code run during a call, and interrupts."""

import ctypes
import gc
import inspect
import json
import math
import signal
import sys

import numpy as np
import pytest

import quorvelin
from quorvelin_tools.modelfile import split_model_text
from conftest import HEADERS, KINDS, TRAIN_CONF, f32, make_rows

CausalModel = quorvelin.CausalModel


class FloatLike:
    def __init__(self, value, hook=None):
        self.value, self.hook = value, hook

    def __float__(self):
        if self.hook is not None:
            self.hook()
        return self.value


class IndexLike:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class BadIndex:
    def __index__(self):
        raise ValueError("no")


class Seq:
    """A sequence that is neither a list nor a tuple, optionally running code on item access."""

    def __init__(self, items, hook=None):
        self.items, self.hook = list(items), hook

    def __len__(self):
        return len(self.items)

    def __getitem__(self, i):
        if self.hook is not None and i == 0:
            self.hook()
        return self.items[i]


def test_surface():
    # Private helpers (underscore names) may be added; the public surface is the class and its error.
    assert [n for n in dir(quorvelin) if not n.startswith("_")] == ["CausalModel", "ModelError"]
    assert issubclass(quorvelin.ModelError, Exception) and quorvelin.ModelError.__module__ == "quorvelin"
    assert CausalModel.__module__ == "quorvelin" and str(inspect.signature(CausalModel)) == "(name, conf)"
    assert [n for n in dir(CausalModel) if not n.startswith("__")] == ["fit", "load", "predict", "save"]
    model = CausalModel("RandomForestClassifier", {})
    for method, bound in [("load", "(name, path)"), ("save", "(path)"), ("fit", "(headers, arr)"),
                          ("predict", "(headers, arr)")]:
        assert str(inspect.signature(getattr(model, method))) == bound
    with pytest.raises(AttributeError):
        model.extra = 1


@pytest.mark.parametrize("name", KINDS)
def test_construct_checks_conf_then_name(name):
    assert type(CausalModel(name=name, conf=type("Sub", (dict,), {})(TRAIN_CONF))) is CausalModel
    with pytest.raises(TypeError, match=r"^argument 'conf': 'list' object cannot be converted to 'PyDict'$"):
        CausalModel("NotAModel", [])
    with pytest.raises(TypeError, match=r"^argument 'name': "):
        CausalModel(b"RandomForestClassifier", 1)
    for bad in ["randomforestclassifier", "RandomForest", "", name + " "]:
        with pytest.raises(quorvelin.ModelError) as info:
            CausalModel(bad, {})
        assert str(info.value) == f"model name {bad} not found"
    CausalModel(name, {"n_bin": 254})
    CausalModel(name, {"n_bin": 255.0})  # not an integer, so the default applies
    for n_bin in (255, 2**64 - 1):
        with pytest.raises(quorvelin.ModelError) as info:
            CausalModel(name, {"n_bin": n_bin})
        assert str(info.value) == f"n_bin {n_bin} exceeds max 255"


# ---------------------------------------------------------------------------------------------
# Reading conf. The configuration is only visible through the saved model, whose first section
# is the configuration record.

DEFAULTS = {
    "index_cols": [], "feature_cols": [], "cat_cols": [], "treatment_cols": [], "y_col": "", "weight_col": "",
    "n_bin": 30, "min_samples_leaf": 100, "min_samples_treatment": 10, "n_reg": 10, "alpha": f32(0.9),
    "normalization": True, "max_features": 10, "max_depth": 6, "n_tree": 100, "subsample": 1.0, "n_thread": 1,
    "seed": None,
}


class BadIter:
    def __len__(self):
        return 1

    def __getitem__(self, i):
        raise KeyError(i)


# Each case: a conf and the fields of the record it gives that differ from the defaults.
CONF_CASES = [
    ({}, {}),
    ({"index": ["id"], "feature": ("a", "b"), "cat": ["c"], "treatment": ["t1", "t2"], "y": "out", "weight": "w"},
     {"index_cols": ["id"], "feature_cols": ["a", "b"], "cat_cols": ["c"], "treatment_cols": ["t1", "t2"],
      "y_col": "out", "weight_col": "w"}),
    ({"min_samples_leaf": 0, "min_samples_treatment": 3, "n_reg": 0, "max_features": 2, "max_depth": 0,
      "n_thread": 4, "n_bin": 254, "subsample": 0.5, "normalization": False, "seed": 0},
     {"min_samples_leaf": 0, "min_samples_treatment": 3, "n_reg": 0, "max_features": 2, "max_depth": 0,
      "n_thread": 4, "n_bin": 254, "subsample": 0.5, "normalization": False, "seed": 0}),
    ({"feature": Seq(["x"])}, {"feature_cols": ["x"]}),
    ({"feature": "ab", "cat": ["a", 1], "treatment": BadIter(), "y": 5, "y_col": "out", "Seed": 5}, {}),
    ({"n_tree": 10.0}, {}),
    ({"n_tree": True}, {"n_tree": 1}),
    ({"n_tree": IndexLike(7)}, {"n_tree": 7}),
    ({"n_tree": BadIndex()}, {}),
    ({"n_tree": -1}, {}),
    ({"n_tree": 2**64}, {}),
    ({"n_tree": 2**64 - 1}, {"n_tree": 2**64 - 1}),
    ({"alpha": 1}, {"alpha": 1.0}),
    ({"alpha": 0.1}, {"alpha": f32(0.1)}),
    ({"alpha": FloatLike(0.25)}, {"alpha": 0.25}),
    ({"alpha": "0.5", "normalization": 0}, {}),
    ({"normalization": np.bool_(False)}, {"normalization": False}),
    ({"seed": -1}, {}),
    ({"seed": 2**64 - 1}, {}),
    ({"seed": 2**64 - 2}, {"seed": 2**64 - 2}),
    ({"seed": 1.0}, {}),
]


@pytest.mark.parametrize("conf, fields", CONF_CASES, ids=[str(i) for i in range(len(CONF_CASES))])
def test_conf_values(conf, fields, tmp_path):
    path = tmp_path / "model.txt"
    CausalModel("RandomForestClassifier", conf).save(str(path))
    record = json.loads(split_model_text(path.read_text(encoding="utf-8"), strict=False).config)
    for name in ("alpha", "subsample"):
        record[name] = f32(record[name])
    assert record == {**DEFAULTS, **fields}


# ---------------------------------------------------------------------------------------------
# Method arguments


# Each case: the method, its arguments and the TypeError's message (its start, for a name or
# path that is not a str).
ARGUMENT_ERRORS = [
    ("fit", (["a"],), {}, "fit() missing required argument 'arr' (pos 2)"),
    ("fit", ([], []), {"arr": []}, "fit() takes at most 2 arguments (3 given)"),
    ("predict", (), {"arr": []}, "predict() missing required argument 'headers' (pos 1)"),
    ("save", ("a", "b"), {}, "save() takes at most 1 argument (2 given)"),
    ("load", ("RandomForestClassifier",), {}, "load() missing required argument 'path' (pos 2)"),
    ("save", (1,), {}, "argument 'path': 'int' object"),
    ("load", (1, "p"), {}, "argument 'name': 'int' object"),
    ("load", ("RandomForestClassifier", 1), {}, "argument 'path': 'int' object"),
] + [
    (method, (headers, arr), {}, message) for method in ("fit", "predict") for headers, arr, message in [
        ("abc", "cd", "argument 'headers': Can't extract `str` to `Vec`"),  # headers before arr
        (None, [], "argument 'headers': 'NoneType' object cannot be converted to 'Sequence'"),
        (["a", b"b"], [], "argument 'headers': 'bytes' object cannot be converted to 'PyString'"),
        (["a"], [[1.0], "abc"], "argument 'arr': Can't extract `str` to `Vec`"),
        (["a"], [1.0], "argument 'arr': 'float' object cannot be converted to 'Sequence'"),
        (["a"], [["1.0"]], "argument 'arr': must be real number, not str"),
        (["a"], [[[1.0]]], "argument 'arr': must be real number, not list"),
        # Buffers that are not 2-D numeric tables keep the sequence path and its errors.
        (["a"], np.arange(3.0), "argument 'arr': 'float64' object cannot be converted to 'Sequence'"),
        (["a"], np.array([[1.0, "x"]], dtype=object), "argument 'arr': must be real number, not str"),
        (["a"], bytearray(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
        (["a"], memoryview(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
    ]
]


@pytest.mark.parametrize("method, args, kwargs, message", ARGUMENT_ERRORS)
def test_argument_errors(method, args, kwargs, message, trained, rows):
    with pytest.raises(TypeError) as info:
        getattr(trained, method)(*args, **kwargs)
    got = str(info.value)
    assert got == message or (message.endswith("'int' object") and got.startswith(message + " "))
    trained.fit(arr=rows, headers=HEADERS)  # keywords work, and the object stays usable
    assert trained.predict(arr=rows[:3], headers=HEADERS) == trained.predict(HEADERS, rows[:3])


def test_python_errors_from_items_are_kept(new_model):
    class Boom:
        def __float__(self):
            raise ValueError("boom")

    class Wrong:
        def __float__(self):
            return "1.0"

    model = new_model()
    with pytest.raises(ValueError, match="^boom$"):
        model.fit(["a"], [[Boom()]])
    with pytest.raises(OverflowError):
        model.fit(["a"], [[10**400]])
    with pytest.raises(TypeError, match=r"^argument 'arr': "):
        model.fit(["a"], [[Wrong()]])


# ---------------------------------------------------------------------------------------------
# Stops


@pytest.mark.parametrize(
    "call, text",
    [
        (lambda: CausalModel("Random\0Forest", {}), "model name Random\0Forest not found"),
        (lambda: CausalModel("RandomForestClassifier", {}).load("RandomForestClassifier", "/tmp/a\0b"),
         "cannot read model file '/tmp/a\0b'"),  # the reason after it is the C library's wording
        (lambda: CausalModel("RandomForestClassifier", {"feature": ["x\0y"]}).fit(["x"], [[1.0]]), "x\0y"),
    ],
    ids=["name", "path", "column"],
)
def test_stop_message_keeps_nul_characters_and_is_one_stderr_line(capfd, call, text):
    capfd.readouterr()
    with pytest.raises(quorvelin.ModelError) as info:
        call()
    err = capfd.readouterr().err
    assert text in str(info.value) and text in err
    assert len([line for line in err.split("\n") if text.split("\0")[0] in line]) == 1


@pytest.mark.parametrize("name", KINDS)
def test_object_usable_after_stop(name, new_model, rows):
    model = new_model(name, feature=["a", "x"])
    with pytest.raises(quorvelin.ModelError) as info:
        model.fit(HEADERS, rows)
    assert str(info.value) == "Column is missing: x"
    # Columns are looked up before any row is read; the next table brings the missing one.
    model.fit(["x"] + HEADERS, [[r[1]] + r for r in rows])
    assert len(model.predict(["a", "x"], [[0.5, 1.0]])) == 1


def test_missing_versus_nan_and_ragged_rows(new_model, trained, rows):
    # None is a missing value, which the outcome column refuses; NaN is a value.
    with pytest.raises(quorvelin.ModelError):
        new_model().fit(HEADERS, [r[:3] + [None] for r in rows])
    new_model().fit(HEADERS, [r[:3] + [math.nan] if i == 0 else r for i, r in enumerate(rows)])
    result = trained.predict(["a", "b"], [[None, None], [math.nan, math.nan], [0.5, None, 9.0, 9.0]])
    assert [len(r) for r in result] == [1, 1, 1]
    with pytest.raises(quorvelin.ModelError):
        trained.predict(["a", "b"], [[0.1, 1.0], [0.2]])


# ---------------------------------------------------------------------------------------------
# Values in and out


def test_item_kinds_are_equivalent(trained, rows):
    table = [r[:2] for r in rows[:20]]
    expected = trained.predict(["a", "b"], table)
    # Lists of Python floats holding the engine's 32-bit results, widened exactly.
    assert type(expected) is list and all(type(row) is list and type(row[0]) is float and row[0] == f32(row[0])
                                          for row in expected)
    assert trained.predict(("a", "b"), tuple(tuple(r) for r in table)) == expected
    assert trained.predict(Seq(["a", "b"]), Seq([Seq(r) for r in table])) == expected
    assert trained.predict(["a", "b"], [[FloatLike(a), IndexLike(int(b))] for a, b in table]) == expected
    assert trained.predict(np.array(["a", "b"]), np.array(table, dtype=np.float32)) == expected


# ---------------------------------------------------------------------------------------------
# Borrow state


@pytest.mark.parametrize("outer", ["fit", "predict"])
@pytest.mark.parametrize("inner", ["fit", "predict", "save", "load"])
@pytest.mark.parametrize("via", ["float", "arr_getitem", "headers_getitem"])
def test_reentry_is_refused(outer, inner, via, trained, new_model, tmp_path):
    path = str(tmp_path / "inner.txt")
    trained.save(path)
    call, message = {
        "fit": (lambda: trained.fit(HEADERS, make_rows(20)), "Already borrowed"),
        "predict": (lambda: trained.predict(HEADERS, make_rows(5)), "Already borrowed"),
        "save": (lambda: trained.save(path), "Already mutably borrowed"),
        "load": (lambda: trained.load("RandomForestClassifier", path), "Already mutably borrowed"),
    }[inner]
    seen, other = [], new_model()

    def hook():
        try:
            call()
        except RuntimeError as exc:
            seen.append(str(exc))
        else:
            seen.append(None)
        other.fit(HEADERS, make_rows(40))  # the borrow is the object's own: another model is free

    table, headers = make_rows(30), list(HEADERS)
    if via == "float":
        table[3][0] = FloatLike(table[3][0], hook)
    elif via == "arr_getitem":
        table = Seq(table, hook)
    else:
        headers = Seq(headers, hook)
    getattr(trained, outer)(headers, table)
    assert seen == [message]
    call()  # the borrow was given back: the same call now goes through


# ---------------------------------------------------------------------------------------------
# load and save


def test_load_checks_the_name_before_the_file_and_stops_cleanly(trained, tmp_path):
    missing = str(tmp_path / "does" / "not" / "exist.txt")
    with pytest.raises(quorvelin.ModelError) as info:
        trained.load("randomforestregressor", missing)
    assert str(info.value) == "model name randomforestregressor not found"
    with pytest.raises(quorvelin.ModelError):
        trained.load("RandomForestClassifier", missing)
    with pytest.raises(quorvelin.ModelError):
        trained.save(missing)
    # The shared borrow was given back on the way out: an exclusive use is possible again.
    trained.fit(HEADERS, make_rows(30))


@pytest.mark.parametrize("n_thread", [1, 2])
def test_signal_handler_error_ends_fit(n_thread, new_model):
    # Far more trees than can be grown before the alarm; the handler's exception must end the
    # call between trees and leave the forest as it was (here: without trees).
    model = new_model(feature=["a"], n_tree=200_000, n_thread=n_thread)
    fired = []

    def handler(signum, frame):
        if not fired:
            fired.append(signum)
            raise InterruptedError()

    previous = signal.signal(signal.SIGALRM, handler)
    try:
        signal.setitimer(signal.ITIMER_REAL, 0.05)
        with pytest.raises(InterruptedError):
            model.fit(["a", "t", "y"], [[float(i % 5), i % 2, float(i % 3 == 0)] for i in range(40)])
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert fired
    with pytest.raises(quorvelin.ModelError):
        model.predict(["a"], [[1.0]])


# ---------------------------------------------------------------------------------------------
# Tables read in place

ARRAY_CONF = dict(feature=["a", "b"], cat=["b"], treatment=["t"], y="y", n_tree=5, seed=3, n_bin=16, max_depth=4,
                  min_samples_leaf=5, min_samples_treatment=1)


class NoItems(np.ndarray):
    """An array whose items cannot be read through the sequence protocol: only an in-place read
    of its memory can take it as a table."""

    def __getitem__(self, index):
        raise AssertionError("the table was read item by item")


class CountingItems(np.ndarray):
    """An array that counts the item reads of the sequence protocol."""

    reads = 0

    def __getitem__(self, index):
        CountingItems.reads += 1
        return np.asarray(self)[index]


def outcome(call):
    """What a call gives, comparable across paths: its result as exact text, or its failure."""
    try:
        return ("ok", repr(call()))
    except Exception as exc:
        return (type(exc).__name__, str(exc))


def make_table(name, dtype, n=400, seed=0):
    """Columns a (continuous), b (categorical), t (three groups), y, stored in `dtype`. Integer
    tables use values far beyond 2**24, so the rounding to 32-bit floats is exercised too."""
    rng = np.random.default_rng(seed)
    dtype = np.dtype(dtype)
    t = rng.integers(0, 3, n)
    if dtype.kind == "f":
        a = rng.normal(size=n) * 10.0
        noise = rng.normal(size=n)
    elif dtype.kind == "b":
        a = rng.random(n) < 0.5
        t = np.minimum(t, 1)
        noise = np.zeros(n)
    else:
        info = np.iinfo(dtype)
        a = rng.integers(info.min, info.max, n, dtype=dtype, endpoint=True)
        noise = rng.integers(0, 3, n)
    high = a > np.median(a)
    if name == "RandomForestClassifier" or dtype.kind == "b":
        y = rng.random(n) < 0.2 + 0.5 * high * (t > 0)
    else:
        y = 4 * high * t + noise
    arr = np.empty((n, 4), dtype=dtype)
    arr[:, 0] = a
    arr[:, 1] = rng.integers(0, 2 if dtype.kind == "b" else 5, n)
    arr[:, 2] = t
    arr[:, 3] = y
    return arr


def assert_same_as_lists(name, headers, arr, lists, fits=True):
    """Fits one model on the buffer and one on the lists; both must agree in everything: the
    fit's outcome, the model text, the predictions (also of each model on the other table)."""
    models = [CausalModel(name, ARRAY_CONF), CausalModel(name, ARRAY_CONF)]
    got = [(outcome(lambda: m.fit(headers, t)), outcome(lambda: m.__reduce__()[2]), outcome(lambda: m.predict(headers, t)))
           for m, t in zip(models, (arr, lists))]
    assert got[0] == got[1]
    assert (got[0][0] == ("ok", "None")) == fits
    if fits:
        assert outcome(lambda: models[1].predict(headers, arr)) == outcome(lambda: models[0].predict(headers, lists))


# ---------------------------------------------------------------------------------------------
# Every kind of array gives what the same rows as lists give


def _wide(arr):
    """Columns of `arr` interleaved with filler columns, so that arr == wide[:, ::2]."""
    wide = np.full((arr.shape[0], 2 * arr.shape[1]), 99, dtype=arr.dtype)
    wide[:, ::2] = arr
    return wide


def _tall(arr):
    """Rows of `arr` interleaved with filler rows, so that arr == tall[::2]."""
    tall = np.full((2 * arr.shape[0], arr.shape[1]), 99, dtype=arr.dtype)
    tall[::2] = arr
    return tall


def _ctypes_table(arr, ctype):
    # ctypes describes its items with an explicit '<' and may leave out the strides.
    class Table((ctype * 4) * arr.shape[0]):
        def __getitem__(self, index):
            raise AssertionError("the table was read item by item")

    table = Table.from_buffer_copy(np.ascontiguousarray(arr, dtype=np.dtype(ctype)).tobytes())
    assert memoryview(table).format.startswith("<")
    return table


def _big_endian_ctypes(arr):
    row = ctypes.c_double.__ctype_be__ * 4
    table = (row * arr.shape[0])(*[row(*r) for r in arr.tolist()])
    assert memoryview(table).format == ">d"
    return table


def _counting(arr):
    CountingItems.reads = 0
    return arr.view(CountingItems)


def _with_nan(arr, column, rows):
    arr = arr.copy()
    arr[rows, column] = np.nan
    return arr


def _objects_with_none(arr):
    lists = arr.tolist()
    for row in lists[::5]:
        row[0] = None
    return HEADERS, _counting(np.array(lists, dtype=object)), lists


def _object_rows(arr):
    rows = np.empty(arr.shape[0], dtype=object)
    for i, row in enumerate(arr.tolist()):
        rows[i] = row
    return rows


def _rounded(arr):
    arr = arr.copy()
    arr[:, 0] = np.round(arr[:, 0], 2)
    return arr


DTYPES = ["float64", "float32", "int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8", "bool"]
_SAME = lambda a: (HEADERS, a, a.tolist())  # noqa: E731
# Each case: the element type of the base table and how it becomes (headers, array, lists),
# or (headers, array, lists, fits) when fitting must stop.
ARRAY_CASES = {
    **{f"dtype-{d}": (d, _SAME) for d in DTYPES},
    "fortran": ("float64", lambda a: (HEADERS, np.asfortranarray(a), a.tolist())),
    "strided_columns": ("float32", lambda a: (HEADERS, _wide(a)[:, ::2], a.tolist())),
    "strided_rows": ("int32", lambda a: (HEADERS, _tall(a)[::2], a.tolist())),
    "reversed_rows": ("float64", lambda a: (HEADERS, a[::-1], a[::-1].tolist())),
    "reversed_columns": ("float32", lambda a: (HEADERS[::-1], a[:, ::-1], a[:, ::-1].tolist())),
    "reversed_both_strided": ("float64", lambda a: (HEADERS[::-1], _tall(_wide(a))[-2::-2, -2::-2], a[::-1, ::-1].tolist())),
    "fortran_reversed_rows": ("int32", lambda a: (HEADERS, np.asfortranarray(a)[::-1], a[::-1].tolist())),
    "permuted_headers": ("float64", lambda a: (["y", "a", "t", "b"], a[:, [3, 0, 2, 1]], a[:, [3, 0, 2, 1]].tolist())),
    "memoryview": ("float64", lambda a: (HEADERS, memoryview(a), a.tolist())),
    **{
        f"ctypes-{t.__name__}": (np.dtype(t), lambda a, t=t: (HEADERS, _ctypes_table(a, t), a.tolist()))
        for t in [ctypes.c_double, ctypes.c_float, ctypes.c_long, ctypes.c_int, ctypes.c_uint8, ctypes.c_bool]
    },
    "ctypes-big-endian": ("float64", lambda a: (HEADERS, _big_endian_ctypes(a), a.tolist())),
    **{
        f"by-items-{d}": ("float64", lambda a, d=d: (HEADERS, _counting(_rounded(a).astype(d)), _rounded(a).astype(d).astype(np.float64).tolist()))
        for d in ["float16", ">f8", ">i4", "longdouble"]
    },
    "object-with-none": ("float64", _objects_with_none),
    "object-rows-1d": ("float64", lambda a: (HEADERS, _object_rows(a), a.tolist())),
    "nan_category": ("float64", lambda a: _SAME(_with_nan(a, 1, slice(0, 400, 7)))),
    "all_nan_category": ("float32", lambda a: _SAME(_with_nan(a, 1, slice(None)))),
    "one_nan_outcome": ("float64", lambda a: _SAME(_with_nan(a, 3, [5]))),
    "many_nan_outcomes": ("float32", lambda a: _SAME(_with_nan(a, 3, slice(0, 400, 3)))),
    # A continuous column refuses NaN, naming the row, from an array as from lists.
    "nan_continuous": ("float64", lambda a: (*_SAME(_with_nan(a, 0, slice(0, 400, 11))), False)),
}


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize("case", sorted(ARRAY_CASES))
def test_arrays_match_lists(name, case):
    dtype, build = ARRAY_CASES[case]
    headers, arr, lists, *fits = build(make_table(name, dtype))
    if type(arr) is np.ndarray and arr.dtype != object:
        arr = arr.view(NoItems)  # read in place: reading its items fails the test
    assert_same_as_lists(name, headers, arr, lists, *fits)
    if isinstance(arr, CountingItems) and CountingItems.reads == 0:
        pytest.fail("an array the module cannot read in place was not read item by item")


def test_zero_strides_match_lists():
    # Every row the same memory; a broadcast view is read-only, which the in-place read accepts.
    base = make_table("RandomForestClassifier", "float64")
    model = CausalModel("RandomForestClassifier", ARRAY_CONF)
    model.fit(HEADERS, base)
    for arr in (np.broadcast_to(base[7], (30, 4)), np.broadcast_to(base[:30, :1], (30, 4))):
        assert 0 in arr.strides
        assert model.predict(HEADERS, arr.view(NoItems)) == model.predict(HEADERS, arr.tolist())


# ---------------------------------------------------------------------------------------------
# Tables that keep the sequence path


@pytest.mark.filterwarnings("ignore:Casting complex values to real")
@pytest.mark.parametrize("method", ["fit", "predict"])
@pytest.mark.parametrize(
    "arr, headers",
    [
        (make_table("RandomForestClassifier", "float64").astype("complex128"), HEADERS),  # read by items
        (np.zeros((4, 4, 2)), HEADERS),  # buffer taken, then let go; read by items, a TypeError
        (np.zeros((20, 4), dtype=np.float16), HEADERS),  # buffer taken, then let go
        (np.zeros((0, 4)), HEADERS),
        (np.zeros((0, 0)), HEADERS),
        (np.zeros((3, 0)), HEADERS),
        (np.zeros((20, 4)), HEADERS),  # read in place
        (np.zeros((20, 4)), HEADERS + ["z"]),  # read in place, then a stop
    ],
    ids=["complex", "3d", "float16", "empty", "empty-0x0", "no-columns", "in-place", "stop"],
)
def test_odd_arrays_match_lists_and_give_the_buffer_back(method, arr, headers, trained):
    before = sys.getrefcount(arr)
    got = outcome(lambda: getattr(trained, method)(headers, arr))
    assert sys.getrefcount(arr) == before  # a buffer kept after the call would hold a reference
    assert got == outcome(lambda: getattr(trained, method)(headers, list(arr)))


@pytest.mark.parametrize("name", KINDS)
@pytest.mark.parametrize(
    "headers, conf",
    [
        (HEADERS + ["z"], {"feature": ["a", "z"]}),
        (HEADERS + ["z"], {"y": "z"}),
        (["t", "a", "b", "y", "w"], {"weight": "w"}),
        (["q", "r", "s", "u", "t"], {"feature": [], "treatment": ["t"]}),
    ],
    ids=["feature", "outcome", "weight", "treatment"],
)
def test_column_beyond_the_array_stops_like_a_short_row(name, headers, conf):
    arr = make_table(name, "float64", n=50)
    got = [outcome(lambda: CausalModel(name, dict(ARRAY_CONF, **conf)).fit(headers, table))
           for table in (arr.view(NoItems), arr.tolist())]
    assert got[0] == got[1] and got[0][1].startswith("row 0 has 4 values, but column ")


@pytest.mark.parametrize("enabled", [True, False])
def test_predict_leaves_the_collector_as_it_was(enabled, trained):
    # The result lists are built with the cyclic collector paused; its state must come back.
    arr = make_table("RandomForestClassifier", "float64", n=3000)
    was = gc.isenabled()
    try:
        gc.enable() if enabled else gc.disable()
        result = trained.predict(HEADERS, arr)
        assert gc.isenabled() == enabled
    finally:
        gc.enable() if was else gc.disable()
    assert len(result) == 3000 and all(type(row) is list and len(row) == 1 for row in result)
    assert all(gc.is_tracked(row) for row in result[::100])
