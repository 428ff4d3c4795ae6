"""What the test files share: hypothesis profiles, the message language,
source objects, the sample programs, a child interpreter and the reader of
the tables.

Hypothesis runs derandomised (a given build always sees the same examples)
and without deadlines: CI machines are shared and the sanitizer run is
several times slower, which says nothing about tarn."""
import functools
import importlib.util
import os
import subprocess
import sys
import textwrap
from pathlib import Path

import pytest
from hypothesis import HealthCheck, settings

from tarn import i18n

QUICK = os.environ.get("TARN_QUICK") == "1"
CORPUS = Path(__file__).parent / "data" / "corpus"
CORPUS_FILES = sorted(CORPUS.glob("*/*.tarn"))

settings.register_profile("tarn", deadline=None, derandomize=True, database=None, print_blob=True,
                          max_examples=100 if QUICK else 300, suppress_health_check=[HealthCheck.too_slow])
settings.register_profile("sanitize", parent=settings.get_profile("tarn"), max_examples=25)
settings.load_profile(os.environ.get("TARN_HYPOTHESIS_PROFILE", "tarn"))


@pytest.fixture(autouse=True)
def english():
    """Messages in English unless a test says otherwise."""
    i18n.set_language("en")


class Source:
    """The smallest source object: a text and a cache."""

    def __init__(self, text, cache=None):
        self.text = text
        self.cache = {} if cache is None else cache


def corpus_texts():
    """(path, text) of each sample program."""
    return [(p, p.read_text(encoding="utf-8")) for p in CORPUS_FILES]


def run_python(code):
    """Runs code in a child interpreter that imports this tarn; returns its stdout."""
    env = dict(os.environ, PYTHONPATH=os.pathsep.join(p for p in sys.path if p))
    proc = subprocess.run([sys.executable, "-c", textwrap.dedent(code)], env=env, capture_output=True, text=True)
    assert proc.returncode == 0, f"exit status {proc.returncode}:\n{proc.stdout}\n{proc.stderr}"
    return proc.stdout


@functools.cache
def tables():
    """tools/gen_tables.py: the reader of the tables in native/core (read_nodes, read_rules)."""
    path = Path(__file__).resolve().parent.parent / "tools" / "gen_tables.py"
    found = importlib.util.spec_from_file_location("gen_tables", path)
    module = sys.modules[found.name] = importlib.util.module_from_spec(found)
    found.loader.exec_module(module)
    return module
