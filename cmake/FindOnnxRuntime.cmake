# Finds ONNX Runtime's C++ API and creates the imported target OnnxRuntime::OnnxRuntime.
# A system installation (pkg-config "libonnxruntime") wins; otherwise the copy that
# tools/setup.sh unpacks into the user's cache folder is used; OnnxRuntime_PRIVATE then says that
# an installation has to carry the library (OnnxRuntime_LIBRARY_FILE, the file its soname names).
find_package(PkgConfig QUIET)
if(PKG_CONFIG_FOUND)
  pkg_check_modules(PC_ONNXRUNTIME QUIET IMPORTED_TARGET libonnxruntime)
endif()

if(PC_ONNXRUNTIME_FOUND)
  add_library(OnnxRuntime::OnnxRuntime ALIAS PkgConfig::PC_ONNXRUNTIME)
  set(OnnxRuntime_FOUND TRUE)
  message(STATUS "ONNX Runtime: system (${PC_ONNXRUNTIME_VERSION})")
  return()
endif()

if(NOT KIVO_ONNXRUNTIME_ROOT)
  if(DEFINED ENV{XDG_CACHE_HOME} AND NOT "$ENV{XDG_CACHE_HOME}" STREQUAL "")
    set(_kivo_cache "$ENV{XDG_CACHE_HOME}")
  else()
    set(_kivo_cache "$ENV{HOME}/.cache")
  endif()
  set(KIVO_ONNXRUNTIME_ROOT "${_kivo_cache}/kivopro/onnxruntime-1.29.0" CACHE PATH "ONNX Runtime folder (include/, lib/)")
endif()

find_path(OnnxRuntime_INCLUDE_DIR onnxruntime_cxx_api.h PATHS "${KIVO_ONNXRUNTIME_ROOT}/include" NO_DEFAULT_PATH)
find_library(OnnxRuntime_LIBRARY NAMES onnxruntime PATHS "${KIVO_ONNXRUNTIME_ROOT}/lib" NO_DEFAULT_PATH)

include(FindPackageHandleStandardArgs)
find_package_handle_standard_args(OnnxRuntime
  REQUIRED_VARS OnnxRuntime_LIBRARY OnnxRuntime_INCLUDE_DIR
  FAIL_MESSAGE "ONNX Runtime not found: run tools/setup.sh, which unpacks it into ${KIVO_ONNXRUNTIME_ROOT}")

if(OnnxRuntime_FOUND AND NOT TARGET OnnxRuntime::OnnxRuntime)
  add_library(OnnxRuntime::OnnxRuntime SHARED IMPORTED)
  set_target_properties(OnnxRuntime::OnnxRuntime PROPERTIES
    IMPORTED_LOCATION "${OnnxRuntime_LIBRARY}"
    INTERFACE_SYSTEM_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}"
    INTERFACE_INCLUDE_DIRECTORIES "${OnnxRuntime_INCLUDE_DIR}")
  set(OnnxRuntime_PRIVATE TRUE)
  file(REAL_PATH "${OnnxRuntime_LIBRARY}" OnnxRuntime_LIBRARY_FILE)
  message(STATUS "ONNX Runtime: ${OnnxRuntime_LIBRARY}")
endif()
