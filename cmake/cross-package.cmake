# Run by cpack for a cross build (CPACK_PROJECT_CONFIG_FILE): the package's
# dependencies. dpkg-shlibdeps cannot find the target's libraries where it
# looks on this machine; pointed at the cross sysroot it finds them, and the
# dependency each one declares in the shlibs of Debian's cross packages. Those
# name the target's own packages as PACKAGE:ARCH or PACKAGE-ARCH-cross, which
# on the target are plain PACKAGE: the names are put back, the versions kept.
if(NOT CPACK_GENERATOR STREQUAL "DEB")
  return()
endif()
set(work ${CPACK_TOUCHKEY_SHLIBDEPS_DIR})
file(MAKE_DIRECTORY ${work}/debian)
file(TOUCH ${work}/debian/control)
execute_process(
  COMMAND env DEB_HOST_ARCH=${CPACK_DEBIAN_PACKAGE_ARCHITECTURE} dpkg-shlibdeps
          -l${CPACK_TOUCHKEY_TARGET_LIBRARIES} -O ${CPACK_TOUCHKEY_PROGRAMS}
  WORKING_DIRECTORY ${work}
  OUTPUT_VARIABLE found
  ERROR_VARIABLE complaints
  RESULT_VARIABLE failed)
if(failed OR NOT found MATCHES "^shlibs:Depends=")
  message(FATAL_ERROR "dpkg-shlibdeps failed on the cross-built programs:\n${complaints}")
endif()
string(REGEX REPLACE "^shlibs:Depends=" "" depends "${found}")
string(REPLACE ":${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}" "" depends "${depends}")
string(REPLACE "-${CPACK_DEBIAN_PACKAGE_ARCHITECTURE}-cross" "" depends "${depends}")
string(STRIP "${depends}" depends)
# After what the package needs whatever the architecture (the maintainer
# scripts' init-system-helpers).
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CPACK_DEBIAN_PACKAGE_DEPENDS}, ${depends}")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS OFF)
