# Third-party dependencies. Debian packages are found through pkg-config and their CMake
# configs; ONNX Runtime lives in the project's .deps folder, which scripts/setup fills.
find_package(Threads REQUIRED)
find_package(PkgConfig REQUIRED)
find_package(hwy REQUIRED CONFIG)

add_library(vesk_deps INTERFACE)
target_link_libraries(vesk_deps INTERFACE Threads::Threads hwy::hwy)

if(NOT VESK_KERNELS_ONLY)
  pkg_check_modules(FFMPEG REQUIRED IMPORTED_TARGET libavformat libavcodec libavutil libswscale libswresample)
  find_path(STB_INCLUDE_DIR stb_image.h PATH_SUFFIXES stb REQUIRED)

  set(VESK_ORT_ROOT "${PROJECT_SOURCE_DIR}/.deps/onnxruntime" CACHE PATH "ONNX Runtime headers and library (scripts/setup)")
  if(CMAKE_SYSTEM_PROCESSOR MATCHES "aarch64|arm64")
    set(_ort_arch arm64)
  else()
    set(_ort_arch x64)
  endif()
  find_library(VESK_ORT_LIBRARY NAMES onnxruntime PATHS "${VESK_ORT_ROOT}/lib/${_ort_arch}" NO_DEFAULT_PATH)
  if(NOT VESK_ORT_LIBRARY OR NOT EXISTS "${VESK_ORT_ROOT}/include/onnxruntime_cxx_api.h")
    message(FATAL_ERROR "ONNX Runtime not found under ${VESK_ORT_ROOT}: run scripts/setup")
  endif()
  add_library(vesk_onnxruntime SHARED IMPORTED GLOBAL)
  set_target_properties(vesk_onnxruntime PROPERTIES
    IMPORTED_LOCATION "${VESK_ORT_LIBRARY}"
    IMPORTED_SONAME "libonnxruntime.so.1"
    INTERFACE_INCLUDE_DIRECTORIES "${VESK_ORT_ROOT}/include")
  # Binaries find the runtime library where setup put it, without installing it system-wide.
  get_filename_component(_ort_libdir "${VESK_ORT_LIBRARY}" DIRECTORY)
  set(CMAKE_BUILD_RPATH "${_ort_libdir}" CACHE INTERNAL "")

  add_library(vesk_stb INTERFACE)
  target_include_directories(vesk_stb SYSTEM INTERFACE "${STB_INCLUDE_DIR}")

  target_link_libraries(vesk_deps INTERFACE PkgConfig::FFMPEG vesk_onnxruntime vesk_stb)
endif()
