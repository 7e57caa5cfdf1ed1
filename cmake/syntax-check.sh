#!/bin/sh
# Compiler launcher of the plain build's test sources: they are compiled for their diagnostics only
# (nothing links or runs them there), and the object named by -o is left empty. Precompiled headers
# are built as usual.
out=
prev=
for a in "$@"; do
  [ "$prev" = "-o" ] && out=$a
  prev=$a
done
case "$out" in
  "" | *.gch) exec "$@" ;;
esac
"$@" -fsyntax-only && : >"$out"
