#!/usr/bin/env bash
# The app as its unit runs it, set up and used from a real browser and from
# the command line, as the README tells a shop to:
#
# - the server: the unit's command line (app/qmx415u-app.service), its
#   folders moved into the test's (its home the state folder, as the
#   package's user has it), as an unprivileged user (nobody) with no
#   capabilities and no new privileges; its runtime folder set-group-ID and
#   an admin group's (a group of the test's own standing for lpadmin), the
#   link root's sub-commands use in /run, as the package's tmpfiles.d makes
#   them;
# - the command line: a user outside the admin group is told what to do;
#   a member of it, not root, sets the web password through the socket;
# - the browser (app/tests/web_test.py): everything after, from signing in
#   to the paper on the printer's page. Screenshots go to OUT_DIR (the
#   README's pictures in docs/ are these).
#
# Root only (users, groups and /run of its own); otherwise a skip.
#
# usage: web_test.sh BIN_DIR UNIT_FILE OUT_DIR
set -uo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
source "$HERE/app_env.sh" "${1:?bin folder}"
UNIT=${2:?unit file}
OUT=${3:?screenshot folder}
BIN=$APP_BIN_DIR
D=$APP_DIR
S="$D/service"  # stands for the unit's /var/lib, /var/cache and /run folders
app_needs_root "users and groups of its own, a link in /run"
command -v chromium >/dev/null || fail "chromium is not installed (scripts/install-deps)"
mkdir -p "$OUT"

app_admin || fail "admin group and user"
OTHER="qmxo$$"
app_user "$OTHER" nogroup || fail "user $OTHER"
OTHER_PASSWORD=$APP_USER_PASSWORD
AS=nobody

# ---- The server, as the unit runs it ---------------------------------------------
mkdir -p "$S/lib" "$S/cache" "$S/run" "$S/tmp"
chmod 0711 "$D" "$S"
chown "$AS" "$S/lib" "$S/cache" "$S/tmp"
chmod 0700 "$S/lib" "$S/cache"
chown "$AS:$APP_ADMIN_GROUP" "$S/run"
chmod 2750 "$S/run"
: >"$D/log"
chown "$AS" "$D/log"
exec_start=$(sed -e ':a' -e '/\\$/N; s/\\\n//; ta' "$UNIT" | sed -n 's/^ExecStart=//p')
[ -n "$exec_start" ] || fail "no ExecStart in $UNIT"
read -r -a words <<<"$exec_start"
words[0]="$D/$APP_NAME"
for i in "${!words[@]}"; do
  words[i]=${words[i]//\/var\/lib\/qmx415u-app/$S/lib}
  words[i]=${words[i]//\/var\/cache\/qmx415u-app/$S/cache}
  words[i]=${words[i]//\/run\/qmx415u-app/$S/run}
done
SOCKET="$S/run/qmx415u-app.sock"
grep -q -- "-o local-socket=$SOCKET" <<<"${words[*]}" || fail "the unit's socket is not in its runtime folder"
LINK="/run/$APP_NAME.sock"  # where sub-commands look for a system server, as /run/qmx415u-app.sock
ln -s "$SOCKET" "$LINK" || fail "link $LINK"
app_on_exit "rm -f $LINK"
APP_PORT=$(app_free_port) || fail "no free port"
(umask 000 && exec setpriv --reuid="$AS" --regid=nogroup --clear-groups --no-new-privs --inh-caps=-all \
  --bounding-set=-all env -i HOME="$S/lib" TMPDIR="$S/tmp" PATH=/usr/bin:/bin \
  ${ASAN_OPTIONS:+ASAN_OPTIONS=$ASAN_OPTIONS} ${LSAN_OPTIONS:+LSAN_OPTIONS=$LSAN_OPTIONS} \
  ${UBSAN_OPTIONS:+UBSAN_OPTIONS=$UBSAN_OPTIONS} \
  "${words[@]}" -o server-port="$APP_PORT" -o log-file="$D/log" -o admin-group="$APP_ADMIN_GROUP") \
  >"$D/stdout" 2>&1 &
APP_PID=$!
app_wait_ready || fail "the server did not start: $(cat "$D/stdout")"
[ "$(stat -c '%U %G %a' "$SOCKET")" = "$AS $APP_ADMIN_GROUP 660" ] ||
  fail "the socket is $(stat -c '%U %G %a' "$SOCKET"), not the admin group's"
echo "ok - the server runs as $AS with the unit's options; its socket is the admin group's"

# ---- The command line --------------------------------------------------------------
as() {  # USER COMMAND...: as a person would run it
  local who=$1
  shift
  runuser -u "$who" -- env HOME=/nonexistent TMPDIR=/tmp "$@"
}
as "$OTHER" "$D/$APP_NAME" add -d x -m qmx415u -v socket://127.0.0.1:9 >"$D/other.out" 2>&1 &&
  fail "a user outside the admin group added a printer"
grep -q "group $APP_ADMIN_GROUP only" "$D/other.out" && grep -q "adduser $OTHER $APP_ADMIN_GROUP" "$D/other.out" &&
  grep -q "submit -u ipp://" "$D/other.out" || fail "a user without rights is not told what to do: $(cat "$D/other.out")"
as "$OTHER" "$D/$APP_NAME" status >"$D/other.out" 2>&1
grep -q "Server is not running" "$D/other.out" && fail "a user without rights is told the running server is not running"
PASSWORD="web-$RANDOM$RANDOM"
printf 'short\n' | as "$APP_ADMIN_USER" "$D/$APP_NAME" passwd >"$D/passwd.out" 2>&1 &&
  fail "a short web password was taken"
grep -q "shorter than 8" "$D/passwd.out" || fail "a short password's refusal says no reason: $(cat "$D/passwd.out")"
printf '%s\n' "$PASSWORD" | as "$APP_ADMIN_USER" "$D/$APP_NAME" passwd >"$D/passwd.out" 2>&1 ||
  fail "an admin group member cannot set the web password: $(cat "$D/passwd.out")"
echo "ok - a user outside the admin group is told what to do; a member, not root, sets the web password"

# ---- The browser -------------------------------------------------------------------
"$BIN/qmx415u-sample" receipt "$D/receipt.pbm"
"$BIN/qmx415u-make-raster" --format pwg --grey --width 639 --left 32 -o "$D/receipt.pwg" "$D/receipt.pbm"
sink_start a || fail "sink a"
SINK_A=$SINK_PORT
sink_start b || fail "sink b"
SINK_B=$SINK_PORT
mkdir -p "$D/profile" "$D/admin-profile" "$D/visitor-profile"
python3 "$HERE/web_test.py" "$BIN" "$APP_PORT" "$D" "$OUT" "$PASSWORD" "$OTHER" "$OTHER_PASSWORD" "$SINK_A" "$SINK_B" ||
  fail "in the browser (its log: $(tail -3 "$D/chromium.log" 2>/dev/null))"
echo "web_test: screenshots in $OUT; all passed"
