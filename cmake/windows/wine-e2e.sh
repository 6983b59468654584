# What the end-to-end tests and benchmarks under Wine's service manager share (sourced by them, not
# run): running Wine commands, checks and waits, the state of a service and its hosting process, and
# the test's own Wine prefix.
#
# The sourcing script sets, before it calls any of these:
#   WINEPREFIX  the prefix, kept from run to run (made once)
#   out         a folder for the output of every Wine command, one file each
# and defines `print_logs`, which prints the files that help to find a fault when a check failed
# (`print_files` prints them). `finish` ends the run with the summary CTest reads; on any exit the
# reference server that start_reference_server started and the prefix's Wine server are ended.

export WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
wine=$(command -v wine64 || echo /usr/lib/wine/wine64)
readonly kSkip=77  # CTest's SKIP_RETURN_CODE of these tests
started=$SECONDS
failures=0

skip() {
  echo "SKIPPED: $*"
  exit $kSkip
}

# Runs a Wine command, its output to $out/<name> (never a pipe: Wine's service manager keeps the
# descriptors it inherits). Returns the command's exit status.
wine_run() {
  local name=$1
  shift
  "$wine" "$@" >"$out/$name" 2>&1 </dev/null
}

check() {  # check <message> <command...>: a failed command is a failed check
  local message=$1
  shift
  if "$@"; then
    echo "  ok: $message"
  else
    echo "  FAILED: $message"
    failures=$((failures + 1))
  fi
}

# Waits up to <seconds> for <command...> to succeed.
eventually() {
  local seconds=$1
  shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ $SECONDS -lt $deadline ] || return 1
    sleep 0.3
  done
}

# print_files <file...>: each file that exists, under its name.
print_files() {
  local f
  for f in "$@"; do
    [ -f "$f" ] && { echo "==== $f"; cat "$f"; }
  done
  return 0
}

server_pid=
end_run() {
  [ -n "$server_pid" ] && kill "$server_pid" 2>/dev/null && wait "$server_pid" 2>/dev/null
  [ -n "${WINEPREFIX:-}" ] && wineserver -k >/dev/null 2>&1
  return 0
}
trap end_run EXIT

# Ends the run: prints what helps to find the fault first when a check failed.
finish() {
  if [ $failures -gt 0 ]; then
    echo "---- $failures check(s) failed; the logs follow"
    print_logs
    print_files "$out"/*
  fi
  echo "run time: $((SECONDS - started)) s"
  [ $failures -eq 0 ] && echo "1 passed, 0 failed" || echo "0 passed, 1 failed"
  exit $((failures > 0))
}

# A step that cannot go on: counts as a failed check and ends the run.
abort() {
  echo "  FAILED: $*"
  failures=$((failures + 1))
  finish
}

# True when the lines holding each of the given texts appear in this order in standard input.
in_order() {
  awk -v texts="$(printf '%s\n' "$@")" '
    BEGIN { n = split(texts, want, "\n"); if (want[n] == "") n--; i = 1 }
    i <= n && index($0, want[i]) { i++ }
    END { exit !(i > n) }'
}

service_state() {  # RUNNING, STOPPED, ... or "" when the service does not exist
  wine_run "query-$1" sc query "$1" || return 0
  sed -n 's/.*STATE *: *[0-9]* *\([A-Z_]*\).*/\1/p' "$out/query-$1"
}
is_running() { [ "$(service_state "$1")" = RUNNING ]; }
is_stopped() { [ "$(service_state "$1")" = STOPPED ]; }
is_gone() { ! wine_run "query-$1" sc query "$1"; }

# The Linux process that hosts the Windows program <path> in our prefix.
host_pid() {
  local p
  for p in /proc/[0-9]*; do
    if tr '\0' ' ' <"$p/cmdline" 2>/dev/null | grep -qF "$1" &&
      tr '\0' '\n' <"$p/environ" 2>/dev/null | grep -qxF "WINEPREFIX=$WINEPREFIX"; then
      basename "$p"
      return
    fi
  done
}

# prepare_prefix <time scale> <service...>: the prefix made once (wineboot, then waiting for its
# server: an install in wineboot's own server session fails). Services take their environment
# from the system environment in the registry when the service manager starts, not from the Unix
# one: KN_TIME_SCALE goes there, and the server is started again so that the service manager reads
# it. The named services, left by an interrupted run, are removed first. The server is then kept
# alive between the commands (services end soon after the last ordinary Wine process) until
# `wineserver -k`, which the sourcing script's exit trap runs.
prepare_prefix() {
  local scale=$1 service
  shift
  if [ ! -f "$WINEPREFIX/system.reg" ]; then
    echo "making the Wine prefix (once)"
    wine_run wineboot wineboot -i
    wineserver -w
  fi
  wineserver -p >"$out/wineserver-first" 2>&1
  for service in "$@"; do
    wine_run "stop-$service" sc stop "$service"
    wine_run "delete-$service" sc delete "$service"
    # A service only marked for deletion (it was still running) is gone once its key is.
    wine_run "forget-$service" reg delete "HKLM\\System\\CurrentControlSet\\Services\\$service" /f
  done
  wine_run environment reg add 'HKLM\System\CurrentControlSet\Control\Session Manager\Environment' \
    /v KN_TIME_SCALE /t REG_SZ /d "$scale" /f || abort "setting KN_TIME_SCALE in the registry"
  wineserver -k >/dev/null 2>&1
  wineserver -w
  wineserver -p >"$out/wineserver" 2>&1 || abort "starting the Wine server"
}

# start_reference_server <program> <work folder> [options...]: the Linux reference server on a free
# loopback port; sets server_pid and server_url (ending in "/").
start_reference_server() {
  local program=$1 work=$2
  shift 2
  "$program" --port 0 --data "$work/platform.db" "$@" >"$work/server.out" 2>&1 &
  server_pid=$!
  eventually 10 grep -q '^listening on ' "$work/server.out" || abort "the reference server did not start"
  server_url=$(sed -n 's/^listening on \(.*\)/\1/p' "$work/server.out")
  server_url=${server_url%/}/
  echo "reference server at $server_url"
}
