"""The module's build matches its interpreter: the stable ABI under a GIL build, the interpreter's own
ABI under a free-threaded one, where importing it must leave the GIL disabled. Arguments that could
change under a running call are refused however busily another thread changes them."""
import os
import subprocess
import sys
import sysconfig
import threading
from pathlib import Path

import pytest

import halyx_verifier as hv
from conftest import ARGUMENT_NAMES

FREE_THREADED = bool(sysconfig.get_config_var("Py_GIL_DISABLED"))


def test_module_is_built_for_this_interpreters_abi():
    # A free-threaded interpreter cannot load an abi3 module, and a GIL build should get the one
    # build that serves every CPython 3.11+.
    want = sysconfig.get_config_var("EXT_SUFFIX") if FREE_THREADED else ".abi3.so"
    assert Path(hv.__file__).name == "__init__" + want


@pytest.mark.skipif(not FREE_THREADED, reason="only a free-threaded CPython can run without the GIL")
def test_import_leaves_the_gil_disabled():
    assert not sys._is_gil_enabled()
    # In a fresh interpreter, where nothing else was imported first, and without PYTHON_GIL, which
    # would decide the question itself. A module that does not declare itself safe without the GIL
    # turns it on as it loads, with a RuntimeWarning that -W error makes fatal.
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    env["PYTHONPATH"] = str(Path(hv.__file__).parents[1])
    child = subprocess.run(
        [sys.executable, "-W", "error", "-c",
         "import sys; before = sys._is_gil_enabled(); import halyx_verifier; print(before, sys._is_gil_enabled())"],
        env=env, cwd="/", capture_output=True, text=True, timeout=60)
    assert (child.returncode, child.stdout, child.stderr) == (0, "False False\n", "")


@pytest.mark.parametrize("parameter", ARGUMENT_NAMES)
def test_a_bytearray_changed_by_another_thread_is_refused(valid_call, parameter):
    # The bytes are taken only from immutable objects, so nothing another thread does to a mutable
    # buffer can reach a call: not a change of its contents, nor a resize that moves them.
    buffer = bytearray(valid_call[parameter])
    size = len(buffer)
    stop = threading.Event()

    def change():
        while not stop.is_set():
            buffer.extend(bytes(1 << 16))
            del buffer[size:]
            buffer[0] ^= 1

    want = ("TypeError", f"argument '{parameter}': 'bytearray' object is not an instance of 'bytes'")
    outcomes = []

    def call():
        for _ in range(300):
            try:
                hv.verify_inclusion(**{**valid_call, parameter: buffer})
                outcomes.append(("returned",))
            except Exception as e:  # noqa: BLE001 - every outcome is compared below
                outcomes.append((type(e).__name__, str(e)))

    changer = threading.Thread(target=change)
    callers = [threading.Thread(target=call) for _ in range(2)]
    changer.start()
    for t in callers:
        t.start()
    for t in callers:
        t.join()
    stop.set()
    changer.join()
    assert outcomes == [want] * 600
