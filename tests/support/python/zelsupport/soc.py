"""The whole board on the emulated i.MX6Q through `scripts/board --soc --
CMD`: one boot runs a list of shell steps, and each `check` step comes back
as one case (exit status, standard output, standard error)."""
import base64
import os
import shlex
import subprocess
from dataclasses import dataclass

from . import paths

BOARD = str(paths.SOURCE_DIR / "scripts" / "board")

# Shell helpers of the steps. `check NAME CMD...` runs CMD (for 300 s at
# most) and reports it, also on the board's console for who follows the run;
# `wait_restarted` waits until the service runs again under another process
# than $old.
PRELUDE = r"""
check() {
  local name=$1 status=0; shift
  timeout 300 bash -c '"$@"' check "$@" >/tmp/check.out 2>/tmp/check.err || status=$?
  echo "@@CASE $name $status $(base64 -w0 </tmp/check.out)- $(base64 -w0 </tmp/check.err)-"
  echo "check $name: $status at $(cut -d' ' -f1 /proc/uptime) s" >/dev/ttymxc1
}
as() { local id=$1; shift; setpriv --reuid="$id" --regid="$id" --clear-groups bash -c '"$@"' as "$@"; }
call() {
  local member=$1; shift
  busctl --system --timeout=60 call com.zel.vyrna.SecurityManager / com.zel.vyrna "$member" ay $# "$@"
}
main_pid() { systemctl show -P MainPID vyrna-security-manager.service; }
wait_restarted() {
  local tries pid
  for ((tries = 0; tries < 240; tries++)); do
    pid=$(main_pid)
    if [[ $pid != 0 && $pid != "$old" ]] && systemctl -q is-active vyrna-security-manager.service
    then echo restarted; return 0; fi
    sleep 0.5
  done
  return 1
}
export -f as call main_pid wait_restarted
"""


@dataclass
class Case:
    status: int
    out: str  # latin-1, every byte kept
    err: str


def call(member, payload, user=None):
    """The shell words of one bus call with the given bytes, as user (uid)."""
    words = ["call", member, *(str(b) for b in payload)]
    return (["as", str(user)] if user is not None else []) + words


def check(name, words):
    return "check " + " ".join(shlex.quote(w) for w in [name, *words])


def boot(state, steps, eeprom=None, timeout=1800):
    """Boots the board once and runs the steps; (result, {name: Case}). The
    cases' lines are added to STATE/steps.log."""
    args = [BOARD, "--soc"] + ([f"--eeprom={eeprom}"] if eeprom else [])
    script = PRELUDE + "\n".join(steps) + "\n"
    env = dict(os.environ, ZEL_BOARD_STATE=str(state))
    result = subprocess.run(args + ["--", "bash", "-c", script], stdin=subprocess.DEVNULL,
                            capture_output=True, timeout=timeout, env=env)
    with open(os.path.join(state, "steps.log"), "ab") as log:
        log.write(result.stdout)
    cases = {}
    for line in result.stdout.decode("latin-1").splitlines():
        if line.startswith("@@CASE "):
            _, name, status, out, err = line.split(" ")
            cases[name] = Case(int(status), base64.b64decode(out[:-1]).decode("latin-1"),
                               base64.b64decode(err[:-1]).decode("latin-1"))
    return result, cases
