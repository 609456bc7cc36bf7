# =FILE: physical memory: FILE (a sparse file with register pages at their physical offsets) appears as /dev/mem
setup_devmem() {
  local file=${1:?--devmem needs a file}
  [[ -f "$file" || -c "$file" ]] || { echo "sandbox: --devmem: $file is not a file" >&2; return 2; }
  [[ -e /dev/mem ]] || devmem_private_dev
  mount --bind "$file" /dev/mem
}

# Kernels built without /dev/mem have no node to bind over, and /dev is the
# machine's own devtmpfs. Replace it inside the namespace by a tmpfs that
# binds every original entry back, plus an empty /dev/mem.
devmem_private_dev() {
  local fd entry name
  exec {fd}</dev
  mount -t tmpfs -o mode=0755 tmpfs /dev
  local old=/proc/self/fd/$fd
  shopt -s dotglob nullglob
  for entry in "$old"/*; do
    name=${entry##*/}
    if [[ -L "$entry" ]]; then
      ln -s "$(readlink "$entry")" "/dev/$name"
    elif [[ -d "$entry" ]]; then
      mkdir "/dev/$name"
      mount --rbind "$entry" "/dev/$name"
    else
      : >"/dev/$name"
      mount --bind "$entry" "/dev/$name"
    fi
  done
  shopt -u dotglob nullglob
  exec {fd}<&-
  : >/dev/mem
}
