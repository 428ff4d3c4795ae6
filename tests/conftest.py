"""Hypothesis settings for the whole suite. CI machines are shared and the
sanitizer run is several times slower: a deadline or the too-slow health
check would turn that slowdown into failures that say nothing about tarn."""
import functools
import importlib.util
import os
import pathlib
import sys

from hypothesis import HealthCheck, settings

settings.register_profile("tarn", deadline=None, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("sanitize", parent=settings.get_profile("tarn"), max_examples=25, derandomize=True)
settings.load_profile(os.environ.get("TARN_HYPOTHESIS_PROFILE", "tarn"))


@functools.cache
def tables():
    """tools/gen_tables.py: the reader of the tables in native/core (read_nodes, read_rules)."""
    path = pathlib.Path(__file__).resolve().parent.parent / "tools" / "gen_tables.py"
    found = importlib.util.spec_from_file_location("gen_tables", path)
    module = sys.modules[found.name] = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
