"""The documentation's examples: every ``pycon`` session runs against the installed package and
the simulator and must print what the page shows; every ``python`` block, the README's too,
must compile."""

import doctest
import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
DOCS = ROOT / "docs"
PAGES = sorted(DOCS.rglob("*.md"))
README = ROOT / "README.md"
# A fenced block: the fence, its language, its body, up to the same fence.
FENCED_BLOCK = re.compile(r"^(?P<fence>```+)(?P<language>[^\n`]*)\n(?P<body>.*?)^(?P=fence)[ \t]*$", re.M | re.S)


def blocks(page: Path, language: str) -> list[tuple[int, str]]:
    """The (line number, body) of each block of ``language`` on ``page``."""
    text = page.read_text(encoding="utf-8")
    return [
        (text.count("\n", 0, match.start()) + 2, match["body"])
        for match in FENCED_BLOCK.finditer(text)
        if match["language"].strip() == language
    ]


def page_id(page: Path) -> str:
    return str(page.relative_to(ROOT))


def test_the_examples_are_found():
    assert any(blocks(page, "pycon") for page in PAGES)
    assert any(blocks(page, "python") for page in PAGES)


@pytest.mark.parametrize("page", [page for page in PAGES if blocks(page, "pycon")], ids=page_id)
def test_sessions_print_what_the_page_shows(page):
    """The sessions of one page share their names, as a reader typing them in would."""
    names: dict[str, object] = {}
    parser = doctest.DocTestParser()
    runner = doctest.DocTestRunner(optionflags=doctest.ELLIPSIS | doctest.NORMALIZE_WHITESPACE)
    report: list[str] = []
    for line, body in blocks(page, "pycon"):
        session = parser.get_doctest(body, names, page_id(page), str(page), line)
        runner.run(session, out=report.append, clear_globs=False)
        names = session.globs  # a session copies the names it was given
    assert runner.failures == 0, "".join(report)


@pytest.mark.parametrize("page", [page for page in [*PAGES, README] if blocks(page, "python")], ids=page_id)
def test_code_blocks_compile(page):
    for line, body in blocks(page, "python"):
        compile(body, f"{page}:{line}", "exec")
