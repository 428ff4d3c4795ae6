"""Data files shipped with the package (tarn/data/)."""

import json
import os

_DATA = os.path.join(os.path.dirname(os.path.abspath(__file__)), "data")


def load_json(name):
    """The parsed JSON document of the data file `name`, such as "language.json"."""
    # Only files of the data directory itself: no paths, no escaping it.
    if not name or name in (".", "..") or "/" in name or "\\" in name:
        raise ValueError(f"not a data file name: {name!r}")
    # A plain read: the package is never zipped (its modules are native), and
    # importlib.resources alone would cost the command line a tenth of its start-up.
    with open(os.path.join(_DATA, name), "rb") as f:
        return json.loads(f.read())
