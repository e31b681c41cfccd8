#!/bin/sh
# The wine session that the Windows build's tests share.
# Usage: wine_session.sh LOADER WINESERVER start|stop   (WINEPREFIX set)
#   start: creates or updates the prefix and keeps one wine server running, so
#          that every test starts its program on a warm server;
#   stop:  ends that server and the wine services still running in the prefix.
set -eu
loader=$1
wineserver=$2
case $3 in
  start)
    mkdir -p "$WINEPREFIX"
    # The server and the services that wineboot leaves running outlive this
    # script; they must not hold on to the test's output, or ctest would wait
    # for them to end. Their output goes to a log instead.
    log="$WINEPREFIX/session.log"
    # Fails when a server already runs for this prefix; that one serves too.
    "$wineserver" -p </dev/null >"$log" 2>&1 || true
    # No Mono or Gecko installers (nothing may be fetched) and no menu
    # entries written to the user's desktop.
    if ! WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d" \
        "$loader" wineboot --init </dev/null >>"$log" 2>&1; then
      cat "$log"
      exit 1
    fi
    ;;
  stop)
    "$wineserver" -k || true
    ;;
  *)
    echo "usage: $0 LOADER WINESERVER start|stop" >&2
    exit 2
    ;;
esac
