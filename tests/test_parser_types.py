"""Type expressions, read through module constants ("val x: TYPE") and, for
the speculative rules, through the parser object directly."""
import pytest

from tarn import i18n
from tarn.lexer import tokenize
from tarn.parser import ObjectField, TypeRef, _Parser, parse_text

PREFIX = "val x: "
BASE = len(PREFIX)


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def read_type(text):
    """(TypeRef or None, diagnostics as (start, end, message)) for text after "val x: "."""
    module, errors = parse_text(PREFIX + text)
    field = module.members[0]
    assert isinstance(field, ObjectField)
    return field.type, [(e.start, e.end, e.message) for e in errors]


def diag(offset, width, key):
    return (BASE + offset, BASE + offset + width, i18n.t(key))


def whole(text, names, nullable=False):
    """The TypeRef of a type that spans all of text."""
    return TypeRef(BASE, BASE + len(text), text.replace(" ", ""), names, nullable)


class TestNamedTypes:
    def test_simple_name(self):
        assert read_type("Строка") == (whole("Строка", ["Строка"]), [])

    def test_qualified_and_dotted_names_give_their_first_part(self):
        assert read_type("A::B::C") == (whole("A::B::C", ["A"]), [])
        assert read_type("A.B.C") == (whole("A.B.C", ["A"]), [])

    def test_spacing_never_appears_in_text(self):
        typ, errors = read_type("A :: B . C < D , E > ? | F")
        assert errors == []
        assert typ == whole("A :: B . C < D , E > ? | F", ["A", "F"], True)

    def test_comments_never_appear_in_text(self):
        typ, errors = read_type("A</* c */B>")
        assert errors == []
        assert typ == TypeRef(BASE, BASE + 11, "A<B>", ["A"])

    def test_dangling_colons_stay_consumed(self):
        typ, errors = read_type("A::")
        assert errors == []
        assert typ == whole("A::", ["A"])

    def test_undefined_starts_and_continues_a_name(self):
        assert read_type("undefined") == (whole("undefined", ["undefined"]), [])
        assert read_type("A.undefined") == (whole("A.undefined", ["A"]), [])

    def test_name_keywords_continue_a_dotted_name(self):
        assert read_type("A.type.step") == (whole("A.type.step", ["A"]), [])

    def test_capitalised_statement_keyword_does_not_follow_a_dot(self):
        typ, errors = read_type("A.If")
        assert typ == whole("A", ["A"])
        assert errors == [diag(1, 1, "parser.expected-module-member")]

    def test_capitalised_statement_keyword_starts_a_name(self):
        assert read_type("If") == (whole("If", ["If"]), [])


class TestGenericArguments:
    def test_arguments_belong_to_the_text_only(self):
        assert read_type("Map<K, List<V>>") == (whole("Map<K, List<V>>", ["Map"]), [])

    def test_named_arguments(self):
        assert read_type("Map<key = K, value = V>") == (whole("Map<key = K, value = V>", ["Map"]), [])

    def test_empty_list_is_left_to_the_caller(self):
        typ, errors = read_type("A<> ")
        assert typ == whole("A", ["A"])
        assert errors == [diag(1, 1, "parser.expected-module-member")]

    def test_non_type_argument_rolls_back_without_trace(self):
        typ, errors = read_type("A<5>")
        assert typ == whole("A", ["A"])
        assert errors == [diag(1, 1, "parser.expected-module-member")]

    def test_unclosed_list_rolls_back_without_trace(self):
        typ, errors = read_type("A<B, C")
        assert typ == whole("A", ["A"])
        assert errors == [diag(1, 1, "parser.expected-module-member")]

    def test_long_unclosed_chain(self):
        # Every "<" opens a list that can never close; each attempt must be
        # given up without trace (and without time growing with the square).
        typ, errors = read_type("A" + "<A" * 3000)
        assert typ == whole("A", ["A"])
        assert errors == [diag(1, 1, "parser.expected-module-member")]


class TestMembers:
    def test_lone_question_mark(self):
        assert read_type("?") == (whole("?", [], True), [])

    def test_nine_token_union(self):
        assert read_type("A.B<C>?|D") == (whole("A.B<C>?|D", ["A", "D"], True), [])

    def test_question_mark_members_contribute_no_name(self):
        assert read_type("?|A|?") == (whole("?|A|?", ["A"], True), [])

    def test_function_type(self):
        assert read_type("(A, B) -> C") == (whole("(A, B) -> C", ["(func)"]), [])

    def test_function_type_without_parameters_or_with_trailing_comma(self):
        assert read_type("() -> C") == (whole("() -> C", ["(func)"]), [])
        assert read_type("(A,) -> C") == (whole("(A,) -> C", ["(func)"]), [])

    def test_function_type_missing_result_still_stands(self):
        typ, errors = read_type("(A) ->")
        assert typ == whole("(A) ->", ["(func)"])
        assert errors == [(BASE + 6, BASE + 7, i18n.t("parser.expected-type-name"))]

    def test_grouped_type_gives_inner_names(self):
        assert read_type("(A | B)") == (whole("(A | B)", ["A", "B"]), [])

    def test_grouped_nullable_is_not_carried_out(self):
        assert read_type("(A?)") == (whole("(A?)", ["A"], False), [])
        assert read_type("(A?)?") == (whole("(A?)?", ["A"], True), [])

    def test_nested_groups_inside_a_union(self):
        assert read_type("((A|B))|C|(D)") == (whole("((A|B))|C|(D)", ["A", "B", "C", "D"]), [])

    def test_union_of_function_types(self):
        assert read_type("(A) -> B | C") == (whole("(A) -> B | C", ["(func)"]), [])

    def test_trailing_bar_is_accepted(self):
        typ, errors = read_type("A|")
        assert (typ, errors) == (whole("A|", ["A"]), [])

    def test_group_without_names_followed_by_bar(self):
        # A member was read, so the type stands even though no name was found
        # and nothing follows the "|": nothing consumed is ever given back.
        typ, errors = read_type("(?)|")
        assert (typ, errors) == (whole("(?)|", []), [])


class TestKeywordTypes:
    @pytest.mark.parametrize("word", ["void", "never", "unknown", "ничто", "никогда", "неизвестно"])
    def test_stand_alone(self, word):
        assert read_type(word) == (whole(word, [word]), [])

    def test_nothing_after_a_keyword_type_belongs_to_it(self):
        typ, errors = read_type("void?")
        assert typ == whole("void", ["void"])
        assert errors == [diag(4, 1, "parser.expected-module-member")]

    def test_not_a_member_after_bar(self):
        typ, errors = read_type("A|void")
        assert typ == whole("A|", ["A"])
        assert errors == [diag(2, 4, "parser.expected-module-member")]


class TestMissingType:
    def test_reported_at_the_start_and_nothing_consumed(self):
        typ, errors = read_type("(5)")
        assert typ is None
        assert errors == [diag(0, 1, "parser.expected-type-name"), diag(0, 1, "parser.expected-module-member")]

    def test_at_end_of_file(self):
        typ, errors = read_type("")
        assert typ is None
        assert errors == [diag(0, 1, "parser.expected-type-name")]

    def test_unclosed_parentheses_report_once(self):
        depth = 300
        typ, errors = read_type("(" * depth + "A")
        assert typ is None
        assert errors == [diag(0, 1, "parser.expected-type-name"), diag(0, 1, "parser.expected-module-member")]

    def test_deep_parentheses_are_read(self):
        depth = 200
        typ, errors = read_type("(" * depth + "A|B" + ")" * depth)
        assert errors == []
        assert typ == whole("(" * depth + "A|B" + ")" * depth, ["A", "B"])

    def test_too_deep_nesting_is_refused(self):
        with pytest.raises(RecursionError):
            parse_text(PREFIX + "(" * 5000 + "A" + ")" * 5000)


class TestDirectCalls:
    """The rules called on the parser object keep their written behaviour."""

    def test_generic_type_args_consumes_what_it_reads(self):
        p = _Parser(tokenize("<A, B"))
        assert p.generic_type_args() is False
        assert p.pos == 4

    def test_generic_type_args_named_only_when_allowed(self):
        p = _Parser(tokenize("<k = A>"))
        assert p.generic_type_args(True) is True
        p = _Parser(tokenize("<k = A>"))
        assert p.generic_type_args() is False

    def test_type_name_rolls_back_an_unclosed_list(self):
        p = _Parser(tokenize("X<A, B"))
        assert p.type_name() == ("X", "X")
        assert p.pos == 1
        assert p.errors == []

    def test_type_name_of_function_type(self):
        p = _Parser(tokenize("(A) -> B"))
        assert p.type_name() == ("(func)", "(A)->B")

    def test_type_name_none(self):
        p = _Parser(tokenize("5"))
        assert p.type_name() is None
        assert p.pos == 0

    def test_grouped_type_leaves_no_trace(self):
        p = _Parser(tokenize("(A"))
        assert p.grouped_type() is None
        assert (p.pos, p.errors) == (0, [])

    def test_compound_type_twice_at_one_place(self):
        # The memo must hand out equal results and replay the reports.
        p = _Parser(tokenize("(5"))
        assert p.compound_type() is None
        first = list(p.errors)
        assert p.compound_type() is None
        assert p.errors == first + first
