# Sourced by the build scripts: whether to compile through ccache.
#
# A compiler cache pays from the second build of the same sources on, but
# filling an empty one costs about a tenth more processor time (measured:
# 283 s -> 311 s for the MinGW test build), which one run on a fresh
# machine never gets back. QVDS_CCACHE chooses:
#   1      always (the first run fills the cache for the next)
#   0      never
#   unset  only when the cache already holds something
# A launcher set in CMAKE_CXX_COMPILER_LAUNCHER is left as it is.
qvds_ccache_policy() {
  [ -z "${CMAKE_CXX_COMPILER_LAUNCHER:-}" ] || return 0
  command -v ccache >/dev/null || return 0
  case "${QVDS_CCACHE:-auto}" in
    0) return 0 ;;
    1) ;;
    *)
      local files
      files=$(ccache --print-stats 2>/dev/null | awk '$1 == "files_in_cache" { print $2 }')
      [ "${files:-0}" -gt 0 ] || return 0 ;;
  esac
  export CMAKE_CXX_COMPILER_LAUNCHER=ccache
  # Paths inside the tree count as relative: clones elsewhere share the cache.
  export CCACHE_BASEDIR=${CCACHE_BASEDIR:-$PWD}
  # The precompiled headers are cached too.
  export CCACHE_SLOPPINESS=${CCACHE_SLOPPINESS:-pch_defines,time_macros,include_file_mtime,include_file_ctime}
}
