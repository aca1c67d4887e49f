#!/bin/sh
# Sources the OpenWrt init script with procd's helpers stubbed, and checks what
# it asks procd to run. Runs under any POSIX sh: dash, and BusyBox's when given
# as the first argument ("busybox sh").
#   init_script_test.sh INIT_SCRIPT
set -eu
script=$1
calls=""
procd_open_instance() { calls="${calls}open
"; }
procd_set_param() { calls="${calls}set $*
"; }
procd_close_instance() { calls="${calls}close
"; }

. "$script"
start_service

want="open
set command /usr/lib/watchd/bin/watchd
set stdout 1
set stderr 1
set respawn 3600 5 0
close
"
if [ "$calls" != "$want" ]; then
    printf 'procd was asked for:\n%s\nexpected:\n%s\n' "$calls" "$want" >&2
    exit 1
fi
[ "$USE_PROCD" = 1 ] || { echo "USE_PROCD is not set" >&2; exit 1; }
[ "$START" -gt "$STOP" ] || { echo "START $START must come after STOP $STOP" >&2; exit 1; }
echo "init script: procd runs $PROG with respawn, output to the log"
