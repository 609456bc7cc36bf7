# =DIR: the SPI NOR backup partition: DIR appears as /mnt/NOR6
setup_nor() {
  local dir=${1:?--nor needs a directory}
  [[ -d "$dir" ]] || { echo "sandbox: --nor: $dir is not a directory" >&2; return 2; }
  sandbox_private_dir /mnt
  mkdir -p /mnt/NOR6
  mount --bind "$dir" /mnt/NOR6
}
