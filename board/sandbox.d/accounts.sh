# =DIR: the account database: DIR/passwd and DIR/group replace /etc/passwd and /etc/group
#
# Real accounts for the programs inside (getpwuid, getgrouplist through the
# files NSS module) without touching the machine's own database. Include
# root and the users that the bus policy names.
setup_accounts() {
  local dir=${1:?--accounts needs a directory}
  local file
  for file in passwd group; do
    [[ -f "$dir/$file" ]] || { echo "sandbox: --accounts: $dir/$file is missing" >&2; return 2; }
    mount --bind "$dir/$file" "/etc/$file"
  done
}
