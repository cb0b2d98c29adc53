#!/usr/bin/env bash
# Prints the path of a working CPython 3.12: python3.12 on PATH, else one installed through pyenv.
set -u
works() { "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) else 1)' >/dev/null 2>&1; }

if command -v python3.12 >/dev/null 2>&1 && works python3.12; then
  command -v python3.12
  exit 0
fi
if command -v pyenv >/dev/null 2>&1; then
  root=$(pyenv root)
  for candidate in $(ls -d "$root"/versions/3.12*/bin/python3.12 2>/dev/null | sort -V -r); do
    if works "$candidate"; then echo "$candidate"; exit 0; fi
  done
fi
# pyenv's own folder even when pyenv is not on PATH (~ works without HOME set).
for candidate in /usr/local/bin/python3.12 /usr/bin/python3.12 ${PYENV_ROOT:+"$PYENV_ROOT"/versions/3.12*/bin/python3.12} \
                 ~/.pyenv/versions/3.12*/bin/python3.12; do
  if [ -x "$candidate" ] && works "$candidate"; then echo "$candidate"; exit 0; fi
done
echo "error: CPython 3.12 not found: put python3.12 on PATH or install it with pyenv (pyenv install 3.12)" >&2
exit 1
