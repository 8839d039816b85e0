#!/usr/bin/env bash
# The headless desktop's X server and then its window manager are killed during a live session.
# The server survives both: it reports the loss, ends the session that streamed from the dead X
# server, starts it again on the same display and the window manager again, and the next session
# streams. xdpyinfo and xprop witness.
source "$(dirname "$0")/lib.sh"

private_server_settings
start_server_with_desktop
export DISPLAY=$DESKTOP_DISPLAY XAUTHORITY=$DESKTOP_XAUTHORITY
start_painter

# --- The X server dies mid-session.
share first 10
check "the first session streams" grows frames first
old_x=$(server_child Xorg)
check "the server runs Xorg for its desktop" test -n "$old_x"
kill -KILL "$old_x"
check "the server reports the X server's loss" eventually logged "went away"
check "the desktop reports the restart" eventually logged "died; starting it again"
check "the server ends the session that streamed from it" \
  eventually logged "The desktop's X server died: ending the session"
check "a new X server runs on the same display" eventually replaced Xorg "$old_x"
display_answers() { xdpyinfo -display "$DESKTOP_DISPLAY" >/dev/null 2>&1; }
check "the display answers again" eventually display_answers
status=0
wait "$CLIENT_PID" || status=$?
CLIENT_PID=""
check "the first session ends without an error at the client" test "$status" -eq 0
check "the server is still running" kill -0 "$SERVER_PID"

# --- The next session works: its media ports are free again (an X server started during the
# session once inherited them) and frames flow from the new X server.
share second 30  # ended once the window manager checks are done
check "the next session streams" grows frames second
check "its virtual display is on the new X server" \
  eventually bash -c "xrandr --query | grep -q ' 1280x720+'"

# --- The window manager dies mid-session.
wm_supported() { prints 'window id' xprop -root _NET_SUPPORTING_WM_CHECK; }
old_wm=$(server_child openbox)
check "the desktop runs openbox" test -n "$old_wm"
kill -KILL "$old_wm"
check "the desktop reports the window manager's death" \
  eventually logged "the window manager died; starting it again"
check "a new window manager runs" eventually replaced openbox "$old_wm"
check "it announces itself on the root window" eventually wm_supported
check "the session goes on streaming" grows frames second
kill -INT "$CLIENT_PID" 2>/dev/null || true
status=0
wait "$CLIENT_PID" || status=$?
CLIENT_PID=""
check "the second session ends without an error at the client" test "$status" -eq 0
check "no media port stays bound after the sessions" \
  bash -c "! ss -uln | grep -Eq ':($((PORT + 1))|$((PORT + 2))|$((PORT + 4))) '"

check "server shuts down cleanly on SIGTERM" stop_server
[ "$FAILURES" -ne 0 ] && grep -E "warning|error" "$WORK/server.out" | tail -n 30
finish
