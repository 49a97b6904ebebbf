# Finds mbedTLS 2.x and defines the imported targets
#   MbedTLS::mbedtls     (links MbedTLS::mbedx509)
#   MbedTLS::mbedx509    (links MbedTLS::mbedcrypto)
#   MbedTLS::mbedcrypto  (links what the library's configuration and platform need)
# and MbedTLS_FOUND, MbedTLS_VERSION, MbedTLS_INCLUDE_DIR, MbedTLS_<lib>_LIBRARY.
#
# Linux: the system's library (Debian: libmbedtls-dev, which ships neither pkg-config nor CMake
# package files), or the one under MbedTLS_ROOT when that is set.
# Windows (the MinGW-w64 cross build): the static libraries scripts/build-mbedtls-mingw.sh
# installs; MbedTLS_ROOT names that prefix and is the only place searched (never the MinGW
# sysroot), so the programs always get the pinned build.
#
#   find_package(MbedTLS 2.28...<3 REQUIRED)

include(FindPackageHandleStandardArgs)
include(CMakeFindDependencyMacro)

if(WIN32)
  if(NOT MbedTLS_ROOT)
    message(FATAL_ERROR "MbedTLS_ROOT must name the prefix of scripts/build-mbedtls-mingw.sh")
  endif()
  set(_mbedtls_search PATHS "${MbedTLS_ROOT}" NO_DEFAULT_PATH NO_CMAKE_FIND_ROOT_PATH)
else()
  set(_mbedtls_search)
  if(MbedTLS_ROOT)
    set(_mbedtls_search HINTS "${MbedTLS_ROOT}")
  endif()
endif()

find_path(MbedTLS_INCLUDE_DIR mbedtls/ssl.h ${_mbedtls_search} PATH_SUFFIXES include)
foreach(_mbedtls_lib IN ITEMS mbedtls mbedx509 mbedcrypto)
  find_library(MbedTLS_${_mbedtls_lib}_LIBRARY ${_mbedtls_lib} ${_mbedtls_search}
               PATH_SUFFIXES lib)
endforeach()

unset(MbedTLS_VERSION)
if(MbedTLS_INCLUDE_DIR)
  foreach(_mbedtls_header IN ITEMS version.h build_info.h)
    set(_mbedtls_header "${MbedTLS_INCLUDE_DIR}/mbedtls/${_mbedtls_header}")
    if(EXISTS "${_mbedtls_header}")
      file(STRINGS "${_mbedtls_header}" _mbedtls_line
           REGEX "^#define[ \t]+MBEDTLS_VERSION_STRING[ \t]+\"[0-9.]+\"")
      if(_mbedtls_line MATCHES "\"([0-9.]+)\"")
        set(MbedTLS_VERSION "${CMAKE_MATCH_1}")
        break()
      endif()
    endif()
  endforeach()
endif()

if(WIN32)
  set(_mbedtls_hint "scripts/build-mbedtls-mingw.sh builds it into ${MbedTLS_ROOT}")
else()
  set(_mbedtls_hint "Debian: apt-get install libmbedtls-dev (scripts/setup.sh)")
endif()
find_package_handle_standard_args(MbedTLS
  REQUIRED_VARS MbedTLS_mbedtls_LIBRARY MbedTLS_mbedx509_LIBRARY MbedTLS_mbedcrypto_LIBRARY
                MbedTLS_INCLUDE_DIR
  VERSION_VAR MbedTLS_VERSION
  HANDLE_VERSION_RANGE
  REASON_FAILURE_MESSAGE "${_mbedtls_hint}")

if(MbedTLS_FOUND AND NOT TARGET MbedTLS::mbedcrypto)
  # What the static libraries need besides themselves: the threading layer the configuration
  # chose, and on Windows Winsock (net_sockets) and CryptoAPI (the entropy source).
  set(_mbedtls_deps)
  set(_mbedtls_config "${MbedTLS_INCLUDE_DIR}/mbedtls/config.h")
  if(EXISTS "${_mbedtls_config}")
    file(STRINGS "${_mbedtls_config}" _mbedtls_pthread
         REGEX "^#define[ \t]+MBEDTLS_THREADING_PTHREAD")
    if(_mbedtls_pthread)
      find_dependency(Threads)
      list(APPEND _mbedtls_deps Threads::Threads)
    endif()
  endif()
  if(WIN32)
    list(APPEND _mbedtls_deps ws2_32 advapi32)
  endif()

  foreach(_mbedtls_lib IN ITEMS mbedcrypto mbedx509 mbedtls)
    add_library(MbedTLS::${_mbedtls_lib} UNKNOWN IMPORTED)
    set_target_properties(MbedTLS::${_mbedtls_lib} PROPERTIES
      IMPORTED_LOCATION "${MbedTLS_${_mbedtls_lib}_LIBRARY}"
      INTERFACE_INCLUDE_DIRECTORIES "${MbedTLS_INCLUDE_DIR}")
  endforeach()
  set_target_properties(MbedTLS::mbedcrypto PROPERTIES INTERFACE_LINK_LIBRARIES "${_mbedtls_deps}")
  set_target_properties(MbedTLS::mbedx509 PROPERTIES INTERFACE_LINK_LIBRARIES MbedTLS::mbedcrypto)
  set_target_properties(MbedTLS::mbedtls PROPERTIES INTERFACE_LINK_LIBRARIES MbedTLS::mbedx509)
endif()

mark_as_advanced(MbedTLS_INCLUDE_DIR MbedTLS_mbedtls_LIBRARY MbedTLS_mbedx509_LIBRARY
                 MbedTLS_mbedcrypto_LIBRARY)
