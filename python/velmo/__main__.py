"""``python -m velmo`` runs the ``velmo`` command."""

from velmo.cli import main

main(prog_name="velmo")
