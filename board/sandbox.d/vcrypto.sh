# =DIR: /dev/vcrypto through the host device bridge; DIR (made if missing) keeps the device master key (master.key, made on first use), the module's kernel log (kernel.log) and the jobs count of the last program (jobs)
# The bridge is the host build of the vcrypto module on the CAAM stand-in,
# preloaded into the command and every program it starts. It is found in
# $ZEL_VCRYPTO_BRIDGE, else in the build named by $ZEL_BUILD_DIR, else in
# build/test. Programs built with AddressSanitizer accept a preloaded
# library only with verify_asan_link_order=0, which is added to ASAN_OPTIONS.
setup_vcrypto() {
  local dir=${1:?--vcrypto needs a state directory}
  local top bridge
  top=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
  bridge=${ZEL_VCRYPTO_BRIDGE:-${ZEL_BUILD_DIR:-$top/build/test}/board/vcrypto-bridge/libvcrypto-bridge.so}
  if [[ ! -f "$bridge" ]]; then
    echo "sandbox: --vcrypto: $bridge is not built (run scripts/test or build the vcrypto_bridge target)" >&2
    return 2
  fi
  mkdir -p "$dir"
  ZEL_VCRYPTO_STATE=$(cd "$dir" && pwd)
  export ZEL_VCRYPTO_STATE
  export LD_PRELOAD="$bridge${LD_PRELOAD:+:$LD_PRELOAD}"
  export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}verify_asan_link_order=0"
}
