# What `cmake --install` adds beyond the programs, and the Debian package made of it all
# (`cpack -G DEB`, see tools/package.sh).
#
#   bin/                          kivopro, kivopro-remove, kivopro-service
#   lib/kivopro/                  the private ONNX Runtime (the programs' RPATH points here)
#   share/kivopro/models/         the converted segmentation model, found through XDG_DATA_DIRS
#   share/applications, icons     the launcher entry and its icon (src/app)
#   share/man/man1                the manual pages (tools/man)
#   share/doc/kivopro             copyright and changelog
#   /usr/lib/systemd/system       kivopro-service.service (service/), disabled

# -- ONNX Runtime, under the name the programs ask for (its soname) --
if(OnnxRuntime_PRIVATE)
  execute_process(COMMAND ${CMAKE_OBJDUMP} -p "${OnnxRuntime_LIBRARY_FILE}"
                  OUTPUT_VARIABLE _kivo_ort_headers RESULT_VARIABLE _kivo_ort_result)
  if(NOT _kivo_ort_result EQUAL 0 OR NOT _kivo_ort_headers MATCHES "SONAME +([^\n ]+)")
    message(FATAL_ERROR "Cannot read the soname of ${OnnxRuntime_LIBRARY_FILE}")
  endif()
  install(FILES "${OnnxRuntime_LIBRARY_FILE}" RENAME "${CMAKE_MATCH_1}"
          DESTINATION ${KIVO_INSTALL_PRIVATE_LIBDIR}
          PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ)
endif()

# -- the segmentation model that tools/setup.sh prepared --
set(_kivo_model_name isnet-general-use-fp32-anysize.onnx)
if(DEFINED ENV{XDG_DATA_HOME} AND NOT "$ENV{XDG_DATA_HOME}" STREQUAL "")
  set(_kivo_data_home "$ENV{XDG_DATA_HOME}")
else()
  set(_kivo_data_home "$ENV{HOME}/.local/share")
endif()
find_file(KIVO_MODEL_FILE ${_kivo_model_name} PATHS "${_kivo_data_home}/kivopro/models" NO_DEFAULT_PATH
          DOC "The converted segmentation model an installation carries")
if(KIVO_MODEL_FILE)
  install(FILES "${KIVO_MODEL_FILE}" RENAME ${_kivo_model_name} DESTINATION ${KIVO_INSTALL_MODELDIR})
else()
  message(WARNING "The segmentation model is not prepared (run tools/setup.sh): an installation will lack it")
endif()

# -- documentation a Debian package carries: copyright and a compressed changelog --
set(_kivo_docdir ${CMAKE_INSTALL_DATADIR}/doc/kivopro)
configure_file(${PROJECT_SOURCE_DIR}/tools/debian/changelog.in ${PROJECT_BINARY_DIR}/package/changelog @ONLY)
kivo_install_gzipped(kivo_package_changelog DESTINATION ${_kivo_docdir} FILES ${PROJECT_BINARY_DIR}/package/changelog)
install(FILES ${PROJECT_SOURCE_DIR}/tools/debian/copyright DESTINATION ${_kivo_docdir})
install(FILES ${PROJECT_SOURCE_DIR}/tools/debian/lintian-overrides RENAME kivopro
        DESTINATION ${CMAKE_INSTALL_DATADIR}/lintian/overrides)

# -- the Debian package --
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kivopro)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR "KIVOPRO")
set(CPACK_PACKAGING_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "remove the background of photographs and edit the results")
set(CPACK_PACKAGE_DESCRIPTION
"KIVOPRO cuts the subject of a photograph out of its background with a
segmentation network that runs on the computer's own processor (ONNX
Runtime), or through a removal service, and lets you edit the results in
its image editor.

The package holds the desktop application (kivopro), a command-line tool
that cuts out many photographs at once (kivopro-remove), and kivopro-service,
a removal service for self-hosting, shipped as a systemd unit that is not
enabled.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER "KIVOPRO developers <kivopro@example.org>")
set(CPACK_DEBIAN_PACKAGE_SECTION graphics)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Libraries the programs link come from dpkg-shlibdeps; listed here is what they load at run
# time: the SVG icon and image plugins (every icon of the window), the image format plugins
# (WebP, TIFF), the SQLite driver of the service's default database, and adduser for the
# service's user.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "libqt6svg6, qt6-image-formats-plugins, libqt6sql6-sqlite, adduser")
set(CPACK_DEBIAN_PACKAGE_SUGGESTS "libqt6sql6-psql, nginx, gnome-keyring")
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/tools/debian/postinst
  ${PROJECT_SOURCE_DIR}/tools/debian/prerm
  ${PROJECT_SOURCE_DIR}/tools/debian/postrm)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
include(CPack)
