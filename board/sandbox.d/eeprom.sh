# =IMAGE: the board EEPROM: IMAGE appears at both sysfs paths of the I2C EEPROM (bus 2, 0x50)
setup_eeprom() {
  local image=${1:?--eeprom needs an image file}
  [[ -e "$image" ]] || { echo "sandbox: --eeprom: $image does not exist" >&2; return 2; }
  # /sys/class and /sys/bus always exist; private copies of them take the
  # paths that this machine's kernel does not have.
  sandbox_private_dir /sys/class
  sandbox_private_dir /sys/bus
  local path
  for path in /sys/class/i2c-adapter/i2c-2/2-0050/eeprom /sys/bus/i2c/devices/2-0050/eeprom; do
    mkdir -p "$(dirname "$path")"
    # A directory in place of the image shows how the tools take one.
    if [[ -d "$image" ]]; then mkdir -p "$path"; else : >"$path"; fi
    mount --bind "$image" "$path"
  done
}
