# [=DIR]: a real systemd-journald at /run/systemd/journal; DIR receives the journal files (journalctl -D DIR/*)
#
# Volatile storage under /run/log/journal, no kernel log, no forwarding.
# Entries can be read inside with journalctl; with DIR, outside too once
# the sandbox has ended (journald writes everything out when it stops).
setup_journal() {
  local dir=$1
  sandbox_private_dir /run
  mkdir -p /run/systemd/journald.conf.d /run/log/journal
  if [[ -n "$dir" ]]; then
    [[ -d "$dir" ]] || { echo "sandbox: --journal: $dir is not a directory" >&2; return 2; }
    mount --bind "$dir" /run/log/journal
  fi
  cat > /run/systemd/journald.conf.d/sandbox.conf <<'CONF'
[Journal]
Storage=volatile
ReadKMsg=no
Audit=no
ForwardToSyslog=no
ForwardToKMsg=no
ForwardToConsole=no
ForwardToWall=no
CONF

  setpriv --pdeathsig TERM /lib/systemd/systemd-journald </dev/null >/dev/null 2>&1 &
  local pid=$! i
  for ((i = 0; i < 200; i++)); do
    [[ -S /run/systemd/journal/socket ]] && break
    kill -0 "$pid" 2>/dev/null || break
    sleep 0.05
  done
  if [[ ! -S /run/systemd/journal/socket ]]; then
    echo "sandbox: --journal: systemd-journald did not start" >&2
    return 1
  fi
  sandbox_on_exit "kill $pid 2>/dev/null; wait $pid 2>/dev/null"
}
