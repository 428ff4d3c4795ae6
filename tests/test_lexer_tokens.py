"""Tokenizer behaviour: what each rule produces, positions, flags and the language tables it follows."""
import gc
import signal

import pytest

import tarn.dataset
from tarn import lexer
from tarn.lexer import Token, _LineMap, tokenize

TABLES = (lexer._language, lexer._keyword_forms, lexer._operators, lexer._operator_re)


def clear_tables():
    for table in TABLES:
        table.cache_clear()


@pytest.fixture
def language(monkeypatch):
    """Installs a language definition for one test; the shipped one is back afterwards."""

    def install(keywords=None, operators=("+", "=")):
        definition = {"keywords": {k: {"forms": list(v)} for k, v in (keywords or {}).items()},
                      "operators": list(operators)}
        monkeypatch.setattr(tarn.dataset, "load_json", lambda name: definition)
        clear_tables()

    yield install
    monkeypatch.undo()
    clear_tables()


def kv(text, **kw):
    """(kind, value) of every token but the final EOF."""
    toks = tokenize(text, **kw)
    assert toks[-1].kind == "EOF"
    return [(t.kind, t.value) for t in toks[:-1]]


class TestEndOfText:
    def test_empty_text_is_one_eof(self):
        (eof,) = tokenize("")
        assert (eof.kind, eof.value, eof.start, eof.end) == ("EOF", "", 0, 0)
        assert (eof.line, eof.col, eof.end_line, eof.end_col) == (1, 1, 1, 1)
        assert (eof.canonical, eof.subkind, eof.flags) == (None, None, {})

    def test_eof_after_crlf_lines(self):
        x, y, eof = tokenize("x\r\ny")
        assert (x.kind, x.value, x.line, x.col) == ("IDENT", "x", 1, 1)
        assert (y.start, y.line, y.col) == (3, 2, 1)
        assert (eof.start, eof.end, eof.line, eof.col, eof.end_line, eof.end_col) == (4, 4, 2, 2, 2, 2)

    def test_eof_after_final_line_break(self):
        assert tokenize("x\n")[-1].line == 2
        assert (tokenize("x\n")[-1].col, tokenize("\r")[-1].line) == (1, 2)


class TestBlanksAndOddCharacters:
    def test_bom_anywhere(self):
        assert kv("\ufeffa\ufeff") == [("BOM", "\ufeff"), ("IDENT", "a"), ("BOM", "\ufeff")]
        assert [t.start for t in tokenize("\ufeffa\ufeff")] == [0, 1, 2, 3]

    @pytest.mark.parametrize("ch", ["\u00a0", "\f", "\v", "\u0085", "\u2028", "\u3000", "\x00"])
    def test_other_white_space_is_unknown(self, ch):
        assert kv(f"a{ch}b") == [("IDENT", "a"), ("UNKNOWN", ch), ("IDENT", "b")]

    def test_only_crlf_cr_lf_break_lines(self):
        toks = tokenize("a\u2028b\u0085c\fd\ve")
        assert {t.line for t in toks} == {1}
        assert [t.line for t in tokenize("a\n\rb\r\nc\rd")] == [1, 3, 4, 5, 5]

    def test_blanks_are_skipped(self):
        assert kv(" \t a \t") == [("IDENT", "a")]

    @pytest.mark.parametrize("ch", ["\u00d7", "\ud55c", "\U0001f600", "\ud800"])
    def test_unlisted_characters_are_unknown(self, ch):
        assert kv(ch) == [("UNKNOWN", ch)]


class TestComments:
    def test_line_comment_stops_before_the_break(self):
        c, x = tokenize("// c\r\nx")[:2]
        assert (c.kind, c.value, c.subkind, c.end) == ("COMMENT", "// c", "line", 4)
        assert (x.value, x.start, x.line) == ("x", 6, 2)

    @pytest.mark.parametrize("text,style", [("/**/", "block"), ("/***/", "doc"), ("/** d */", "doc"),
                                            ("/* x */", "block"), ("/*/ */", "block")])
    def test_block_comment_styles(self, text, style):
        (c,) = tokenize(text)[:-1]
        assert (c.kind, c.value, c.subkind, c.flags) == ("COMMENT", text, style, {})

    def test_unterminated_block_comment_runs_to_the_end(self):
        (c,) = tokenize("/* a\n b")[:-1]
        assert (c.subkind, c.flags, c.end, c.end_line, c.end_col) == ("block", {"unterminated": True}, 7, 2, 3)
        assert tokenize("/**")[0].subkind == "doc"
        assert tokenize("/*/")[0].flags == {"unterminated": True}

    def test_block_comments_do_not_nest(self):
        assert kv("/* /* */ x */") == [("COMMENT", "/* /* */"), ("IDENT", "x"), ("OP", "*"), ("OP", "/")]

    def test_lone_slash_is_an_operator(self):
        assert kv("a/b") == [("IDENT", "a"), ("OP", "/"), ("IDENT", "b")]
        assert kv("/") == [("OP", "/")]


class TestStrings:
    def test_two_closed_strings(self):
        toks = tokenize('"a" "b"')[:-1]
        assert [(t.kind, t.value, t.flags) for t in toks] == [("STRING", '"a"', {}), ("STRING", '"b"', {})]

    @pytest.mark.parametrize("text", ['"${a}${b}"', '"x ${ "}" } y"', '"$${x}"', '"%{ {a} }"',
                                      '"a\\"b"', '"line\nbreak"', '"${ "${ x }" }"'])
    def test_single_closed_string(self, text):
        (s,) = tokenize(text)[:-1]
        assert (s.kind, s.value, s.flags) == ("STRING", text, {})

    @pytest.mark.parametrize("text", ['"%{"', "\"${ '\"' }\" x", '"abc\\', '"abc', '"${'])
    def test_unterminated_string_runs_to_the_end(self, text):
        (s,) = tokenize(text)[:-1]
        assert (s.kind, s.value, s.end, s.flags) == ("STRING", text, len(text), {"unterminated": True})

    def test_deep_interpolation_nesting(self):
        depth = 100_000
        closed = '"' + '${"' * depth + '"}' * depth + '"'
        (s,) = tokenize(closed)[:-1]
        assert (s.end, s.flags) == (len(closed), {})
        (u,) = tokenize('"${' * depth)[:-1]
        assert u.flags == {"unterminated": True}


class TestPatterns:
    def test_unterminated_at_the_end(self):
        (p,) = tokenize("'ab")[:-1]
        assert (p.kind, p.value, p.flags) == ("PATTERN", "'ab", {"unterminated": True})

    def test_stops_at_a_line_break(self):
        p, b, q = tokenize("'a\nb'")[:-1]
        assert (p.value, p.flags) == ("'a", {"unterminated": True})
        assert (b.kind, b.value, b.line) == ("IDENT", "b", 2)
        assert (q.value, q.flags) == ("'", {"unterminated": True})

    @pytest.mark.parametrize("text", ["'a\\\nb'", "'a\\\r\nb'", "'a\\'b'", "'$'"])
    def test_escaped_breaks_and_quotes_stay_inside(self, text):
        (p,) = tokenize(text)[:-1]
        assert (p.value, p.flags) == (text, {})

    def test_escape_at_the_end(self):
        (p,) = tokenize("'a\\")[:-1]
        assert (p.value, p.end, p.flags) == ("'a\\", 3, {"unterminated": True})


class TestNumbers:
    @pytest.mark.parametrize("text,number", [
        ("1px", "1px"), ("2x2", "2x2"), ("0x1F", "0x1F"), ("1e10", "1e10"), ("12px.5", "12px"), ("12", "12"),
        ("12.5", "12.5"), ("12.5px", "12.5"), ("12.3.4", "12.3"), ("1.", "1"), ("1_000", "1"), ("12abc", "12abc"),
        ("1.5e3", "1.5"), ("7я", "7я"), ("3×", "3"),
    ])
    def test_number_text(self, text, number):
        first = tokenize(text)[0]
        assert (first.kind, first.value) == ("NUMBER", number)

    def test_what_follows_a_number(self):
        assert kv("1.5e3") == [("NUMBER", "1.5"), ("IDENT", "e3")]
        assert kv("12_a") == [("NUMBER", "12"), ("IDENT", "_a")]

    @pytest.mark.parametrize("text", ["١٢3", "²³4", "０１2", "\U0001d7ce\U0001d7cf5"])
    def test_other_digits_are_one_code_point_numbers(self, text):
        assert kv(text) == [("NUMBER", c) for c in text]


class TestIdentifiersAndKeywords:
    def test_keyword_forms_are_case_sensitive(self):
        toks = tokenize("если Если ЕСЛИ")[:-1]
        assert [(t.kind, t.canonical) for t in toks] == [("KEYWORD", "IF"), ("KEYWORD", "IF"), ("IDENT", None)]

    def test_only_whole_identifiers_are_keywords(self):
        assert kv("еслиx если_ _если") == [("IDENT", "еслиx"), ("IDENT", "если_"), ("IDENT", "_если")]

    def test_letter_ranges(self):
        assert kv("ab\u00c0\u00d7") == [("IDENT", "ab\u00c0"), ("UNKNOWN", "\u00d7")]
        assert kv("\u3d2d\u3d2e") == [("IDENT", "\u3d2d"), ("UNKNOWN", "\u3d2e")]
        assert kv("_\u4e00\uf900x9") == [("IDENT", "_\u4e00\uf900x9")]

    def test_canonical_is_the_form_maps_object(self):
        kw = tokenize("метод")[0]
        assert kw.canonical is lexer._keyword_forms()["метод"]
        assert repr(kw) == "<KEYWORD METHOD 'метод' @1:1>"


class TestOperators:
    def test_longest_listed_operator(self):
        assert kv("x+=1") == [("IDENT", "x"), ("OP", "+="), ("NUMBER", "1")]
        assert kv("a?.b??c") == [("IDENT", "a"), ("OP", "?."), ("IDENT", "b"), ("OP", "??"), ("IDENT", "c")]
        assert kv("**=") == [("OP", "**"), ("OP", "=")]
        assert kv(">>") == [("OP", ">"), ("OP", ">")]

    def test_operators_from_the_definition(self, language):
        language(operators=["×", "<=>", "<", "=", "a+", "//", "\"'"])
        assert kv("1×2 <=> <= a+") == [("NUMBER", "1"), ("OP", "×"), ("NUMBER", "2"), ("OP", "<=>"),
                                       ("OP", "<"), ("OP", "="), ("IDENT", "a"), ("UNKNOWN", "+")]
        # Earlier rules claim comments and literals whatever the operator list says.
        assert [t.kind for t in tokenize("// x")[:-1]] == ["COMMENT"]
        assert [t.kind for t in tokenize("\"'")[:-1]] == ["STRING"]

    def test_later_form_wins_and_empty_forms_give_nothing(self, language):
        language(keywords={"IF": ["когда", "если"], "WHEN": ["когда"], "NEVER": []})
        assert [t.canonical for t in tokenize("когда если")[:-1]] == ["WHEN", "IF"]
        assert "NEVER" not in {t.canonical for t in tokenize("never никогда")}

    def test_forms_that_are_not_identifiers_never_match(self, language):
        language(keywords={"BAD": ["a b", "a-b", "1a", ""], "OK": ["ok"]})
        assert [(t.kind, t.canonical) for t in tokenize("a b a-b 1a ok")[:-1]] == [
            ("IDENT", None), ("IDENT", None), ("IDENT", None), ("UNKNOWN", None), ("IDENT", None),
            ("NUMBER", None), ("KEYWORD", "OK")]

    def test_forms_mapped_to_none_are_identifiers(self, language):
        language(keywords={"IF": ["если"]})
        lexer._keyword_forms()["если"] = None
        assert tokenize("если")[0].kind == "IDENT"


class TestFlags:
    def test_each_token_owns_its_flags(self):
        a, b = tokenize("a b")[:2]
        assert a.flags == {} and a.flags is not b.flags
        a.flags["x"] = 1
        assert b.flags == {}

    def test_unterminated_flag_is_true(self):
        flags = tokenize('"abc')[0].flags
        assert flags == {"unterminated": True} and flags["unterminated"] is True
        assert tokenize('"abc')[0].flags is not tokenize('"abc')[0].flags


class TestTextStorage:
    @pytest.mark.parametrize("wide", ["", "é", "ж", "\U0001f600"])
    def test_same_tokens_in_every_storage_width(self, wide):
        # The prefix decides whether the host stores 1, 2 or 4 bytes per code point.
        base = 'метод f(x) "s${y}" // c\n  1.5 \'p\' /* d */ x+=2'
        toks = tokenize(f"//{wide}\n" + base)[1:]
        plain = tokenize("//\n" + base)[1:]
        shift = 1 if wide else 0
        assert [(t.kind, t.value, t.start - shift, t.line, t.col) for t in toks] == \
               [(t.kind, t.value, t.start, t.line, t.col) for t in plain]

    def test_values_are_plain_str_from_a_str_subclass(self):
        class Text(str):
            pass

        toks = tokenize(Text("ab 1"))
        assert [type(t.value) for t in toks] == [str, str, str]

    def test_positions_count_code_points(self):
        toks = tokenize("\U0001f600 x\n😀y")
        assert [(t.kind, t.start, t.line, t.col) for t in toks] == [
            ("UNKNOWN", 0, 1, 1), ("IDENT", 2, 1, 3), ("UNKNOWN", 4, 2, 1), ("IDENT", 5, 2, 2), ("EOF", 6, 2, 3)]


class TestGivenLineMap:
    def test_line_map_is_used_as_it_is(self):
        lm = _LineMap("one\ntwo\nthree")
        toks = tokenize("a b", lm)
        assert [(t.line, t.col) for t in toks] == [lm.linecol(t.start) for t in toks]
        assert tokenize("x\ny", lm=_LineMap("x\ny")) == tokenize("x\ny")

    @pytest.mark.parametrize("starts", [[0, 2**70], [-(2**70), 0, 3], [False, True, 3], [5, 1, 3, 0], [2**63 - 1]])
    def test_any_int_starts_give_what_linecol_gives(self, starts):
        lm = _LineMap("")
        lm._starts = starts
        toks = tokenize("a b c", lm)
        assert [(t.line, t.col, t.end_line, t.end_col) for t in toks] == [
            lm.linecol(t.start) + lm.linecol(t.end) for t in toks]
        assert all(type(v) is int for t in toks for v in (t.line, t.col, t.end_line, t.end_col))

    def test_starts_giving_floats_fail_as_the_constructor_would(self):
        lm = _LineMap("")
        lm._starts = [0, 2.5]
        assert lm.linecol(3) == (2, 1.5)
        with pytest.raises(TypeError, match="int object expected; got float"):
            tokenize("a b ", lm)

    def test_starts_as_a_list_subclass(self):
        class Starts(list):
            pass

        lm = _LineMap("")
        lm._starts = Starts([0, 2])
        assert [(t.line, t.col) for t in tokenize("a\nb", lm)] == [(1, 1), (2, 1), (2, 2)]

    def test_host_errors_of_odd_starts(self):
        lm = _LineMap("")
        lm._starts = []
        with pytest.raises(IndexError):
            tokenize("a", lm)
        lm._starts = [0, "x"]
        with pytest.raises(TypeError, match="'<' not supported"):
            tokenize("a", lm)
        with pytest.raises(AttributeError, match="attribute '_starts' of '_LineMap' undefined"):
            tokenize("a", _LineMap.__new__(_LineMap))

    def test_keyword_with_bad_canonical_and_bad_positions_reports_positions_first(self, language):
        language(keywords={"IF": ["если"]})
        lexer._keyword_forms()["если"] = 5  # changed in place: noticed as well
        lm = _LineMap("")
        lm._starts = [0.5]
        with pytest.raises(TypeError, match="int object expected; got float"):
            tokenize("если", lm)
        with pytest.raises(TypeError, match=r"str or None object expected; got int"):
            tokenize("если")


class TestInterrupt:
    def test_ctrl_c_while_building_a_long_list(self):
        class Source:
            text = "a + 1 " * 400_000
            cache = {}

        def interrupt(signum, frame):
            raise KeyboardInterrupt

        # Without collections no gc callback (hypothesis installs one) can run
        # the handler where the host would swallow its exception.
        gc.disable()
        old = signal.signal(signal.SIGALRM, interrupt)
        try:
            signal.setitimer(signal.ITIMER_REAL, 0.002)
            with pytest.raises(KeyboardInterrupt):
                lexer.tokens(Source)
        finally:
            signal.setitimer(signal.ITIMER_REAL, 0)
            signal.signal(signal.SIGALRM, old)
            gc.enable()
        assert "tokens" not in Source.cache
        assert len(tokenize("a + 1")) == 4
