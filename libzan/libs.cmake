# System libraries of the base library, one block per family.
find_package(Boost REQUIRED)
target_link_libraries(zan PUBLIC Boost::boost)

pkg_check_modules(ZAN_CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_CRYPTO)

# network family: UPnP port mapping
pkg_check_modules(ZAN_UPNP REQUIRED IMPORTED_TARGET miniupnpc)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_UPNP)

# desktop: X11 windows, shared-memory images, input injection; ALSA sound
pkg_check_modules(ZAN_X11 REQUIRED IMPORTED_TARGET x11 xext xtst)
pkg_check_modules(ZAN_ALSA REQUIRED IMPORTED_TARGET alsa)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_X11 PkgConfig::ZAN_ALSA)
