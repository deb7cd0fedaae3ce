# Sourced by tools/demo.sh and tools/test.sh: installs the Debian packages named in
# KESTRUNE_SYSTEM_NEEDS (as root; otherwise prints the one apt-get line to run), puts a
# Python that may install packages on PATH (the active virtual environment, or the
# project's own .venv, made on first use) and installs the Python packages given as
# arguments.
#
#   KESTRUNE_SYSTEM_NEEDS="cmake g++ ..." source tools/env.sh [PACKAGE ...]
# Prerequisites: git, a C++ compiler, CMake, python3 (3.9 or later) with venv;
# KESTRUNE_PYTHON picks another interpreter.

kestrune_apt() {
  [[ $# -gt 0 ]] || return 0
  if [[ $(id -u) -eq 0 ]] && command -v apt-get >/dev/null; then
    echo "# installing system packages: $*" >&2
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "$@" >/dev/null
  else
    echo "error: missing system packages; run: sudo apt-get install -y $*" >&2
    exit 1
  fi
}

kestrune_python=${KESTRUNE_PYTHON:-python3}
if ! command -v "$kestrune_python" >/dev/null; then
  echo "error: $kestrune_python not found; install Python 3.9 or later (with venv)" >&2
  exit 1
fi
if ! "$kestrune_python" -c 'import sys; sys.exit(0 if sys.version_info >= (3, 9) else 1)'; then
  echo "error: $("$kestrune_python" --version 2>&1) is too old; Python 3.9 or later is needed" >&2
  exit 1
fi
system_missing=()
for need in ${KESTRUNE_SYSTEM_NEEDS:-}; do
  case $need in
    libgtest-dev) [[ -f /usr/include/gtest/gtest.h ]] || system_missing+=("$need") ;;
    libboost-context-dev) [[ -f /usr/include/boost/context/fiber.hpp ]] || system_missing+=("$need") ;;
    libclang-rt-dev)
      ls /usr/lib/llvm-*/lib/clang/*/lib/linux/libclang_rt.fuzzer-x86_64.a >/dev/null 2>&1 ||
        system_missing+=("$need") ;;
    clang) command -v clang++ >/dev/null || system_missing+=("$need") ;;
    *) command -v "$need" >/dev/null || system_missing+=("$need") ;;
  esac
done
in_venv=0
"$kestrune_python" -c 'import sys; sys.exit(0 if sys.prefix != sys.base_prefix else 1)' && in_venv=1
venv_dir="$(pwd)/.venv"
# Debian splits venv's pip bootstrap into python3-venv.
if [[ $in_venv -eq 0 && ! -x "$venv_dir/bin/python" ]] && ! "$kestrune_python" -c 'import ensurepip' 2>/dev/null; then
  system_missing+=("python3-venv")
fi
# The extension module builds against the interpreter's headers (Debian: python3-dev).
if ! "$kestrune_python" -c 'import os, sys, sysconfig
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)'; then
  system_missing+=("python3-dev")
fi
kestrune_apt "${system_missing[@]}"

if [[ $in_venv -eq 0 ]]; then
  if [[ ! -x "$venv_dir/bin/python" ]]; then
    echo "# not in a virtual environment: creating $venv_dir" >&2
    "$kestrune_python" -m venv "$venv_dir"
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
