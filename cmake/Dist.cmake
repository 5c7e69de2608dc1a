# The release folder <build>/dist, made again after each link of Wardline.dll
# by scripts/dist.sh with the signing material of cmake/Signing.cmake.
# `make dist` publishes it; tests/dist checks it in `make test`.

set(WARDLINE_DIST_DIR ${CMAKE_BINARY_DIR}/dist)

if(WARDLINE_SIGN_CERTS AND WARDLINE_SIGN_KEY)
    set(_dist_inputs ${CMAKE_SOURCE_DIR}/scripts/dist.sh ${CMAKE_SOURCE_DIR}/scripts/pki/sign-file.sh
                     ${WARDLINE_SIGN_CERTS} ${WARDLINE_SIGN_KEY})
    if(WARDLINE_DEV_PKI)
        list(APPEND _dist_inputs ${WARDLINE_PKI_DIR}/.pki-complete)
    endif()
    add_custom_command(
        OUTPUT ${WARDLINE_DIST_DIR}/SHA256SUMS
        COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/dist.sh package $<TARGET_FILE:Wardline> ${WARDLINE_DIST_DIR}
                ${WARDLINE_SIGN_CERTS} ${WARDLINE_SIGN_KEY}
        DEPENDS Wardline ${_dist_inputs}
        COMMENT "Packaging the release folder dist/"
        VERBATIM)
    add_custom_target(wardline_dist ALL DEPENDS ${WARDLINE_DIST_DIR}/SHA256SUMS)
else()
    message(WARNING "No signing certificate configured: the release folder is not made and make dist fails")
endif()
