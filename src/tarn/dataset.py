"""Data files shipped with the package (tarn/data/)."""

import json
from importlib import resources


def load_json(name):
    """The parsed JSON document of the data file `name`, such as "language.json"."""
    # Only files of the data directory itself: no paths, no escaping it.
    if not name or name in (".", "..") or "/" in name or "\\" in name:
        raise ValueError(f"not a data file name: {name!r}")
    data = resources.files(__package__).joinpath("data", name).read_bytes()
    return json.loads(data)
