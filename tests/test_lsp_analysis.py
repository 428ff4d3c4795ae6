"""The pieces under the language server that its end-to-end tests reach only
by a few samples: position conversion against a brute-force reference, and
the resolver's rules on the cases that decide them."""
from __future__ import annotations

from hypothesis import given, settings, strategies as st

from tarn import names as N
from tarn.lsp.analysis import Analysis
from tarn.lexer import _line_starts
from tarn.lsp.positions import CHUNK, Positions

PIECES = ["a", "я", "😀", "\t", "\r", "\n", "\r\n", "\ufeff", "\ud800", "}", "a" * (CHUNK + 3), "я😀" * (CHUNK // 2)]


def reference(text: str, encoding: str) -> list[list[int]]:
    """Units before every code point of every line, and the line's end."""
    starts = _line_starts(text) + [len(text) + 1]
    table = []
    for line in range(len(starts) - 1):
        content = text[starts[line]:starts[line + 1]].rstrip("\r\n") if line + 2 < len(starts) else text[starts[line]:]
        codec, width = {"utf-8": ("utf-8", 1), "utf-16": ("utf-16-le", 2), "utf-32": ("utf-32-le", 4)}[encoding]
        table.append([len(content[:i].encode(codec, "surrogatepass")) // width for i in range(len(content) + 1)])
    return table


@settings(max_examples=150, derandomize=True)
@given(st.lists(st.sampled_from(PIECES), max_size=14).map("".join))
def test_positions_match_a_brute_force_count(text):
    for encoding in ("utf-8", "utf-16", "utf-32"):
        positions, table = Positions(text, encoding), reference(text, encoding)
        starts = positions.starts
        for line, units in enumerate(table):
            for col, unit in enumerate(units):
                assert positions.position(starts[line] + col) == (line, unit)
            for unit in range(units[-1] + 3):  # every unit, inside a code point and past the end
                col = max(i for i, u in enumerate(units) if u <= unit)
                assert positions.offset(line, unit) == starts[line] + col
        assert positions.position(len(text) + 5) == positions.position(len(text))
        assert positions.offset(len(table), 0) == len(text) and positions.offset(-1, 3) == 0


RULES = """\
импорт ядро::журнал
метод дубль() ;
метод дубль() ;
конст ПРЕДЕЛ = 3
перечисление Цвет
    Красный,
    Синий
    метод тёплый(): Логический
        возврат этот == Красный или этот == Цвет.Синий
    ;
;
метод счёт(a: Число, b: Число = ПРЕДЕЛ): Число
    пер сумма = позже + a
    знч позже = 1
    знч f = метод(p) -> знч внутри = p + сумма
        возврат внутри
    ;
    попытка
        дубль()
    поймать e: Ошибка
        журнал.запись("${e}: ${"${сумма}"}", запрос{сумма})
    ;
    возврат e ?? ядро::журнал.x ?? &счёт ?? счёт(b = 2, a = позже) ?? f
;
"""


def test_resolution_rules():
    names = N.resolve(RULES)

    def target(needle, delta=0, nth=0):
        offset = -1
        for _ in range(nth + 1):
            offset = RULES.index(needle, offset + 1)
        occ = names.at(offset + delta)
        decl = occ.declaration if occ else None
        return decl and (decl.kind, RULES.count("\n", 0, decl.start) + 1)

    assert target("дубль()", nth=2) is None  # two methods of one name: not certain
    assert target("позже + a") is None  # used before its declaration in the block
    assert target("a = позже", 4) == ("value", 14)
    assert target("Красный или") == ("item", 6)  # an enum's items by name inside its methods
    assert target("Синий", nth=1) == ("item", 7)  # and through the enum's name
    assert target("ПРЕДЕЛ):") == ("constant", 4)  # a default sees the module
    assert target("p + сумма") == ("parameter", 15) and target("+ сумма", 2) == ("variable", 13)
    assert target("возврат внутри", 8) == ("value", 15)  # a block lambda's own block
    assert target("${e}", 2) == ("catch", 20)
    assert target("возврат e", 8) is None  # the catch variable ends with its arm
    assert target('"${сумма}"', 3) == ("variable", 13)  # an interpolation inside an interpolation
    assert target("журнал.запись") is None and target("ядро::журнал.x", 6) is None  # imported, qualified
    assert target("&счёт", 1) == ("method", 12)
    assert target("(b = 2", 1) == ("parameter", 12) and target("a = позже") == ("parameter", 12)
    assert target("?? f", 3) == ("value", 15)
    # The block of a query literal is not read: a rename of сумма must refuse.
    assert names.unreadable_uses("сумма") and not names.unreadable_uses("позже")
    assert {d.name for d in names.visible(RULES.index("возврат внутри"))} >= {"внутри", "p", "сумма", "a", "ПРЕДЕЛ", "Цвет"}
    assert "позже" not in {d.name for d in names.visible(RULES.index("пер сумма"))}


HOVERED = "/** Не документ метода: стоит перед импортом. */\n" + RULES + """\
/** Точка плоскости. */
структура Точка
    @Ключ
    обяз знч x: Число
;
исключение Сбой ;
метод цикл(список)
    для эл из список
        эл
    ;
    исп р = ресурс()
    знч т = новый Точка(x = 1)
    т.x + р
;
"""


def test_hover_names_each_kind_of_declaration():
    analysis = Analysis(HOVERED)
    assert analysis.diagnostics == []

    def hover(needle, nth=0):
        offset = -1
        for _ in range(nth + 1):
            offset = HOVERED.index(needle, offset + 1)
        info = analysis.hover(offset)
        return info and (HOVERED[info.start:info.end], info.signature, info.description, info.documentation)

    assert hover("дубль") == ("дубль", "метод дубль()", "module method", "")
    assert hover("ПРЕДЕЛ", 1) == ("ПРЕДЕЛ", "конст ПРЕДЕЛ", "module constant", "")
    assert hover("Цвет.Синий") == ("Цвет", "перечисление Цвет", "enum", "")
    assert hover("Синий", 1) == ("Синий", "Цвет.Синий", "value of the enum Цвет", "")
    assert hover("тёплый") == ("тёплый", "метод тёплый(): Логический", "method of Цвет", "")
    assert hover("счёт(b", 0) == ("счёт", "метод счёт(a: Число, b: Число = ПРЕДЕЛ): Число", "module method", "")
    assert hover("b = 2") == ("b", "b: Число", "parameter of the method счёт", "")
    assert hover("сумма") == ("сумма", "пер сумма", "local variable", "")
    assert hover("p +") == ("p", "p", "lambda parameter", "")
    assert hover("e}:") == ("e", "поймать e: Ошибка", "exception variable", "")
    assert hover("Точка(") == ("Точка", "структура Точка", "structure", "Точка плоскости.")
    assert hover("x: Число") == ("x", "обяз знч x: Число", "field of Точка", "")
    assert hover("Сбой") == ("Сбой", "исключение Сбой", "exception", "")
    assert hover("список\n") == ("список", "список", "parameter of the method цикл", "")
    assert hover("эл\n") == ("эл", "для эл", "loop variable", "")
    assert hover("р\n") == ("р", "исп р", "local variable", "")
    assert hover("импорт") is None and hover("ресурс") is None and hover("журнал") is None


ROLES = """\
импорт ядро::Цвет
конст ПРЕДЕЛ = 3
структура Цвет ;
структура Точка
    знч x: Число
    @Метка(ПРЕДЕЛ)
    метод м(x: Число, y: Число)
        возврат "\\${x} ${x} ${y}" + Цвет + м(y = x, x = 1) + новый Точка(x = y)
    ;
;
"""


def test_roles_of_names_in_calls_annotations_and_strings():
    names = N.resolve(ROLES)

    def seen(needle, delta=0):
        occ = names.at(ROLES.index(needle) + delta)
        decl = occ and occ.declaration
        return occ and (occ.role, decl and (decl.kind, ROLES.count("\n", 0, decl.start) + 1))

    assert seen("ПРЕДЕЛ)") == ("read", ("constant", 2))  # an annotation's argument
    assert seen("Цвет +") == ("read", None)  # imported and declared: not certain
    # An escaped "$" opens no interpolation.
    assert seen("\\${x}", 3) is None and seen(" ${x}", 3) == ("read", ("parameter", 7))
    assert seen("${y}", 2) == ("read", ("parameter", 7))
    assert seen("м(y") == ("call", ("method", 7))
    assert seen("y = x") == ("argument", ("parameter", 7)) and seen("y = x", 4) == ("read", ("parameter", 7))
    assert seen("x = 1") == ("argument", ("parameter", 7))
    assert seen("Точка(") == ("type", ("structure", 4)) and seen("x = y") == ("argument", ("field", 5))
