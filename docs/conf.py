"""Sphinx configuration: the pages in MyST Markdown, the reference from the installed package.

    pip install ".[docs]"
    python -m sphinx -W -b html docs docs/_build/html

The reference is read from the installed ``velmo_device_communication`` and ``velmo``
(docstrings and text signatures) and from the click commands, so it follows the code.
"""

import re
from importlib import metadata

# Documented from the compiled module itself, not the type stub installed beside it.
import velmo_device_communication  # noqa: F401

project = "velmo-device-communication"
author = "the velmo-device-communication developers"
release = metadata.version("velmo-device-communication")
version = release

extensions = [
    "myst_parser",
    "sphinx.ext.autodoc",
    "sphinx_click",
]

source_suffix = {".md": "markdown"}
root_doc = "index"
exclude_patterns = ["_build"]

myst_enable_extensions = ["colon_fence", "deflist"]
myst_heading_anchors = 3

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
autodoc_default_options = {"members": True, "show-inheritance": True}

html_theme = "furo"
html_title = f"VELMO device communication {release}"
html_show_copyright = False


def literal_examples(app, what, name, obj, options, lines):
    """Show a docstring's indented ``Example:`` section as code, not as running text."""
    for index, line in enumerate(lines):
        if line.strip() == "Example:" and index + 1 < len(lines) and lines[index + 1].startswith(" "):
            lines[index] = line.replace("Example:", "Example::")
            lines.insert(index + 1, "")
            return


def hide_private_constructor(app, what, name, obj, options, signature, return_annotation):
    """``VelmoDevice`` is made by discovery; its constructor's private token is not for users."""
    if name == "velmo_device_communication.VelmoDevice":
        return "", return_annotation
    return None


# An option named in running text, such as --port; not inside a word or a literal.
OPTION_IN_TEXT = re.compile(r"(?<![\w`-])(--?[a-z][a-z0-9-]*)(?![\w`-])")


def options_as_literals(app, ctx, lines):
    """Options named in the commands' help read as code, and their dashes stay as typed."""
    for index, line in enumerate(lines):
        if not line.lstrip().startswith((".. ", ":")):
            lines[index] = OPTION_IN_TEXT.sub(r"``\1``", line)


def setup(app):
    app.connect("autodoc-process-docstring", literal_examples)
    app.connect("autodoc-process-signature", hide_private_constructor)
    app.connect("sphinx-click-process-description", options_as_literals)
    app.connect("sphinx-click-process-options", options_as_literals)
