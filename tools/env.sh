# Sourced by tools/demo.sh and tools/test.sh: puts a Python that may install packages on
# PATH (the active virtual environment, or the project's own .venv, made on first use)
# and installs the Python packages given as arguments.
#
#   source tools/env.sh [PACKAGE ...]
# Prerequisites: python3 (3.9 or later) with venv; KESTRUNE_PYTHON picks another one.

kestrune_python=${KESTRUNE_PYTHON:-python3}
if ! command -v "$kestrune_python" >/dev/null; then
  echo "error: $kestrune_python not found; install Python 3.9 or later (with venv)" >&2
  exit 1
fi
if ! "$kestrune_python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 9) else 1)'; then
  echo "error: $("$kestrune_python" --version 2>&1) is too old; Python 3.9 or later is needed" >&2
  exit 1
fi
if ! "$kestrune_python" -c 'import sys; sys.exit(0 if sys.prefix != sys.base_prefix else 1)'; then
  venv_dir="$(pwd)/.venv"
  if [[ ! -x "$venv_dir/bin/python" ]]; then
    echo "# not in a virtual environment: creating $venv_dir" >&2
    if ! "$kestrune_python" -m venv "$venv_dir"; then
      echo "error: could not create $venv_dir; install the venv module (Debian: apt-get install python3-venv)" >&2
      exit 1
    fi
  fi
  echo "# using the project virtual environment $venv_dir" >&2
  # shellcheck disable=SC1091
  source "$venv_dir/bin/activate"
fi
# From here on python3 and pip are the environment's own.
if [[ $# -gt 0 ]]; then
  missing=()
  for pkg in "$@"; do
    mod=${pkg%%[<>=\[]*}
    mod=${mod//-/_}  # the import name of every package we ask for
    python3 -c "import $mod" 2>/dev/null || missing+=("$pkg")
  done
  if [[ ${#missing[@]} -gt 0 ]]; then
    echo "# installing Python packages: ${missing[*]}" >&2
    python3 -m pip install --quiet "${missing[@]}"
  fi
fi
