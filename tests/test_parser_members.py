"""Module members: the member loop, imports, annotations, methods and their
parameters, structures, enumerations, module constants, and the reports of
unterminated literals and comments."""
import pytest

from tarn import i18n
from tarn.parser import (
    Annotation,
    Constructor,
    Enum,
    EnumItem,
    Import,
    Literal,
    Method,
    Module,
    Name,
    ObjectField,
    Param,
    Structure,
    TypeRef,
    parse_text,
)


@pytest.fixture(autouse=True)
def english():
    i18n.set_language("en")


def parse(src):
    module, errors = parse_text(src)
    return module, [(e.start, e.end, e.message) for e in errors]


def at(src, needle, occurrence=1):
    """Offset of the given occurrence of needle in src."""
    i = -1
    for _ in range(occurrence):
        i = src.index(needle, i + 1)
    return i


def diag(src, needle, key, occurrence=1, width=None):
    start = at(src, needle, occurrence)
    return (start, start + (len(needle) if width is None else width), i18n.t(key))


def name(src, text, occurrence=1):
    start = at(src, text, occurrence)
    return Name(start, start + len(text), text)


def number(src, text, occurrence=1):
    start = at(src, text, occurrence)
    return Literal(start, start + len(text), "NUMBER", text)


def simple_type(src, text, occurrence=1):
    start = at(src, text, occurrence)
    return TypeRef(start, start + len(text), text, [text], False)


def eof(src, key):
    return (len(src), len(src) + 1, i18n.t(key))


# ---------------------------------------------------------------- the member loop


class TestModule:
    def test_empty_source(self):
        assert parse("") == (Module(0, 0, [], []), [])

    def test_blank_source_spans_the_eof_token(self):
        assert parse("  \n\t ") == (Module(5, 5, [], []), [])

    def test_only_comments(self):
        src = "// one\n/* two */ "
        assert parse(src) == (Module(len(src), len(src), [], []), [])

    def test_module_starts_at_first_token(self):
        src = "  /* c */ const K"
        module, errors = parse(src)
        assert (module.start, module.end) == (at(src, "const"), len(src))
        assert errors == []

    def test_hash_line_disappears(self):
        src = "# anything ( here ;\nconst K"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [ObjectField(at(src, "const"), len(src), "CONST", "K", None, None)]

    def test_hash_line_mid_module(self):
        src = "const A\n# x y\nconst B"
        module, errors = parse(src)
        assert errors == []
        assert [m.name for m in module.members] == ["A", "B"]

    def test_trailing_garbage_is_one_report(self):
        src = "method m() ;\nx y ( z"
        module, errors = parse(src)
        assert errors == [diag(src, "x", "parser.expected-module-member")]
        assert len(module.members) == 1

    def test_recovery_stops_at_member_keyword_and_at_sign(self):
        src = "x y\nconst A\nz\n@B const C"
        module, errors = parse(src)
        assert errors == [
            diag(src, "x", "parser.expected-module-member"),
            diag(src, "z", "parser.expected-module-member"),
        ]
        assert [m.name for m in module.members] == ["A", "C"]

    def test_stray_semicolon_after_abstract_method(self):
        src = "abstract method m() ;"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-module-member")]
        assert module.members == [Method(0, at(src, ")") + 1, "m", [], None, [], False, True)]


# ---------------------------------------------------------------- imports


class TestImport:
    def test_qualified_name(self):
        src = "import a::b::c"
        assert parse(src) == (Module(0, len(src), [Import(0, len(src), "a::b::c")], []), [])

    def test_russian_keyword_and_spacing(self):
        src = "импорт Ядро :: Строки"
        module, errors = parse(src)
        assert errors == []
        assert module.imports == [Import(0, len(src), "Ядро::Строки")]

    def test_missing_name(self):
        src = "import\nval K"
        module, errors = parse(src)
        assert errors == [diag(src, "val", "parser.expected-import-name")]
        assert module.imports == [Import(0, 6, "")]
        assert len(module.members) == 1

    def test_missing_part_after_colons(self):
        src = "import a::"
        module, errors = parse(src)
        assert errors == [eof(src, "parser.expected-import-name")]
        assert module.imports == [Import(0, len(src), "a")]

    def test_imports_and_members_kept_apart(self):
        src = "import a\nconst K\nimport b"
        module, errors = parse(src)
        assert errors == []
        assert [i.name for i in module.imports] == ["a", "b"]
        assert [m.name for m in module.members] == ["K"]


# ---------------------------------------------------------------- annotations


class TestAnnotations:
    def test_member_starts_at_first_annotation(self):
        src = "@A @B::C const K"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [
            ObjectField(0, len(src), "CONST", "K", None, None, False,
                        [Annotation(0, 2, "A", []), Annotation(3, 8, "B::C", [])])
        ]

    def test_argument_shapes(self):
        src = "@A(1, , k = 2, @B(3)) const K"
        module, errors = parse(src)
        assert errors == []
        [annotation] = module.members[0].annotations
        assert annotation == Annotation(0, at(src, ")", 2) + 1, "A",
                                        [number(src, "1"), None, number(src, "2"), None])

    def test_named_argument_keeps_only_the_value(self):
        src = "@A(k = v) const K"
        module, errors = parse(src)
        assert errors == []
        assert module.members[0].annotations[0].args == [name(src, "v")]

    def test_empty_arguments(self):
        src = "@A() const K"
        module, _ = parse(src)
        assert module.members[0].annotations == [Annotation(0, 4, "A", [])]

    def test_missing_closing_paren(self):
        src = "@A(1 const K"
        module, errors = parse(src)
        assert errors == [diag(src, "const", "parser.expected-rparen-annotation", width=5)]
        assert module.members[0].annotations == [Annotation(0, 4, "A", [number(src, "1")])]

    def test_arguments_on_next_line_are_not_taken(self):
        src = "@A\n(x) const K"
        module, errors = parse(src)
        assert errors == [
            diag(src, "(", "parser.annotation-needs-member"),
            diag(src, "(", "parser.expected-module-member"),
        ]
        assert module.members == [ObjectField(at(src, "const"), len(src), "CONST", "K", None, None)]

    def test_nameless_annotation_ends_the_list(self):
        src = "@ @X const K"
        module, errors = parse(src)
        assert errors == [diag(src, "@", "parser.annotation-needs-member", occurrence=2)]
        assert module.members == [
            ObjectField(2, len(src), "CONST", "K", None, None, False, [Annotation(2, 4, "X", [])])
        ]

    def test_annotation_without_member(self):
        src = "@A\n5\nconst K"
        module, errors = parse(src)
        assert errors == [
            diag(src, "5", "parser.annotation-needs-member"),
            diag(src, "5", "parser.expected-module-member"),
        ]
        assert module.members[0].annotations == []

    def test_annotation_at_end_of_file(self):
        src = "@A"
        module, errors = parse(src)
        assert errors == [eof(src, "parser.annotation-needs-member")]
        assert module == Module(0, 2, [], [])

    def test_nested_annotations_are_bounded(self):
        depth = 5000
        src = "@A(" * depth + ")" * depth + " const K"
        with pytest.raises(RecursionError):
            parse_text(src)

    def test_moderately_nested_annotations(self):
        src = "@A(" * 50 + ")" * 50 + " const K"
        module, errors = parse(src)
        assert errors == []
        assert module.members[0].annotations[0].args == [None]


# ---------------------------------------------------------------- methods


class TestMethod:
    def test_full_signature(self):
        src = "method m(a: T, b = 1) : R\n;"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [
            Method(0, len(src), "m",
                   [Param(at(src, "a"), at(src, "T") + 1, "a", simple_type(src, "T"), None),
                    Param(at(src, "b"), at(src, "1") + 1, "b", None, number(src, "1"))],
                   simple_type(src, "R"), [])
        ]

    def test_modifier_orders(self):
        src = "abstract static method a()\nstatic abstract method b()\nstatic method c() ;"
        module, errors = parse(src)
        assert errors == []
        assert [(m.name, m.is_static, m.is_abstract) for m in module.members] == [
            ("a", False, True), ("b", True, True), ("c", True, False)]

    def test_abstract_method_has_no_body(self):
        src = "abstract method m(): void\nconst K"
        module, errors = parse(src)
        assert errors == []
        method, const = module.members
        assert method == Method(0, at(src, "void") + 4, "m", [],
                                TypeRef(at(src, "void"), at(src, "void") + 4, "void", ["void"]), [], False, True)
        assert const.name == "K"

    def test_parameters_without_commas(self):
        src = "method m(a b: T c) ;"
        module, errors = parse(src)
        assert errors == []
        assert [p.name for p in module.members[0].params] == ["a", "b", "c"]

    def test_parameter_annotations(self):
        src = "method m(@A x) ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members[0].params == [
            Param(at(src, "@"), at(src, "x") + 1, "x", None, None, [Annotation(at(src, "@"), at(src, "A") + 1, "A", [])])
        ]

    def test_missing_method_keyword(self):
        src = "static m() ;"
        module, errors = parse(src)
        assert errors == [diag(src, "m", "parser.expected-method-kw")]
        assert module.members[0] == Method(0, len(src), "m", [], None, [], True, False)

    def test_missing_method_name(self):
        src = "method () ;"
        module, errors = parse(src)
        assert errors == [diag(src, "(", "parser.expected-method-name")]
        assert module.members[0].name == ""

    def test_missing_parameter_list(self):
        src = "method m ;"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-lparen-method")]
        assert module.members[0] == Method(0, len(src), "m", [], None, [])

    def test_missing_parameter_name(self):
        src = "method m(@A) ;"
        module, errors = parse(src)
        assert errors == [diag(src, ")", "parser.expected-param-name")]
        assert module.members[0].params == []

    def test_missing_closing_paren(self):
        src = "method m(a ;"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-param-name"), diag(src, ";", "parser.expected-rparen-params")]
        assert module.members[0].end == len(src)

    def test_missing_semicolon_at_end_of_file(self):
        src = "method m()\n  x"
        module, errors = parse(src)
        assert errors == [eof(src, "parser.expected-semicolon-method")]
        assert module.members[0].end == len(src)

    def test_keyword_return_types(self):
        for word in ("void", "never", "unknown", "ничто"):
            src = f"method m(): {word} ;"
            module, errors = parse(src)
            assert errors == []
            assert module.members[0].return_type == TypeRef(12, 12 + len(word), word, [word])


# ---------------------------------------------------------------- structures


class TestStructure:
    def test_fields_need_no_separators(self):
        src = "structure S val a val b: T ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [
            Structure(0, len(src), "STRUCTURE", "S", [
                ObjectField(at(src, "val"), at(src, " a") + 2, "VAL", "a", None, None),
                ObjectField(at(src, "val", 2), at(src, "T") + 1, "VAL", "b", simple_type(src, "T"), None),
            ])
        ]

    def test_exception_kind(self):
        src = "исключение Ошибка ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [Structure(0, len(src), "EXCEPTION", "Ошибка", [])]

    def test_constructor_is_the_keyword_alone(self):
        src = "structure S @A constructor ;"
        module, errors = parse(src)
        assert errors == []
        c = at(src, "constructor")
        assert module.members[0].members == [Constructor(c, c + 11, [Annotation(at(src, "@"), at(src, "A") + 1, "A", [])])]

    def test_required_before_or_after_kind(self):
        src = "structure S req val a var req b use c = 1 ;"
        module, errors = parse(src)
        assert errors == []
        assert [(f.kind, f.name, f.required) for f in module.members[0].members] == [
            ("VAL", "a", True), ("VAR", "b", True), ("USE", "c", False)]
        assert module.members[0].members[2].init == number(src, "1")

    def test_required_without_kind(self):
        src = "structure S req a ;"
        module, errors = parse(src)
        assert errors == [diag(src, "a", "parser.expected-field-kw")]
        assert module.members[0].members == [ObjectField(at(src, "req"), at(src, "a") + 1, "VAL", "a", None, None, True)]

    def test_methods_inside(self):
        src = "structure S\n  method m() ;\n  abstract method n()\n;"
        module, errors = parse(src)
        assert errors == []
        assert [(m.name, m.is_abstract) for m in module.members[0].members] == [("m", False), ("n", True)]
        assert module.members[0].end == len(src)

    def test_stray_token_costs_one_report(self):
        src = "structure S val a 5 val b ;"
        module, errors = parse(src)
        assert errors == [diag(src, "5", "parser.expected-struct-member")]
        assert [m.name for m in module.members[0].members] == ["a", "b"]

    def test_const_inside_is_skipped_token_by_token(self):
        src = "structure S const K = 1 val a ;"
        module, errors = parse(src)
        assert errors == [
            diag(src, "const", "parser.expected-struct-member"),
            diag(src, "K", "parser.expected-struct-member"),
            diag(src, "=", "parser.expected-struct-member"),
            diag(src, "1", "parser.expected-struct-member"),
        ]
        assert [m.name for m in module.members[0].members] == ["a"]

    def test_semicolon_after_annotations_closes_the_structure(self):
        src = "structure S @A ;\nmethod m() ;"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-struct-member")]
        structure, method = module.members
        assert structure == Structure(0, at(src, ";") + 1, "STRUCTURE", "S", [])
        assert method == Method(at(src, "method"), len(src), "m", [], None, [])

    def test_missing_name(self):
        src = "structure ;"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-struct-name")]
        assert module.members == [Structure(0, len(src), "STRUCTURE", "", [])]

    def test_missing_semicolon_at_end_of_file(self):
        src = "structure S val a"
        module, errors = parse(src)
        assert errors == [eof(src, "parser.expected-semicolon-struct")]
        assert module.members[0].end == len(src)

    def test_annotated_structure_starts_at_annotation(self):
        src = "@A structure S ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [Structure(0, len(src), "STRUCTURE", "S", [], [Annotation(0, 2, "A", [])])]


# ---------------------------------------------------------------- enumerations


class TestEnum:
    def test_items_and_defaults(self):
        src = "enum E a, b default c default ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [
            Enum(0, len(src), "E", [
                EnumItem(at(src, "a"), at(src, "a") + 1, "a", False),
                EnumItem(at(src, "b"), at(src, "default") + 7, "b", True),
                EnumItem(at(src, " c") + 1, at(src, "default", 2) + 7, "c", True),
            ], [])
        ]

    def test_methods_kept_apart(self):
        src = "перечисление Цвет красный\n  метод м() ;\n  синий\n;"
        module, errors = parse(src)
        assert errors == []
        [enum] = module.members
        assert [i.name for i in enum.items] == ["красный", "синий"]
        assert [m.name for m in enum.methods] == ["м"]

    def test_annotations_before_an_item_are_dropped(self):
        src = "enum E @A a ;"
        module, errors = parse(src)
        assert errors == []
        assert module.members[0].items == [EnumItem(at(src, "a "), at(src, "a ") + 1, "a")]

    def test_stray_token(self):
        src = "enum E a 5 b ;"
        module, errors = parse(src)
        assert errors == [diag(src, "5", "parser.expected-enum-value")]
        assert [i.name for i in module.members[0].items] == ["a", "b"]

    def test_semicolon_after_annotations_closes_the_enum(self):
        src = "enum E a @A ;\nconst K"
        module, errors = parse(src)
        assert errors == [diag(src, ";", "parser.expected-enum-value")]
        enum, const = module.members
        assert enum.end == at(src, ";") + 1
        assert [i.name for i in enum.items] == ["a"]
        assert const.name == "K"

    def test_missing_name_and_semicolon(self):
        src = "enum"
        module, errors = parse(src)
        assert errors == [eof(src, "parser.expected-enum-name"), eof(src, "parser.expected-semicolon-enum")]
        assert module.members == [Enum(0, 4, "", [], [])]


# ---------------------------------------------------------------- module constants


class TestModuleConst:
    def test_forms(self):
        src = "const K\nval a: T = 1\nvar b = x\nuse c: T"
        module, errors = parse(src)
        assert errors == []
        assert module.members == [
            ObjectField(0, 7, "CONST", "K", None, None),
            ObjectField(at(src, "val"), at(src, "1") + 1, "VAL", "a", simple_type(src, "T"), number(src, "1")),
            ObjectField(at(src, "var"), at(src, "x") + 1, "VAR", "b", None, name(src, "x")),
            ObjectField(at(src, "use"), len(src), "USE", "c", simple_type(src, "T", 2), None),
        ]

    def test_missing_name(self):
        src = "const = 1"
        module, errors = parse(src)
        assert errors == [diag(src, "=", "parser.expected-const-name")]
        assert module.members == [ObjectField(0, len(src), "CONST", "", None, number(src, "1"))]


# ---------------------------------------------------------------- unterminated tokens


class TestUnterminated:
    def test_string(self):
        src = 'const K = "abc'
        module, errors = parse(src)
        start = at(src, '"')
        assert errors == [(start, len(src), i18n.t("parser.unterminated-string"))]
        assert module.end == len(src)

    def test_pattern_ends_at_line_break(self):
        src = "const K = 'abc\nconst L"
        module, errors = parse(src)
        start = at(src, "'")
        assert errors == [(start, at(src, "\n"), i18n.t("parser.unterminated-pattern"))]
        assert [m.name for m in module.members] == ["K", "L"]

    def test_comment(self):
        src = "const K /* never closed"
        module, errors = parse(src)
        assert errors == [(at(src, "/*"), len(src), i18n.t("parser.unterminated-comment"))]
        assert module == Module(0, len(src), [], [ObjectField(0, 7, "CONST", "K", None, None)])

    def test_reported_after_member_errors_in_source_order(self):
        src = "x\nconst K = 'p\nconst L = \"s"
        _, errors = parse(src)
        assert errors == [
            diag(src, "x", "parser.expected-module-member"),
            (at(src, "'"), at(src, "\nconst L"), i18n.t("parser.unterminated-pattern")),
            (at(src, '"'), len(src), i18n.t("parser.unterminated-string")),
        ]

    def test_closed_literals_are_not_reported(self):
        _, errors = parse("const K = \"a\"\nconst L = 'b' /* c */")
        assert errors == []
