# Sourced by tests: a private cupsd in a temporary folder, with its own
# configuration, spool, cache, state and logs, listening only on a domain
# socket in that folder (where root's admin requests are accepted), using
# the system's filters and backends. Stopped by its process id.
#
#   source cupsd_env.sh
#   cupsd_start                 # exports CUPS_SERVER for lpadmin, lp, lpstat
#   lpadmin -p NAME ...; lp -d NAME FILE
#   cupsd_stop                  # the caller's exit trap should call it
#
# Needs root: cupsd starts as root and runs filters as User lp (it refuses
# root), so the folder is the lp group's to read.

CUPSD_DIR=""
CUPSD_PID=""

cupsd_start() {
  # Not under a private TMPDIR: the filters, run as lp, must reach the folder.
  CUPSD_DIR=$(mktemp -d "${CUPSD_PARENT:-/tmp}/qmx415u-cupsd.XXXXXX")
  local d=$CUPSD_DIR
  mkdir -p "$d/etc/ppd" "$d/spool/tmp" "$d/cache" "$d/state/certs" "$d/log" "$d/bin"
  # The system's filters, backends and drivers, seen from our ServerBin.
  local part
  for part in /usr/lib/cups/*; do ln -s "$part" "$d/bin/$(basename "$part")"; done
  cat >"$d/etc/cupsd.conf" <<EOF
Listen $d/cups.sock
LogLevel debug
MaxLogSize 0
WebInterface No
Browsing No
DefaultAuthType None
<Location />
  Order allow,deny
  Allow all
</Location>
<Location /admin>
  Order allow,deny
  Allow all
</Location>
<Policy default>
  <Limit All>
    Order deny,allow
  </Limit>
</Policy>
EOF
  cat >"$d/etc/cups-files.conf" <<EOF
User lp
Group lp
SystemGroup root
ServerRoot $d/etc
RequestRoot $d/spool
TempDir $d/spool/tmp
CacheDir $d/cache
StateDir $d/state
ServerBin $d/bin
DataDir /usr/share/cups
DocumentRoot /usr/share/cups/doc-root
AccessLog $d/log/access_log
ErrorLog $d/log/error_log
PageLog $d/log/page_log
FileDevice No
EOF
  chgrp -R lp "$d"
  chmod 0750 "$d"
  chmod 1770 "$d/spool/tmp"
  chmod 0710 "$d/spool"
  /usr/sbin/cupsd -f -c "$d/etc/cupsd.conf" -s "$d/etc/cups-files.conf" >"$d/log/stdout" 2>&1 &
  CUPSD_PID=$!
  export CUPS_SERVER="$d/cups.sock"
  for _ in $(seq 100); do
    kill -0 "$CUPSD_PID" 2>/dev/null || break
    if lpstat -r 2>/dev/null | grep -q "is running"; then return 0; fi
    sleep 0.1
  done
  echo "cupsd did not start:" >&2
  cat "$d/log/stdout" "$d/log/error_log" >&2 2>/dev/null
  return 1
}

cupsd_stop() {
  if [ -n "$CUPSD_PID" ]; then
    kill -TERM "$CUPSD_PID" 2>/dev/null
    for _ in $(seq 50); do
      kill -0 "$CUPSD_PID" 2>/dev/null || break
      sleep 0.1
    done
    kill -KILL "$CUPSD_PID" 2>/dev/null
    wait "$CUPSD_PID" 2>/dev/null
    CUPSD_PID=""
  fi
  [ -n "$CUPSD_DIR" ] && rm -rf "$CUPSD_DIR"
  CUPSD_DIR=""
}
