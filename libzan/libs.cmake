# System libraries of the base library, one block per family.
find_package(Boost REQUIRED)
target_link_libraries(zan PUBLIC Boost::boost)

pkg_check_modules(ZAN_CRYPTO REQUIRED IMPORTED_TARGET libcrypto)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_CRYPTO)

# network family: UPnP port mapping
pkg_check_modules(ZAN_UPNP REQUIRED IMPORTED_TARGET miniupnpc)
target_link_libraries(zan PUBLIC PkgConfig::ZAN_UPNP)
