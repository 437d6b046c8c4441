#!/usr/bin/env bash
# The command line where no server answers, and the version everywhere:
#
# - `drivers`, `devices`, `--help` and `--version` start no part of a
#   server: they print what they are asked for and nothing else, and make
#   no file (PAPPL 1.3's `drivers` made a whole server: its log on the
#   terminal, port 8000, /var/spool/NAME for root);
# - a sub-command that needs a server, when none runs, says how to start
#   one instead of starting one of its own (`status` says it is not
#   running, as PAPPL's does);
# - --version, the web page's header and the HTTP Server header all say the
#   project's version.
#
# usage: cli_test.sh BIN_DIR VERSION
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
VERSION=${2:?project version}
D=$APP_DIR
CLI="$D/$APP_NAME"
HOME_DIR="$D/home"
mkdir -p "$HOME_DIR"

# Runs the program with a home and a temporary folder of its own, in the
# test's folder; records what it printed.
run() {
  env HOME="$HOME_DIR" TMPDIR="$D/tmp" "$CLI" "$@" >"$D/out" 2>"$D/err"
}
nothing_made() {  # WHAT
  local made
  made=$(find "$HOME_DIR" "$D/tmp" -mindepth 1 | head -3)
  [ -z "$made" ] || fail "$1 made $made"
  [ ! -e "/var/spool/$APP_NAME" ] && [ ! -e "/var/lib/$APP_NAME.state" ] || fail "$1 made a server's files in /var"
}

run drivers || fail "drivers: $(cat "$D/err")"
[ "$(wc -l <"$D/out")" = 1 ] && grep -q '^qmx415u "' "$D/out" || fail "drivers printed: $(cat "$D/out")"
[ ! -s "$D/err" ] || fail "drivers printed a server's log: $(head -3 "$D/err")"
nothing_made drivers
run devices || fail "devices: $(cat "$D/err")"
nothing_made devices
run --help || fail "--help"
grep -q "passwd" "$D/out" && grep -q "testpage" "$D/out" || fail "--help names no passwd or testpage"
nothing_made --help
run --version || fail "--version"
[ "$(cat "$D/out")" = "$VERSION" ] || fail "--version says $(cat "$D/out"), the project is $VERSION"
echo "ok - drivers, devices, --help and --version start no server and make no file"

for sub in "add -d x -m qmx415u -v socket://127.0.0.1:9" "testpage -d x" "passwd" "submit -d x $CLI"; do
  # shellcheck disable=SC2086
  run $sub </dev/null && fail "$sub with no server succeeded"
  grep -q "no server is running" "$D/err" && grep -q "$APP_NAME server &" "$D/err" ||
    fail "$sub with no server does not say how to start one: $(cat "$D/err")"
  nothing_made "$sub"
done
run status || fail "status"
grep -q "Server is not running" "$D/out" || fail "status: $(cat "$D/out") $(cat "$D/err")"
echo "ok - with no server, sub-commands say how to start one and start none"

app_start || fail "server"
server=$(curl -sI "http://localhost:$APP_PORT/" | tr -d '\r' | sed -n 's/^Server: //p')
[[ "$server" == "$APP_NAME/$VERSION "* ]] || fail "the HTTP Server header says $server"
curl -s "http://localhost:$APP_PORT/" | grep -q "Version $VERSION" || fail "the web page's header has no Version $VERSION"
echo "ok - --version, the web page and the Server header say $VERSION"
echo "cli_test: all passed"
