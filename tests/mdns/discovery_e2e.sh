#!/usr/bin/env bash
# Discovery end to end: the real server advertises itself through an avahi-daemon of our own, the
# real client finds it, an address change on the interface drives the rtnetlink path monitor
# through a restart and a new advertisement, and SIGTERM withdraws it.
#
# Everything runs inside a network namespace made here, with its own D-Bus system bus and
# avahi-daemon: its only interface besides lo is a veth whose peer sits in a second, empty
# namespace, so no multicast packet reaches the machine's own interfaces and the system's
# avahi-daemon (running or not) is never involved. Exits 77 (skipped) when that cannot be built.
set -euo pipefail

skip() { echo "SKIP: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "network namespaces need root"
PATH=$PATH:/usr/sbin:/sbin  # the daemons live there; a user's PATH may lack it
for tool in ip avahi-daemon avahi-browse dbus-daemon unshare timeout python3; do
  command -v "$tool" >/dev/null 2>&1 || skip "$tool is not installed (not found in $PATH)"
done

: "${VL_BIN:?VL_BIN must name the build folder holding vantrel-link and vantrel-link-client}"
SERVER="$VL_BIN/app/vantrel-link"
CLIENT="$VL_BIN/client/vantrel-link-client"
RECORDS="$(cd "$(dirname "$0")" && pwd)/browse_records.py"
for program in "$SERVER" "$CLIENT"; do
  [ -x "$program" ] || { echo "missing $program"; exit 1; }
done

SERVICE_TYPE=_corvanevantrellink._tcp
NS=vlmdns$$ PEER_NS=vlmdns$$peer
WORK=$(mktemp -d /tmp/vl-mdns.XXXXXX)
BUS_PID="" AVAHI_PID="" SERVER_PID=""
FAILURES=0 CHECKS=0
# Two subnets, so that removing the first address does not take the second with it (a secondary
# address in the same subnet is deleted with its primary unless promote_secondaries is set).
NET=$(( $$ % 200 + 20 ))
ADDR1=10.$NET.1.1 ADDR2=10.$NET.2.1

stop_pid() {  # stop_pid PID: SIGTERM, then SIGKILL after 3 s
  local pid=$1
  [ -n "$pid" ] && kill -0 "$pid" 2>/dev/null || return 0
  kill -TERM "$pid" 2>/dev/null || true
  for _ in $(seq 30); do kill -0 "$pid" 2>/dev/null || break; sleep 0.1; done
  kill -KILL "$pid" 2>/dev/null || true
  wait "$pid" 2>/dev/null || true
}

cleanup() {
  stop_pid "$SERVER_PID"
  stop_pid "$AVAHI_PID"
  stop_pid "$BUS_PID"
  # Whatever still runs in our namespace was started by this script (a browse cut short).
  for pid in $(ip netns pids "$NS" 2>/dev/null); do kill -KILL "$pid" 2>/dev/null || true; done
  ip netns del "$NS" 2>/dev/null || true
  ip netns del "$PEER_NS" 2>/dev/null || true
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

check() {  # check NAME CONDITION-COMMAND...
  local name=$1; shift
  CHECKS=$((CHECKS + 1))
  if "$@"; then echo "ok - $name"; else echo "FAILED - $name"; FAILURES=$((FAILURES + 1)); fi
}

# eventually N CONDITION-COMMAND...: polls every 0.2 s for up to N seconds.
eventually() {
  local seconds=$1; shift
  local deadline=$((SECONDS + seconds))
  until "$@"; do
    [ "$SECONDS" -lt "$deadline" ] || return 1
    sleep 0.2
  done
}

# Background jobs call `ip netns exec` directly, so that $! is the process itself (ip execs it).
in_ns() { ip netns exec "$NS" "$@"; }

# --- the private network: namespace, veth to an empty peer namespace, bus, avahi-daemon ---------

ip netns add "$NS" 2>"$WORK/netns.err" || skip "cannot create a network namespace: $(cat "$WORK/netns.err")"
ip netns add "$PEER_NS"
# Created inside the namespace, so the pair never appears among the machine's own interfaces.
in_ns ip link add vm0 type veth peer name vm1 netns "$PEER_NS"
in_ns ip link set lo up
in_ns ip addr add "$ADDR1/24" dev vm0
in_ns ip link set vm0 up
ip netns exec "$PEER_NS" ip addr add "10.$NET.1.2/24" dev vm1
ip netns exec "$PEER_NS" ip link set vm1 up

cat >"$WORK/bus.conf" <<CONF
<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>system</type>
  <listen>unix:path=$WORK/system_bus_socket</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/> <allow own="*"/> <allow send_destination="*"/> <allow receive_sender="*"/>
  </policy>
</busconfig>
CONF
export DBUS_SYSTEM_BUS_ADDRESS="unix:path=$WORK/system_bus_socket"
ip netns exec "$NS" dbus-daemon --config-file="$WORK/bus.conf" --nofork >"$WORK/bus.log" 2>&1 &
BUS_PID=$!
eventually 5 test -S "$WORK/system_bus_socket" || { echo "D-Bus did not start:"; cat "$WORK/bus.log"; exit 1; }

cat >"$WORK/avahi.conf" <<CONF
[server]
use-ipv4=yes
use-ipv6=no
allow-interfaces=vm0
enable-dbus=yes
[wide-area]
enable-wide-area=no
[publish]
publish-workstation=no
publish-hinfo=no
CONF
# avahi-daemon keeps its pid file and socket in /run/avahi-daemon: a private /run (in a mount
# namespace of its own) keeps it clear of the system's daemon and of other runs.
ip netns exec "$NS" unshare --mount --propagation private sh -c \
  'mount -t tmpfs -o mode=0755 vl-mdns-run /run && mkdir /run/avahi-daemon &&
   exec avahi-daemon -f "$1" --no-drop-root --no-chroot --no-rlimits' sh "$WORK/avahi.conf" \
  >"$WORK/avahi.log" 2>&1 &
AVAHI_PID=$!
eventually 10 grep -q "Server startup complete" "$WORK/avahi.log" ||
  { echo "avahi-daemon did not start:"; cat "$WORK/avahi.log"; exit 1; }

# --- the server ----------------------------------------------------------------------------------

# Any port is free in a fresh namespace; let the kernel pick one so that P..P+9 stay in range.
PORT=$(in_ns python3 -c 'import socket; s = socket.socket(socket.AF_INET, socket.SOCK_DGRAM); s.bind(("", 0)); print(s.getsockname()[1])')
NAME="mdns-e2e-$$"
PASSWORD='disc0very pass'
export XDG_CONFIG_HOME="$WORK/xdg-config" XDG_DATA_HOME="$WORK/xdg-data"
config() { "$SERVER" --config-dir "$WORK/config" config set "$@" >/dev/null; }
config controlport "$PORT"
config machinename "$NAME"
config password "$PASSWORD"

ip netns exec "$NS" "$SERVER" --config-dir "$WORK/config" --data-dir "$WORK/data" --no-login-item --no-desktop \
  >"$WORK/server.out" 2>&1 &
SERVER_PID=$!

logged() { grep -qF -- "$1" "$WORK/server.out"; }
logged_count() { grep -cF -- "$1" "$WORK/server.out" || true; }
eventually 10 logged "ControlServer is ready and listening on $ADDR1:$PORT" ||
  { echo "server did not come up on $ADDR1:$PORT:"; cat "$WORK/server.out"; exit 1; }

connect() {  # connect HOST: the client's answer line
  in_ns timeout 15 "$CLIENT" connect "$1:$PORT" --password "$PASSWORD" --device-id mdns-dev 2>&1 || true
}
answer=$(connect "$ADDR1")
check "client connects to $ADDR1:$PORT" grep -q '^ret200 ' <<<"$answer"
APP_ID=$(sed -n 's/^ret200 \([^|]*\)|.*$/\1/p' <<<"$answer")
check "the answer carries an application id" test -n "$APP_ID"

browse() { in_ns timeout 10 avahi-browse -rpt "$SERVICE_TYPE" 2>/dev/null | python3 "$RECORDS"; }
expected_record() {  # expected_record ADDRESS: the resolved line the server must advertise
  printf '%s\t%s\t5353\tid=%s;ip=%s;name=%s;port=%s\n' \
    "$NAME@$1:$PORT" "$1" "$APP_ID" "$1" "$NAME" "$PORT"
}
advertised() { browse >"$WORK/browse.txt"; grep -qxF -- "$(expected_record "$1")" "$WORK/browse.txt"; }
advertised_names() { cut -f1 "$WORK/browse.txt"; }

# --- 1. the advertisement, read by avahi-browse ---------------------------------------------------

check "avahi-browse sees $NAME@$ADDR1:$PORT, SRV port 5353, TXT name/ip/port/id" \
  eventually 15 advertised "$ADDR1"
echo "# advertised: $(cat "$WORK/browse.txt")"
check "exactly one service is advertised" test "$(wc -l <"$WORK/browse.txt")" -eq 1
check "log names the broadcast" logged "Broadcasting servers: $NAME $ADDR1:$PORT"

# --- 2. the client's discover ------------------------------------------------------------------

discover() { in_ns timeout 15 "$CLIENT" discover --seconds 2 2>&1 || true; }
found=$(discover)
echo "# discover: $found"
check "vantrel-link-client discover lists the server with its TXT record" \
  grep -qxF -- "$NAME@$ADDR1:$PORT name=$NAME ip=$ADDR1 port=$PORT id=$APP_ID" <<<"$found"

# --- 3. address change -------------------------------------------------------------------------

# A second address after the first: the host address (the first one) stays, so nothing restarts.
in_ns ip addr add "$ADDR2/24" dev vm0
sleep 1.5
check "an added address that does not change the host address restarts nothing" \
  test "$(logged_count "IP address changed")" -eq 0

# Removing the first makes the second the host address.
in_ns ip addr del "$ADDR1/24" dev vm0
check "path monitor reports the change" \
  eventually 10 logged "IP address changed from $ADDR1 to $ADDR2, restarting control server"
check "control server restarts on the new address" \
  eventually 10 logged "ControlServer is ready and listening on $ADDR2:$PORT"
check "log names the new broadcast" eventually 5 logged "Broadcasting servers: $NAME $ADDR2:$PORT"
check "avahi-browse sees $NAME@$ADDR2:$PORT with ip=$ADDR2" eventually 15 advertised "$ADDR2"
# The old record lingers for the second that mDNS allows after its goodbye, no longer.
old_name_gone() { browse >"$WORK/browse.txt"; ! grep -qF -- "$NAME@$ADDR1:" "$WORK/browse.txt"; }
check "the old advertisement is withdrawn" eventually 10 old_name_gone
echo "# advertised: $(cat "$WORK/browse.txt")"
answer=$(connect "$ADDR2")
check "client connects to the new address $ADDR2:$PORT" grep -qxF -- "ret200 $APP_ID|$NAME" <<<"$answer"
found=$(discover)
check "discover lists the server under its new address" \
  grep -qxF -- "$NAME@$ADDR2:$PORT name=$NAME ip=$ADDR2 port=$PORT id=$APP_ID" <<<"$found"

# No IPv4 address at all: the advertisement goes, the server stays; an address coming back
# brings the advertisement back.
in_ns ip addr del "$ADDR2/24" dev vm0
check "losing the last address is reported as a change to nil" \
  eventually 10 logged "IP address changed from $ADDR2 to nil, restarting control server"
withdrawn() { browse >"$WORK/browse.txt"; ! grep -q . "$WORK/browse.txt"; }
check "without an address nothing is advertised" eventually 10 withdrawn
check "the server keeps running without an address" kill -0 "$SERVER_PID"
in_ns ip addr add "$ADDR1/24" dev vm0
check "an address gained again is reported" \
  eventually 10 logged "IP address changed from nil to $ADDR1, restarting control server"
check "avahi-browse sees $NAME@$ADDR1:$PORT again" eventually 15 advertised "$ADDR1"
answer=$(connect "$ADDR1")
check "client connects to $ADDR1:$PORT again" grep -qxF -- "ret200 $APP_ID|$NAME" <<<"$answer"

# --- 4. shutdown -------------------------------------------------------------------------------

status=0
kill -TERM "$SERVER_PID"
for _ in $(seq 100); do kill -0 "$SERVER_PID" 2>/dev/null || break; sleep 0.1; done
# A server still running here is left to the cleanup, which kills it.
if kill -0 "$SERVER_PID" 2>/dev/null; then status=timeout; else wait "$SERVER_PID" || status=$?; SERVER_PID=""; fi
check "server exits with status 0 within 10 s of SIGTERM (got $status)" test "$status" = 0
check "the service disappears from avahi-browse" eventually 10 withdrawn
check "no crash report in the log" \
  bash -c "! grep -Eq 'AddressSanitizer|runtime error|terminate called' '$WORK/server.out'"

if [ "$FAILURES" -ne 0 ]; then
  echo "--- server log"; cat "$WORK/server.out"
  echo "--- avahi-daemon log"; cat "$WORK/avahi.log"
fi
echo "$((CHECKS - FAILURES)) passed, $FAILURES failed"
[ "$FAILURES" -eq 0 ]
