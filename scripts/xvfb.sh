# Sourced: starts a private Xvfb on a free display unless one is set, exports DISPLAY, and stops
# it when the sourcing script exits.
if [ -z "${DISPLAY:-}" ]; then
  for n in $(seq 90 140); do
    [ -e "/tmp/.X$n-lock" ] || [ -e "/tmp/.X11-unix/X$n" ] || { karupdt_display=$n; break; }
  done
  Xvfb ":$karupdt_display" -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 &
  karupdt_xvfb_pid=$!
  trap 'kill $karupdt_xvfb_pid 2>/dev/null || true' EXIT
  export DISPLAY=":$karupdt_display"
  for _ in $(seq 50); do
    [ -e "/tmp/.X11-unix/X$karupdt_display" ] && break
    sleep 0.1
  done
fi
