# =OPTIONS: the Ethernet switch registers and reset GPIOs, a FUSE model under /sys/class/mdio_bus and /sys/class/gpio; OPTIONS: log=FILE,id=HEX,busyreads=N,stuck,absent=DEV,DEV:REG=HEX (see board/switch-model)
setup_switch() {
  local options=$1
  local top
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  local model=${ZEL_SWITCH_MODEL:-${ZEL_BUILD_DIR:-$top/build/test}/board/switch-model/zel-switch-model}
  [[ -x "$model" ]] || { echo "sandbox: --switch: $model is not built (run scripts/test)" >&2; return 2; }

  sandbox_private_dir /sys/class
  local staging=/sys/class/.switch-model
  mkdir -p "$staging" /sys/class/mdio_bus /sys/class/gpio
  "$model" "$staging" "$options" &
  local pid=$!
  sandbox_on_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null"

  local tries
  for ((tries = 0; tries < 200; tries++)); do
    [[ -d "$staging/mdio_bus" ]] && break
    kill -0 "$pid" 2>/dev/null || { echo "sandbox: --switch: the model did not start" >&2; return 2; }
    sleep 0.05
  done
  [[ -d "$staging/mdio_bus" ]] || { echo "sandbox: --switch: the model did not come up" >&2; return 2; }
  mount --bind "$staging/mdio_bus" /sys/class/mdio_bus
  mount --bind "$staging/gpio" /sys/class/gpio
}
