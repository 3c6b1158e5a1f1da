"""The module on the free-threaded interpreter (3.13t): it runs without the GIL."""
import os
import subprocess
import sys
import sysconfig

import pytest

pytestmark = pytest.mark.skipif(not sysconfig.get_config_var("Py_GIL_DISABLED"),
                                reason="needs the free-threaded interpreter (3.13t)")

# Importing a module that has not declared it runs without the GIL turns the GIL back on for
# the whole process, with a RuntimeWarning; -W error makes that warning fail the import.
IMPORT_SCRIPT = "import sys; before = sys._is_gil_enabled(); import korvo_mesh; print(before, sys._is_gil_enabled())"


def test_import_keeps_the_gil_disabled():
    env = {k: v for k, v in os.environ.items() if k != "PYTHON_GIL"}
    done = subprocess.run([sys.executable, "-W", "error", "-c", IMPORT_SCRIPT],
                          capture_output=True, text=True, env=env, timeout=60)
    assert (done.returncode, done.stderr) == (0, "")
    assert done.stdout == "False False\n"
