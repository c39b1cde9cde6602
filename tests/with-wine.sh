#!/bin/sh
# with-wine.sh WINE COMMAND...: runs COMMAND once WINE has started a Windows
# program, which also sets up its prefix. Where this machine cannot run that
# Wine (a kernel without 32-bit support cannot run 32-bit Wine), the test is
# skipped: exit status 77.
wine=$1
shift
if ! probe=$("$wine" cmd /c exit 2>&1 </dev/null); then
  echo "skipped: $wine cannot run Windows programs on this machine:"
  echo "$probe" | tail -n 3
  exit 77
fi
exec "$@"
