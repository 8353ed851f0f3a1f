"""A 2-D numeric buffer (a NumPy array, a ctypes array, a memoryview) is read in place; it must
give exactly what the same rows given as Python lists give: the same model file bytes and the
same predictions. Everything that is not such a buffer keeps the sequence path and its errors."""

import ctypes
import gc
import math
import sys

import pytest

import quorvelin

np = pytest.importorskip("numpy")

CausalModel = quorvelin.CausalModel
from conftest import HEADERS, KINDS as NAMES  # noqa: E402

CONF = dict(feature=["a", "b"], cat=["b"], treatment=["t"], y="y", n_tree=5, seed=3, n_bin=16, max_depth=4,
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
    models = [CausalModel(name, CONF), CausalModel(name, CONF)]
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


@pytest.mark.parametrize("name", NAMES)
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
    model = CausalModel("RandomForestClassifier", CONF)
    model.fit(HEADERS, base)
    for arr in (np.broadcast_to(base[7], (30, 4)), np.broadcast_to(base[:30, :1], (30, 4))):
        assert 0 in arr.strides
        assert model.predict(HEADERS, arr.view(NoItems)) == model.predict(HEADERS, arr.tolist())


def test_nan_category_is_its_own_value(tmp_path):
    # With the categorical column NaN in some rows, the saved bins list NaN as a category: a
    # missing cell would not show up there at all.
    arr = _with_nan(make_table("RandomForestRegressor", "float64"), 1, slice(0, 400, 2))
    texts = []
    for table in (arr, [[a, None if math.isnan(b) else b, t, y] for a, b, t, y in arr.tolist()]):
        model = CausalModel("RandomForestRegressor", CONF)
        model.fit(HEADERS, table)
        texts.append(model.__reduce__()[2])
    assert texts[0] != texts[1]


# ---------------------------------------------------------------------------------------------
# Tables that keep the sequence path


@pytest.fixture
def trained():
    model = CausalModel("RandomForestClassifier", CONF)
    model.fit(HEADERS, make_table("RandomForestClassifier", "float64"))
    return model


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


@pytest.mark.parametrize(
    "arr, message",
    [
        (np.arange(3.0), "argument 'arr': 'float64' object cannot be converted to 'Sequence'"),
        (np.array([[1.0, "x"]], dtype=object), "argument 'arr': must be real number, not str"),
        (bytearray(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
        (memoryview(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
    ],
    ids=["1d_float", "object_str", "bytearray", "memoryview_1d"],
)
def test_non_tables_raise_the_sequence_errors(arr, message):
    with pytest.raises(TypeError) as info:
        CausalModel("RandomForestClassifier", CONF).fit(HEADERS, arr)
    assert str(info.value) == message


@pytest.mark.parametrize("name", NAMES)
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
    got = [outcome(lambda: CausalModel(name, dict(CONF, **conf)).fit(headers, table))
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
    assert len(result) == 3000 and all(type(row) is list and len(row) == 2 for row in result)
    assert all(gc.is_tracked(row) for row in result[::100])
