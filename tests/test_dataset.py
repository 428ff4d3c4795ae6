"""tarn.dataset: the data files shipped in the package."""
import json
import pathlib

import pytest

import tarn
import tarn.dataset
from tarn.dataset import load_json


@pytest.fixture
def data_dir(monkeypatch, tmp_path):
    """A stand-in data directory the test fills."""
    (tmp_path / "data").mkdir()
    monkeypatch.setattr(tarn.dataset, "_DATA", str(tmp_path / "data"))
    return tmp_path / "data"


def test_language_definition_is_shipped(capsys):
    definition = load_json("language.json")
    shipped = pathlib.Path(tarn.__file__).parent / "data" / "language.json"
    assert definition == json.loads(shipped.read_text(encoding="utf-8"))
    assert {"keywords", "operators"} <= set(definition)
    assert capsys.readouterr() == ("", "")


def test_each_call_parses_afresh():
    first = load_json("language.json")
    first["keywords"].clear()
    assert load_json("language.json")["keywords"]


def test_missing_file():
    with pytest.raises(FileNotFoundError):
        load_json("no-such-file.json")


@pytest.mark.parametrize("name", ["", ".", "..", "../pyproject.toml", "data/language.json", "a\\b.json"])
def test_only_plain_file_names(name):
    with pytest.raises(ValueError, match="not a data file name"):
        load_json(name)


def test_malformed_json_propagates(data_dir):
    (data_dir / "bad.json").write_text('{"keywords": ', encoding="utf-8")
    with pytest.raises(json.JSONDecodeError):
        load_json("bad.json")


def test_encodings_json_allows(data_dir):
    (data_dir / "bom.json").write_bytes(b'\xef\xbb\xbf{"a": "\xd0\xb6"}')
    (data_dir / "utf16.json").write_bytes('{"a": "ж"}'.encode("utf-16"))
    assert load_json("bom.json") == load_json("utf16.json") == {"a": "ж"}
