# [=DIR]: a private system bus (dbus-daemon, board policy) at /run/dbus/system_bus_socket; DIR shows the socket outside
#
# With DIR, the bus socket is also DIR/system_bus_socket, so clients outside
# the sandbox reach it through DBUS_SYSTEM_BUS_ADDRESS. ZEL_BUS_CONFIG names
# another bus configuration (the tests' one adds com.zel.test.* names).
# With --accounts, give --accounts first: the daemon resolves users at start.
setup_bus() {
  local dir=$1
  local config=${ZEL_BUS_CONFIG:-$here/bus/system-bus.conf}
  sandbox_private_dir /run
  mkdir -p /run/dbus
  if [[ -n "$dir" ]]; then
    [[ -d "$dir" ]] || { echo "sandbox: --bus: $dir is not a directory" >&2; return 2; }
    mount --bind "$dir" /run/dbus
  fi
  rm -f /run/dbus/system_bus_socket

  # The daemon prints its address once it accepts connections; it goes with
  # the sandbox even when the sandbox is killed (parent-death signal).
  local address="" pid
  exec {bus_fd}< <(exec setpriv --pdeathsig TERM dbus-daemon --config-file="$config" \
                     --nofork --nopidfile --print-address 2>/dev/null)
  pid=$!
  read -r -t 20 -u "$bus_fd" address || true
  if [[ -z "$address" ]]; then
    echo "sandbox: --bus: dbus-daemon did not start" >&2
    return 1
  fi
  sandbox_on_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null"
}
