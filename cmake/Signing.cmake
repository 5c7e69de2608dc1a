# Code signing of the build's own binaries and the development PKI.
#
# By default the build creates a development PKI in the build tree (test keys
# only, scripts/pki/make-pki.sh) and signs with its "signer" certificate. A
# release build names its real signing material instead:
#   -DWARDLINE_SIGN_CERTS=<chain.pem> -DWARDLINE_SIGN_KEY=<key.pem>
# (docs/trust.md describes the whole release configuration).

option(WARDLINE_DEV_PKI "Create the development PKI in the build tree" ON)
set(WARDLINE_PKI_DIR ${CMAKE_BINARY_DIR}/pki)
set(WARDLINE_SIGN_CERTS "" CACHE FILEPATH "Certificate chain (PEM) that signs the build's binaries")
set(WARDLINE_SIGN_KEY "" CACHE FILEPATH "Private key (PEM) for WARDLINE_SIGN_CERTS")

if(WARDLINE_DEV_PKI)
    execute_process(COMMAND bash ${CMAKE_SOURCE_DIR}/scripts/pki/make-pki.sh ${WARDLINE_PKI_DIR}
                    RESULT_VARIABLE _pki_rc)
    if(NOT _pki_rc EQUAL 0)
        message(FATAL_ERROR "Creating the development PKI failed (${_pki_rc})")
    endif()
    set_property(DIRECTORY ${CMAKE_SOURCE_DIR} APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS
                 ${CMAKE_SOURCE_DIR}/scripts/pki/make-pki.sh ${WARDLINE_PKI_DIR}/.pki-complete)
    if(NOT WARDLINE_SIGN_CERTS)
        set(WARDLINE_SIGN_CERTS ${WARDLINE_PKI_DIR}/signer.chain.pem)
        set(WARDLINE_SIGN_KEY ${WARDLINE_PKI_DIR}/signer.key)
    endif()
endif()

# wardline_sign_target(<target>): signs the target's file after each link.
# In the target's own directory this is a post-build step; from elsewhere a
# stamp target re-signs whenever the file changes.
function(wardline_sign_target target)
    if(NOT WARDLINE_SIGN_CERTS OR NOT WARDLINE_SIGN_KEY)
        message(WARNING "wardline_sign_target(${target}): no signing certificate configured; left unsigned")
        return()
    endif()
    get_target_property(_signed ${target} WARDLINE_SIGNED)
    if(_signed)
        return()
    endif()
    set_target_properties(${target} PROPERTIES WARDLINE_SIGNED ON)
    # A new development PKI relinks, and so re-signs, the target.
    set(_pki_marker "")
    if(WARDLINE_DEV_PKI)
        set(_pki_marker ${WARDLINE_PKI_DIR}/.pki-complete)
    endif()
    set(_cmd bash ${CMAKE_SOURCE_DIR}/scripts/pki/sign-file.sh ${WARDLINE_SIGN_CERTS} ${WARDLINE_SIGN_KEY}
             $<TARGET_FILE:${target}>)
    get_target_property(_dir ${target} SOURCE_DIR)
    if(_dir STREQUAL CMAKE_CURRENT_SOURCE_DIR)
        add_custom_command(TARGET ${target} POST_BUILD COMMAND ${_cmd} VERBATIM)
        if(_pki_marker)
            set_property(TARGET ${target} APPEND PROPERTY LINK_DEPENDS ${_pki_marker})
        endif()
    else()
        set(_stamp ${CMAKE_CURRENT_BINARY_DIR}/${target}.signed.stamp)
        add_custom_command(OUTPUT ${_stamp} COMMAND ${_cmd} COMMAND ${CMAKE_COMMAND} -E touch ${_stamp}
                           DEPENDS $<TARGET_FILE:${target}> ${_pki_marker} VERBATIM)
        add_custom_target(${target}_signed ALL DEPENDS ${_stamp})
    endif()
endfunction()

# The bus library is loaded through the trusted loader, so it is signed as
# well, wherever its target is defined.
function(_wardline_sign_late_targets)
    if(TARGET Courier)
        wardline_sign_target(Courier)
    endif()
endfunction()
cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL _wardline_sign_late_targets)
