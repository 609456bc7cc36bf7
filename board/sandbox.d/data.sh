# =DIR: the data partition: DIR appears as /mnt/DATA
setup_data() {
  local dir=${1:?--data needs a directory}
  [[ -d "$dir" ]] || { echo "sandbox: --data: $dir is not a directory" >&2; return 2; }
  sandbox_private_dir /mnt
  mkdir -p /mnt/DATA
  mount --bind "$dir" /mnt/DATA
}
