# Debian packages made with CPack, one per install component:
#   libquorvane-rtsp0       (runtime) the shared library
#   libquorvane-rtsp-dev    (dev)     headers, the .so link, the CMake package and the .pc file
#   quorvane-rtsp-tools     (tools)   quorvane-record, quorvane-testcam and the camera's clip
# scripts/package.sh configures a build with -DCMAKE_INSTALL_PREFIX=/usr -DQUORVANE_PACKAGE_DEB=ON
# (native, or with the AArch64 toolchain file for arm64) and runs cpack there.

set(QUORVANE_DEB_MAINTAINER "quorvane_rtsp maintainers <maintainers@users.noreply.c-seed-1832b9fe.example>"
    CACHE STRING "Maintainer field of the Debian packages")
set(QUORVANE_DEB_RELEASE 1)
set(QUORVANE_DEB_VERSION ${PROJECT_VERSION}-${QUORVANE_DEB_RELEASE})

if(QUORVANE_PACKAGE_DEB)
    # Debian's architecture name of the target, not of the build machine (dpkg's answer).
    if(CMAKE_SYSTEM_PROCESSOR MATCHES "^(aarch64|arm64)$")
        set(deb_arch arm64)
    elseif(CMAKE_SYSTEM_PROCESSOR MATCHES "^(x86_64|AMD64|amd64)$")
        set(deb_arch amd64)
    else()
        execute_process(COMMAND dpkg --print-architecture OUTPUT_VARIABLE deb_arch
                        OUTPUT_STRIP_TRAILING_WHITESPACE)
    endif()

    # Every package carries its copyright file and the Debian changelog (gzip -9n: no time stamp,
    # so the packages build reproducibly).
    set(deb_dir ${CMAKE_CURRENT_BINARY_DIR}/deb)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/copyright.in ${deb_dir}/copyright @ONLY)
    configure_file(${CMAKE_CURRENT_LIST_DIR}/deb/changelog.in ${deb_dir}/changelog.Debian @ONLY)
    execute_process(COMMAND gzip -9nf ${deb_dir}/changelog.Debian RESULT_VARIABLE gzip_status)
    if(NOT gzip_status EQUAL 0)
        message(FATAL_ERROR "gzip failed on ${deb_dir}/changelog.Debian")
    endif()
    # What the library and the tools need from Debian 12, as dpkg-shlibdeps finds it for the amd64
    # build. A cross build cannot ask it: the target's C++ runtime is the cross toolchain's copy,
    # not an installed arm64 package.
    set(deb_libc_depends "libc6 (>= 2.34)")
    set(deb_cxx_depends "libgcc-s1 (>= 3.0), libstdc++6 (>= 12)")
    set(deb_components runtime dev)
    set(deb_package_runtime libquorvane-rtsp0)
    set(deb_package_dev libquorvane-rtsp-dev)
    if(QUORVANE_BUILD_TOOLS)
        list(APPEND deb_components tools)
        set(deb_package_tools quorvane-rtsp-tools)
    endif()
    foreach(component IN LISTS deb_components)
        install(FILES ${deb_dir}/copyright ${deb_dir}/changelog.Debian.gz
                DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${deb_package_${component}} COMPONENT ${component})
    endforeach()

    set(CPACK_GENERATOR DEB)
    set(CPACK_PACKAGE_NAME quorvane-rtsp)
    set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
    set(CPACK_PACKAGE_CONTACT ${QUORVANE_DEB_MAINTAINER})
    set(CPACK_RESOURCE_FILE_LICENSE ${PROJECT_SOURCE_DIR}/LICENSE)
    set(CPACK_PACKAGING_INSTALL_PREFIX ${CMAKE_INSTALL_PREFIX})
    set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
    set(CPACK_STRIP_FILES ON)
    set(CPACK_COMPONENTS_ALL ${deb_components})
    set(CPACK_DEB_COMPONENT_INSTALL ON)
    set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
    set(CPACK_DEBIAN_PACKAGE_RELEASE ${QUORVANE_DEB_RELEASE})
    set(CPACK_DEBIAN_PACKAGE_ARCHITECTURE ${deb_arch})
    set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${QUORVANE_DEB_MAINTAINER})
    set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
    set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
    set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

    set(CPACK_DEBIAN_RUNTIME_PACKAGE_NAME ${deb_package_runtime})
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_SECTION libs)
    string(CONCAT CPACK_COMPONENT_RUNTIME_DESCRIPTION
        "RTSP camera video receiver library\n"
        "Receives live H.264/H.265 video from network cameras over RTSP (RTP over\n"
        "UDP or interleaved in the RTSP TCP connection) and hands the application\n"
        "Annex-B data; reconnects a silent camera by itself.\n"
        "\n"
        "This package holds the shared library.")
    # libquorvane_rtsp.so.0: the shlibs file tells dpkg-shlibdeps of programs linking it to
    # depend on this package at this version or newer; ldconfig runs through a trigger.
    if(CMAKE_CROSSCOMPILING)
        set(CPACK_DEBIAN_RUNTIME_PACKAGE_DEPENDS "${deb_libc_depends}, libcurl3-gnutls (>= 7.16.2), libgnutls30 (>= 3.7), ${deb_cxx_depends}")
    else()
        set(CPACK_DEBIAN_RUNTIME_PACKAGE_SHLIBDEPS ON)
    endif()
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS ON)
    set(CPACK_DEBIAN_PACKAGE_GENERATE_SHLIBS_POLICY ">=")
    # CPack also writes postinst and postrm scripts that call ldconfig (lintian warns:
    # maintscript-calls-ldconfig); do-nothing scripts of our own to stop that draw another warning
    # (maintainer-script-empty), so they stay: calling ldconfig twice does no harm.
    set(CPACK_DEBIAN_RUNTIME_PACKAGE_CONTROL_EXTRA ${CMAKE_CURRENT_LIST_DIR}/deb/triggers)

    set(CPACK_DEBIAN_DEV_PACKAGE_NAME ${deb_package_dev})
    set(CPACK_DEBIAN_DEV_PACKAGE_SECTION libdevel)
    # The .pc file names libcurl in Requires.private, which pkg-config resolves even for --libs.
    set(CPACK_DEBIAN_DEV_PACKAGE_DEPENDS "${deb_package_runtime} (= ${QUORVANE_DEB_VERSION}), libcurl4-gnutls-dev, libgnutls28-dev")
    string(CONCAT CPACK_COMPONENT_DEV_DESCRIPTION
        "RTSP camera video receiver library - development files\n"
        "Receives live H.264/H.265 video from network cameras over RTSP and hands the\n"
        "application Annex-B data.\n"
        "\n"
        "This package holds the headers (include/quorvane_rtsp/), the CMake package\n"
        "QuorvaneRtsp and the pkg-config file quorvane_rtsp.pc.")

    set(CPACK_DEBIAN_TOOLS_PACKAGE_NAME quorvane-rtsp-tools)
    set(CPACK_DEBIAN_TOOLS_PACKAGE_SECTION video)
    # The library's own package is no installed package dpkg-shlibdeps could ask: named here.
    set(CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS "${deb_package_runtime} (= ${QUORVANE_DEB_VERSION}), ${deb_libc_depends}, libgnutls30 (>= 3.7), ${deb_cxx_depends}")
    # The recorder writes MP4/Matroska through FFmpeg's libraries when it was built with them.
    if(QUORVANE_RECORDER_DEB_DEPENDS)
        string(APPEND CPACK_DEBIAN_TOOLS_PACKAGE_DEPENDS ", ${QUORVANE_RECORDER_DEB_DEPENDS}")
    endif()
    string(CONCAT CPACK_COMPONENT_TOOLS_DESCRIPTION
        "RTSP camera recorder and test camera\n"
        "quorvane-record records a camera's H.264/H.265 video over RTSP into an\n"
        "Annex-B file that ffmpeg, ffplay and VLC play as is. quorvane-testcam\n"
        "serves an Annex-B file (by default the bundled clip) over RTSP to several\n"
        "clients, with optional authentication and fault injection, for testing.")

    include(CPack)
endif()
