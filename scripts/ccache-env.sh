# Sourced by the build scripts: every tree compiles through ccache, with the
# cache outside the clone, so a fresh clone compiles only what changed.
#   . scripts/ccache-env.sh <source root>
# A variable already set by the caller wins.
if command -v ccache >/dev/null 2>&1; then
  export CCACHE_DIR="${CCACHE_DIR:-${XDG_CACHE_HOME:-$HOME/.cache}/ccache}"
  # Paths inside the clone are hashed relative to it, so a clone in another
  # folder, and a tree in another build folder, finds what an earlier one left.
  export CCACHE_BASEDIR="${CCACHE_BASEDIR:-$1}"
  # Trees with debug information would otherwise hash their build folder's path.
  export CCACHE_NOHASHDIR="${CCACHE_NOHASHDIR:-true}"
  export CCACHE_MAXSIZE="${CCACHE_MAXSIZE:-10G}"
  # Read by CMake when it configures a new tree (the wheel's and the fuzz tree's too).
  export CMAKE_C_COMPILER_LAUNCHER="${CMAKE_C_COMPILER_LAUNCHER:-ccache}"
  export CMAKE_CXX_COMPILER_LAUNCHER="${CMAKE_CXX_COMPILER_LAUNCHER:-ccache}"
fi

# ccache_log <file>: notes the compilations from now on in <file> (a fresh
# one); ccache_summary <file...> then says how many the cache answered.
ccache_log() {
  mkdir -p "$(dirname "$1")"
  export CCACHE_STATSLOG="$(cd "$(dirname "$1")" && pwd)/$(basename "$1")"
  rm -f "$CCACHE_STATSLOG"
}
ccache_summary() {
  local log hits misses
  log="$(mktemp)"
  cat "$@" >"$log" 2>/dev/null || true
  hits="$(grep -cE '^(direct|preprocessed)_cache_hit$' "$log" || true)"
  misses="$(grep -c '^cache_miss$' "$log" || true)"
  rm -f "$log"
  echo "compiler cache: $hits hits, $misses compiled"
}
