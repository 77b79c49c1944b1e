# System libraries of the base library, one block per family.
find_package(Boost REQUIRED)
target_link_libraries(zan PUBLIC Boost::boost)

pkg_check_modules(ZAN_CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_CRYPTO)

# network family: TLS to the authentication, log and upgrade hosts
pkg_check_modules(ZAN_SSL REQUIRED IMPORTED_TARGET libssl)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_SSL)

# network family: UPnP port mapping
pkg_check_modules(ZAN_UPNP REQUIRED IMPORTED_TARGET miniupnpc)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_UPNP)

# desktop: X11 windows, shared-memory images, input injection, text of our
# own popups (Xft, with fontconfig to find their font); ALSA sound
pkg_check_modules(ZAN_X11 REQUIRED IMPORTED_TARGET x11 xext xtst xft fontconfig)
pkg_check_modules(ZAN_ALSA REQUIRED IMPORTED_TARGET alsa)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_X11 PkgConfig::ZAN_ALSA)

# image family: libpng for PNG streams, FreeImage for JPEG and for loading
# pictures of other formats; floating-point resize arithmetic must not be
# contracted into FMA. FreeImage is not linked: it and the codecs it links
# (OpenEXR, JPEG XR, LibRaw, TIFF, WebP, OpenJPEG: a third of the client's
# libraries) are opened with dlopen at the first picture that needs them, by
# the name (soname) the dynamic loader knows the library by.
pkg_check_modules(ZAN_PNG REQUIRED IMPORTED_TARGET libpng16)
find_path(ZAN_FREEIMAGE_INCLUDE FreeImage.h REQUIRED)
find_library(ZAN_FREEIMAGE_LIB freeimage REQUIRED)
execute_process(COMMAND ${CMAKE_OBJDUMP} -p ${ZAN_FREEIMAGE_LIB} OUTPUT_VARIABLE zanFreeImageHeaders ERROR_QUIET)
if(NOT zanFreeImageHeaders MATCHES "SONAME +([^\n]+)")
  message(FATAL_ERROR "No soname found in ${ZAN_FREEIMAGE_LIB}")
endif()
target_include_directories(zan PRIVATE ${ZAN_FREEIMAGE_INCLUDE})
target_compile_definitions(zan PRIVATE ZAN_FREEIMAGE_LIBRARY="${CMAKE_MATCH_1}")
target_link_libraries(zan PUBLIC PkgConfig::ZAN_PNG ${CMAKE_DL_LIBS})
target_compile_options(zan PRIVATE -ffp-contract=off -fno-fast-math)

# capture devices use the ALSA block above; V4L2 needs only the kernel headers

# image primitives: the SIMD kernels are optimised in every build type; at -O0
# each intrinsic is a call of its own and a debug frame copy takes seconds.
set_source_files_properties(
  ${PROJECT_SOURCE_DIR}/imageprims/zpKernelsMmx.cpp ${PROJECT_SOURCE_DIR}/imageprims/zpKernelsSse2.cpp
  ${PROJECT_SOURCE_DIR}/imageprims/zpResizeLinearSse2.cpp ${PROJECT_SOURCE_DIR}/imageprims/zpResizeCubicSse2.cpp
  ${PROJECT_SOURCE_DIR}/imageprims/zpResizeLinearSse.cpp ${PROJECT_SOURCE_DIR}/imageprims/zpResizeCubicSse.cpp
  PROPERTIES COMPILE_OPTIONS -O2)
# The super-sampling kernels of the slots leave their exact loops (integer
# row sums, element-wise float adds) to the vectoriser.
set_source_files_properties(
  ${PROJECT_SOURCE_DIR}/imageprims/zpSuperSampleSse.cpp ${PROJECT_SOURCE_DIR}/imageprims/zpSuperSampleSse2.cpp
  ${PROJECT_SOURCE_DIR}/imageprims/zpSuperSampleSse3.cpp ${PROJECT_SOURCE_DIR}/imageprims/zpSuperSampleSse3C1.cpp
  PROPERTIES COMPILE_OPTIONS -O3)
