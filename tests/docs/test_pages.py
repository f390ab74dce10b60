"""The pages the README links to read on the forge as they do in Sphinx: plain Markdown links,
no roles or labels that only Sphinx understands, and every link to a file reaches one."""

import re
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
README = ROOT / "README.md"
FENCED_BLOCK = re.compile(r"^(```+).*?^\1[ \t]*$", re.M | re.S)
SPHINX_ONLY = re.compile(r"\{[a-z:]+\}`[^`]*`|^\([\w-]+\)=$", re.M)
LINK_TARGET = re.compile(r"\]\(([^)\s]+)\)")


def prose(page: Path) -> str:
    """The page without its code blocks."""
    return FENCED_BLOCK.sub("", page.read_text(encoding="utf-8"))


def linked_pages() -> list[Path]:
    targets = LINK_TARGET.findall(prose(README))
    return sorted({(ROOT / target).resolve() for target in targets if target.endswith(".md")})


def test_the_readme_links_the_pages():
    assert len(linked_pages()) >= 8


@pytest.mark.parametrize("page", linked_pages(), ids=lambda page: page.name)
def test_a_page_read_on_the_forge_is_plain_markdown(page):
    text = prose(page)
    assert SPHINX_ONLY.findall(text) == []
    for target in LINK_TARGET.findall(text):
        path = target.split("#")[0]
        if path and "://" not in path:
            assert (page.parent / path).exists(), target
