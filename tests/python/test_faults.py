"""Faults a hostile or unlucky caller runs into: errors crossing process pools, saves to odd
targets or killed halfway, files that are not regular, memory running out, Ctrl-C."""

import concurrent.futures
import json
import multiprocessing
import os
import pickle
import random
import shutil
import socket
import stat
import subprocess
import sys
import tempfile
import time

import pytest

import quorvelin

from conftest import HEADERS, TRAIN_CONF, make_rows


def _fit_without_column(_):
    model = quorvelin.CausalModel("RandomForestClassifier", dict(TRAIN_CONF, feature=["missing"]))
    model.fit(HEADERS, make_rows(50))


def test_model_error_pickles_with_its_message():
    with pytest.raises(quorvelin.ModelError) as info:
        _fit_without_column(0)
    clone = pickle.loads(pickle.dumps(info.value))
    assert type(clone) is quorvelin.ModelError
    assert str(clone) == str(info.value)


def test_worker_error_reaches_a_multiprocessing_pool():
    with multiprocessing.get_context("fork").Pool(2) as pool:
        result = pool.map_async(_fit_without_column, range(2))
        with pytest.raises(quorvelin.ModelError, match="missing"):
            result.get(timeout=60)  # a worker that could not send its error back hangs here


def test_worker_error_reaches_a_process_pool_executor():
    context = multiprocessing.get_context("fork")
    with concurrent.futures.ProcessPoolExecutor(2, mp_context=context) as pool:
        future = pool.submit(_fit_without_column, 0)
        with pytest.raises(quorvelin.ModelError, match="missing"):
            future.result(timeout=60)


# ---------------------------------------------------------------------------------------------
# Saving


@pytest.fixture
def saved(trained, tmp_path):
    path = tmp_path / "model.txt"
    trained.save(str(path))
    return trained, path


def _make_fifo(path):
    os.mkfifo(path)


def _make_socket(path):
    sock = socket.socket(socket.AF_UNIX)
    sock.bind(str(path))
    return sock


def _make_device(path):
    try:  # a copy of /dev/null's node; only root may make one
        os.mknod(path, 0o666 | stat.S_IFCHR, os.makedev(1, 3))
    except PermissionError:
        pytest.skip("making a device node needs root")


@pytest.mark.parametrize("make", [_make_fifo, _make_socket, _make_device, os.mkdir], ids=["fifo", "socket", "device", "dir"])
def test_save_refuses_a_target_that_is_not_a_regular_file(trained, tmp_path, make):
    path = tmp_path / "node"
    keep = make(path)
    before = os.lstat(path)
    with pytest.raises(quorvelin.ModelError, match="not a regular file"):
        trained.save(str(path))
    after = os.lstat(path)
    assert (after.st_mode, after.st_ino, after.st_rdev) == (before.st_mode, before.st_ino, before.st_rdev)
    assert sorted(os.listdir(tmp_path)) == ["node"]
    del keep


def test_save_through_a_symlink_keeps_the_link(saved, new_model, rows):
    model, path = saved
    link = path.parent / "link"
    link.symlink_to(path.name)
    other = new_model(seed=2)
    other.fit(HEADERS, rows)
    other.save(str(link))
    assert link.is_symlink() and os.readlink(link) == path.name
    loaded = model.load("RandomForestClassifier", str(path))
    assert loaded.predict(HEADERS, rows) == other.predict(HEADERS, rows)
    assert sorted(os.listdir(path.parent)) == ["link", "model.txt"]


_SAVE_AS_NOBODY = """
import os, sys, quorvelin
if os.geteuid() == 0:  # root may write anything; test as an ordinary user
    os.setgid(65534)
    os.setuid(65534)
model = quorvelin.CausalModel("RandomForestClassifier", {})
model = model.load("RandomForestClassifier", sys.argv[1])
try:
    model.save(sys.argv[1])
except quorvelin.ModelError as exc:
    print(exc)
"""


def test_save_refuses_a_file_the_caller_may_not_write(saved):
    model, path = saved
    # A directory anyone may write to, so only the file's own mode stands in the way.
    shared = tempfile.mkdtemp(prefix="quorvelin-perm-", dir="/tmp")
    try:
        os.chmod(shared, 0o777)
        target = os.path.join(shared, "model.txt")
        shutil.copy(path, target)
        os.chmod(target, 0o444)
        before = os.stat(target)
        out = subprocess.run([sys.executable, "-c", _SAVE_AS_NOBODY, target], capture_output=True, text=True,
                             timeout=60, env=_child_env())
        assert "Permission denied" in out.stdout, out.stderr
        after = os.stat(target)
        assert (after.st_ino, after.st_mode) == (before.st_ino, before.st_mode)
        assert os.listdir(shared) == ["model.txt"]
    finally:
        shutil.rmtree(shared)


def test_fit_refuses_duplicate_feature_names(new_model, rows):
    model = new_model(feature=["a", "b", "a"])
    with pytest.raises(quorvelin.ModelError, match="feature column a is listed more than once"):
        model.fit(HEADERS, rows)


def _child_env():
    env = dict(os.environ)
    env["PYTHONPATH"] = os.pathsep.join(p for p in sys.path if p)
    return env


def _large_model_file(trained, path, n_tree):
    """A model file of many copies of one tree: tens of MB, written in a fraction of a second."""
    trained.save(str(path))
    parts = path.read_text().split("\n\n")
    config = json.loads(parts[0])
    n_features = len(config["feature_cols"])
    config["n_tree"] = n_tree
    sections = [json.dumps(config, separators=(",", ":"))] + parts[1 : 1 + n_features]
    sections += [parts[1 + n_features]] * n_tree
    path.write_text("\n\n".join(sections) + "\n\n")


_SAVE_FOREVER = """
import sys, quorvelin
model = quorvelin.CausalModel("RandomForestClassifier", {}).load("RandomForestClassifier", sys.argv[1])
print("ready", flush=True)
while True:
    model.save(sys.argv[1])
"""


def test_save_killed_at_random_moments_leaves_the_old_file_and_nothing_else(new_model, tmp_path):
    model = new_model(n_tree=1, min_samples_leaf=1, max_depth=12)
    model.fit(HEADERS, make_rows(3000))
    path = tmp_path / "model.txt"
    _large_model_file(model, path, 300)
    content = path.read_bytes()
    assert len(content) > 10_000_000
    rng = random.Random(3)
    for _ in range(6):
        child = subprocess.Popen([sys.executable, "-c", _SAVE_FOREVER, str(path)], stdout=subprocess.PIPE,
                                 env=_child_env())
        assert child.stdout.readline() == b"ready\n"
        time.sleep(rng.uniform(0.05, 1.0))
        child.kill()
        child.wait()
        child.stdout.close()
        assert os.listdir(tmp_path) == ["model.txt"]
        assert path.read_bytes() == content
