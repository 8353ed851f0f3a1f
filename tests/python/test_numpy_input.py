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
NAMES = ["RandomForestClassifier", "RandomForestRegressor"]
HEADERS = ["a", "b", "t", "y"]
CONF = {
    "feature": ["a", "b"],
    "cat": ["b"],
    "treatment": ["t"],
    "y": "y",
    "n_tree": 5,
    "seed": 3,
    "n_bin": 16,
    "max_depth": 4,
    "min_samples_leaf": 5,
    "min_samples_treatment": 1,
}


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
    except (TypeError, ValueError, OverflowError, NotImplementedError, AssertionError) as exc:
        return (type(exc).__name__, str(exc))
    except BaseException as exc:  # noqa: B902 - the stop type derives from BaseException
        if isinstance(exc, (KeyboardInterrupt, SystemExit)):
            raise
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


def fit_and_predict(name, headers, table, tmp_path, tag, conf=None):
    model = CausalModel(name, dict(CONF, **(conf or {})))
    fitted = outcome(lambda: model.fit(headers, table))
    path = tmp_path / f"{tag}.txt"
    saved = outcome(lambda: model.save(str(path)))
    text = path.read_bytes() if path.exists() else None
    predicted = outcome(lambda: model.predict(headers, table))
    return model, (fitted, saved, text, predicted)


def assert_same_as_lists(name, headers, arr, lists, tmp_path, conf=None):
    """Fits one model on the buffer and one on the lists; both must agree in everything."""
    buf_model, from_buffer = fit_and_predict(name, headers, arr, tmp_path, "buffer", conf)
    seq_model, from_lists = fit_and_predict(name, headers, lists, tmp_path, "lists", conf)
    assert from_buffer == from_lists
    assert from_buffer[0] == from_buffer[1] == ("ok", "None")
    assert from_buffer[2]  # a model file was written
    # Prediction alone also goes through the loader: the same model, both kinds of table.
    assert outcome(lambda: seq_model.predict(headers, arr)) == outcome(lambda: buf_model.predict(headers, lists))


# ---------------------------------------------------------------------------------------------
# Element types and memory layouts


DTYPES = ["float64", "float32", "int64", "int32", "int16", "int8", "uint64", "uint32", "uint16", "uint8", "bool"]


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("dtype", DTYPES)
def test_element_types_match_lists(name, dtype, tmp_path):
    arr = make_table(name, dtype)
    assert_same_as_lists(name, HEADERS, arr.view(NoItems), arr.tolist(), tmp_path)


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


# Each layout gives the headers and the array; the array holds the same rows, differently laid out.
LAYOUTS = {
    "fortran": lambda a: (HEADERS, np.asfortranarray(a)),
    "strided_columns": lambda a: (HEADERS, _wide(a)[:, ::2]),
    "strided_rows": lambda a: (HEADERS, _tall(a)[::2]),
    "reversed_rows": lambda a: (HEADERS, a[::-1]),
    "reversed_columns": lambda a: (HEADERS[::-1], a[:, ::-1]),
    "reversed_both_strided": lambda a: (HEADERS[::-1], _tall(_wide(a))[-2::-2, -2::-2]),
    "fortran_reversed_rows": lambda a: (HEADERS, np.asfortranarray(a)[::-1]),
    "permuted_headers": lambda a: (["y", "a", "t", "b"], a[:, [3, 0, 2, 1]]),
}


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("dtype", ["float64", "float32", "int32"])
@pytest.mark.parametrize("layout", sorted(LAYOUTS))
def test_memory_layouts_match_lists(name, dtype, layout, tmp_path):
    headers, arr = LAYOUTS[layout](make_table(name, dtype))
    if layout != "permuted_headers":
        assert not arr.flags.c_contiguous
    assert_same_as_lists(name, headers, arr.view(NoItems), arr.tolist(), tmp_path)


def test_zero_strides_match_lists(tmp_path):
    # Every row the same memory; a broadcast view is read-only, which the in-place read accepts.
    name = "RandomForestClassifier"
    base = make_table(name, "float64")
    model = CausalModel(name, CONF)
    model.fit(HEADERS, base)
    row = np.broadcast_to(base[7], (30, 4))
    column = np.broadcast_to(base[:30, :1], (30, 4))
    assert row.strides[0] == 0 and column.strides[1] == 0
    for arr in (row, column):
        assert model.predict(HEADERS, arr.view(NoItems)) == model.predict(HEADERS, arr.tolist())


@pytest.mark.parametrize("name", NAMES)
def test_other_buffer_exporters_match_lists(name, tmp_path):
    arr = make_table(name, "float64", n=200)
    # A 2-D memoryview has no items to read through the sequence protocol at all.
    view = memoryview(arr)
    assert view.ndim == 2
    assert_same_as_lists(name, HEADERS, view, arr.tolist(), tmp_path)


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize(
    "ctype",
    [ctypes.c_double, ctypes.c_float, ctypes.c_long, ctypes.c_int, ctypes.c_uint8, ctypes.c_bool],
    ids=lambda t: t.__name__,
)
def test_ctypes_arrays_match_lists(name, ctype, tmp_path):
    # ctypes describes its items with an explicit '<' and may leave out the strides.
    dtype = np.dtype(ctype)
    arr = make_table(name, dtype, n=200)
    table_type = (ctype * 4) * arr.shape[0]

    class Table(table_type):
        def __getitem__(self, index):
            raise AssertionError("the table was read item by item")

    table = Table.from_buffer_copy(np.ascontiguousarray(arr).tobytes())
    assert memoryview(table).format.startswith("<")
    assert_same_as_lists(name, HEADERS, table, arr.tolist(), tmp_path)


@pytest.mark.parametrize("name", NAMES)
def test_big_endian_ctypes_array_is_read_by_items(name, tmp_path):
    arr = make_table(name, "float64", n=200)
    table_type = (ctypes.c_double.__ctype_be__ * 4) * arr.shape[0]
    table = table_type(*[(ctypes.c_double.__ctype_be__ * 4)(*row) for row in arr.tolist()])
    assert memoryview(table).format == ">d"
    assert_same_as_lists(name, HEADERS, table, arr.tolist(), tmp_path)


# ---------------------------------------------------------------------------------------------
# NaN values: a value like any other, never a missing cell


def _with_nan(arr, column, rows):
    arr = arr.copy()
    arr[rows, column] = np.nan
    return arr


@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("dtype", ["float64", "float32"])
@pytest.mark.parametrize(
    "column, rows, fits",
    [
        (1, slice(0, 400, 7), True),
        (1, slice(None), True),
        (3, [5], True),
        (3, slice(0, 400, 3), True),
        (0, slice(0, 400, 11), False),  # a continuous column refuses NaN, naming the row
    ],
    ids=["nan_category", "all_nan_category", "one_nan_outcome", "many_nan_outcomes", "nan_continuous"],
)
def test_nan_values_match_lists(name, dtype, column, rows, fits, tmp_path):
    arr = _with_nan(make_table(name, dtype), column, rows)
    lists = arr.tolist()
    assert any(math.isnan(v) for row in lists for v in row)
    buf_model, from_buffer = fit_and_predict(name, HEADERS, arr.view(NoItems), tmp_path, "buffer")
    seq_model, from_lists = fit_and_predict(name, HEADERS, lists, tmp_path, "lists")
    assert from_buffer == from_lists
    assert (from_buffer[0] == ("ok", "None")) == fits


def test_nan_category_is_its_own_value(tmp_path):
    # With the categorical column NaN in some rows, the saved bins list NaN as a category: a
    # missing cell would not show up there at all.
    name = "RandomForestRegressor"
    arr = _with_nan(make_table(name, "float64"), 1, slice(0, 400, 2))
    model = CausalModel(name, CONF)
    model.fit(HEADERS, arr)
    path = tmp_path / "m.txt"
    model.save(str(path))
    with_nan = path.read_text()
    model = CausalModel(name, CONF)
    model.fit(HEADERS, [[a, None if math.isnan(b) else b, t, y] for a, b, t, y in arr.tolist()])
    model.save(str(path))
    assert with_nan != path.read_text()


# ---------------------------------------------------------------------------------------------
# Tables that keep the sequence path


def _counting(arr):
    CountingItems.reads = 0
    return arr.view(CountingItems)


@pytest.mark.filterwarnings("ignore:Casting complex values to real")
@pytest.mark.parametrize("name", NAMES)
@pytest.mark.parametrize("dtype", ["float16", ">f8", ">i4", "longdouble", "complex128"])
def test_other_element_types_are_read_by_items(name, dtype, tmp_path):
    base = make_table(name, "float64")
    base[:, 0] = np.round(base[:, 0], 2)
    arr = base.astype(dtype)
    model = CausalModel(name, CONF)
    by_items = outcome(lambda: model.fit(HEADERS, _counting(arr)))
    assert CountingItems.reads > 0
    # The sequence path on the same rows, given as a plain list of row arrays.
    assert by_items == outcome(lambda: CausalModel(name, CONF).fit(HEADERS, list(arr)))
    if dtype != "complex128":
        assert by_items == ("ok", "None")
        assert_same_as_lists(name, HEADERS, _counting(arr), arr.astype(np.float64).tolist(), tmp_path)


@pytest.mark.parametrize("name", NAMES)
def test_object_array_keeps_none_as_missing(name, tmp_path):
    arr = make_table(name, "float64")
    lists = arr.tolist()
    for row in lists[::5]:
        row[0] = None
    objects = np.array(lists, dtype=object)
    assert objects.shape == (400, 4)
    assert_same_as_lists(name, HEADERS, _counting(objects), lists, tmp_path)
    assert CountingItems.reads > 0


@pytest.mark.parametrize("method", ["fit", "predict"])
@pytest.mark.parametrize(
    "arr, message",
    [
        (np.arange(3.0), "argument 'arr': 'float64' object cannot be converted to 'Sequence'"),
        (np.arange(3), "argument 'arr': 'int64' object cannot be converted to 'Sequence'"),
        (np.array([[1.0, "x"]], dtype=object), "argument 'arr': must be real number, not str"),
        ("abc", "argument 'arr': Can't extract `str` to `Vec`"),
        (b"ab", "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
        (bytearray(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
        (memoryview(b"ab"), "argument 'arr': 'int' object cannot be converted to 'Sequence'"),
    ],
    ids=["1d_float", "1d_int", "object_str", "str", "bytes", "bytearray", "memoryview_1d"],
)
def test_non_tables_raise_the_sequence_errors(method, arr, message):
    model = CausalModel("RandomForestClassifier", CONF)
    with pytest.raises(TypeError) as info:
        getattr(model, method)(HEADERS, arr)
    assert str(info.value) == message


@pytest.mark.parametrize("method", ["fit", "predict"])
def test_three_dimensional_array_is_read_by_items(method):
    arr = np.zeros((4, 4, 2))
    model = CausalModel("RandomForestClassifier", CONF)
    got = outcome(lambda: getattr(model, method)(HEADERS, _counting(arr)))
    assert CountingItems.reads > 0
    assert got[0] == "TypeError" and got[1].startswith("argument 'arr': ")
    assert got == outcome(lambda: getattr(model, method)(HEADERS, list(arr)))


def test_one_dimensional_object_array_of_rows(tmp_path):
    name = "RandomForestClassifier"
    arr = make_table(name, "float64")
    rows = np.empty(arr.shape[0], dtype=object)
    for i, row in enumerate(arr.tolist()):
        rows[i] = row
    assert_same_as_lists(name, HEADERS, rows, arr.tolist(), tmp_path)


# ---------------------------------------------------------------------------------------------
# Shapes the loader must refuse or accept exactly as for lists


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
def test_column_beyond_the_array_stops_like_a_short_row(name, headers, conf, tmp_path, model_error):
    arr = make_table(name, "float64", n=50)
    model = CausalModel(name, dict(CONF, **conf))
    with pytest.raises(model_error) as from_buffer:
        model.fit(headers, arr.view(NoItems))
    with pytest.raises(model_error) as from_lists:
        CausalModel(name, dict(CONF, **conf)).fit(headers, arr.tolist())
    assert str(from_buffer.value) == str(from_lists.value)
    assert str(from_buffer.value).startswith("row 0 has 4 values, but column ")


@pytest.fixture
def trained():
    name = "RandomForestClassifier"
    model = CausalModel(name, CONF)
    model.fit(HEADERS, make_table(name, "float64"))
    return model


@pytest.mark.parametrize("shape", [(0, 4), (0, 0), (3, 0)])
@pytest.mark.parametrize("method", ["fit", "predict"])
def test_empty_arrays_match_lists(shape, method, trained):
    arr = np.zeros(shape)
    from_buffer = outcome(lambda: getattr(trained, method)(HEADERS, arr.view(NoItems)))
    assert from_buffer == outcome(lambda: getattr(trained, method)(HEADERS, arr.tolist()))


@pytest.mark.parametrize(
    "arr, headers",
    [
        (np.zeros((20, 4)), HEADERS),  # read in place
        (np.zeros((20, 4)), HEADERS + ["z"]),  # read in place, then a stop
        (np.zeros((20, 4), dtype=np.float16), HEADERS),  # buffer taken, then let go
        (np.zeros((4, 4, 2)), HEADERS),  # buffer taken, then let go; a TypeError
    ],
    ids=["in_place", "stop", "float16", "3d"],
)
def test_buffer_is_given_back(arr, headers, trained):
    # A buffer kept after the call would hold a reference to the array.
    model = trained
    before = sys.getrefcount(arr)
    for method in ("predict", "fit"):
        try:
            getattr(model, method)(headers, arr)
        except BaseException as exc:  # noqa: B902 - the stop type derives from BaseException
            if isinstance(exc, KeyboardInterrupt):
                raise
    assert sys.getrefcount(arr) == before


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


# ---------------------------------------------------------------------------------------------
# Worker threads


# Workers sum their own trees before the partial sums are added, so a mean over trees that
# cancels to near zero keeps an absolute rounding of its terms (about 1e-7 here), not a relative
# one.
ATOL = 1e-6


def _mid_table(name, n=5000):
    rng = np.random.default_rng(11)
    x = rng.normal(size=(n, 6))
    t = rng.integers(0, 2, n)
    effect = (x[:, 0] > 0) * t
    if name == "RandomForestClassifier":
        y = rng.random(n) < 0.2 + 0.3 * effect
    else:
        y = 2.0 * effect + x[:, 1] + rng.normal(size=n)
    arr = np.column_stack([x, t, y])
    headers = [f"x{i}" for i in range(6)] + ["t", "y"]
    conf = {
        "feature": headers[:6],
        "treatment": ["t"],
        "y": "y",
        "n_tree": 20,
        "seed": 5,
        "max_features": 3,
        "min_samples_leaf": 50,
    }
    return headers, arr, conf


@pytest.mark.parametrize("name", NAMES)
def test_thread_counts_agree_to_rounding(name, tmp_path):
    headers, arr, conf = _mid_table(name)
    model = CausalModel(name, dict(conf, n_thread=1))
    model.fit(headers, arr)
    one = np.array(model.predict(headers, arr))
    two = np.array(_reload(name, model, 2, tmp_path).predict(headers, arr))
    assert one.shape == two.shape == (arr.shape[0], 1)
    assert np.isfinite(one).all()
    assert np.ptp(one) > 0  # the trees did split
    assert np.allclose(one, two, rtol=1e-5, atol=ATOL)


@pytest.mark.parametrize("name", NAMES)
def test_fit_on_two_threads_then_predict(name, tmp_path):
    headers, arr, conf = _mid_table(name)
    model = CausalModel(name, dict(conf, n_thread=2))
    model.fit(headers, arr)
    two = np.array(model.predict(headers, arr))
    assert two.shape == (arr.shape[0], 1) and np.isfinite(two).all()
    assert np.ptp(two) > 0
    one = np.array(_reload(name, model, 1, tmp_path).predict(headers, arr.tolist()))
    assert np.allclose(one, two, rtol=1e-5, atol=ATOL)


def _reload(name, model, n_thread, tmp_path):
    path = tmp_path / f"threads{n_thread}.txt"
    model.save(str(path))
    text = path.read_text()
    key = '"n_thread":'
    start = text.index(key) + len(key)
    end = text.index(",", start)
    path.write_text(text[:start] + str(n_thread) + text[end:])
    return model.load(name, str(path))
