# Lets the tests and the examples here run straight from the source tree: the package is
# found without being installed, and its pytest plugin is loaded (once: an installed copy
# registers under the same name).
import sys
from pathlib import Path

try:
    import displayhead  # noqa: F401
except ImportError:
    sys.path.insert(0, str(Path(__file__).resolve().parent))

pytest_plugins = ["displayhead.pytest_plugin", "pytester"]
