# Compiles go through ccache when it is installed: the native, sanitizer, board
# and fuzz trees of scripts/test, and every clone on the machine, share one
# cache, so a rebuild of unchanged sources costs a cache lookup. The cache lives
# beside the kernel trees, outside the source tree ($GWLINK_CCACHE_DIR, default
# /var/cache/gwlink/ccache, or ~/.cache/gwlink/ccache when that is not writable).
option(GW_CCACHE "Compile through ccache when it is installed" ON)
find_program(GW_CCACHE_PROGRAM ccache)
if(GW_CCACHE AND GW_CCACHE_PROGRAM)
  if(DEFINED ENV{GWLINK_CCACHE_DIR})
    set(gw_ccache_dir $ENV{GWLINK_CCACHE_DIR})
  else()
    set(gw_ccache_dir /var/cache/gwlink/ccache)
    file(MAKE_DIRECTORY ${gw_ccache_dir})
    execute_process(COMMAND test -w ${gw_ccache_dir} RESULT_VARIABLE gw_not_writable)
    if(gw_not_writable)
      set(gw_ccache_dir $ENV{HOME}/.cache/gwlink/ccache)
    endif()
  endif()
  # Paths are made relative to the source tree and the build folder's path is
  # left out of the key, so two clones hit each other's entries; the precompiled
  # test header needs the pch sloppiness.
  set(gw_launcher env CCACHE_DIR=${gw_ccache_dir} CCACHE_BASEDIR=${CMAKE_SOURCE_DIR} CCACHE_NOHASHDIR=1
      CCACHE_SLOPPINESS=pch_defines,time_macros,include_file_mtime,include_file_ctime
      CCACHE_MAXSIZE=8G ${GW_CCACHE_PROGRAM})
  set(CMAKE_C_COMPILER_LAUNCHER ${gw_launcher})
  set(CMAKE_CXX_COMPILER_LAUNCHER ${gw_launcher})
endif()
