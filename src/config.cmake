# Generated headers of the core library.
#
# TrustData.h: the trust validator's product data from one data file
# (src/trust/trustdata.txt by default, -DWARDLINE_TRUST_DATA=<file> for a
# release). Thumbprints written "pki:<name>" come from the development PKI.

set(WARDLINE_TRUST_DATA ${CMAKE_CURRENT_SOURCE_DIR}/trust/trustdata.txt CACHE FILEPATH
    "Product data of the trust validator (signer names, pinned roots, list signer)")
set(_gen ${CMAKE_BINARY_DIR}/generated)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${WARDLINE_TRUST_DATA})

function(_wardline_thumbprint_bytes value out)
    if(value MATCHES "^pki:([A-Za-z0-9_]+)$")
        set(_file ${WARDLINE_PKI_DIR}/${CMAKE_MATCH_1}.sha1)
        if(NOT EXISTS ${_file})
            message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: ${value} names no certificate of the development PKI")
        endif()
        set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS ${_file})
        file(STRINGS ${_file} value LIMIT_COUNT 1)
    endif()
    if(NOT value MATCHES "^[0-9A-Fa-f]+$")
        message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: bad thumbprint '${value}'")
    endif()
    string(LENGTH "${value}" _len)
    if(NOT _len EQUAL 40)
        message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: thumbprint '${value}' is not 40 hex digits")
    endif()
    set(_bytes "")
    foreach(_i RANGE 0 38 2)
        string(SUBSTRING "${value}" ${_i} 2 _b)
        string(APPEND _bytes "0x${_b}, ")
    endforeach()
    set(${out} "{${_bytes}}" PARENT_SCOPE)
endfunction()

file(STRINGS ${WARDLINE_TRUST_DATA} _lines ENCODING UTF-8)
set(_signers "")
set(_roots "")
set(_list_signer "")
set(_nsigners 0)
set(_nroots 0)
foreach(_line IN LISTS _lines)
    string(STRIP "${_line}" _line)
    if(_line STREQUAL "" OR _line MATCHES "^#")
        continue()
    endif()
    if(_line MATCHES "^signer[ \t]+(.+)$")
        string(REPLACE "\\" "\\\\" _name "${CMAKE_MATCH_1}")
        string(REPLACE "\"" "\\\"" _name "${_name}")
        string(APPEND _signers "    L\"${_name}\",\n")
        math(EXPR _nsigners "${_nsigners} + 1")
    elseif(_line MATCHES "^root[ \t]+([^ \t]+)$")
        _wardline_thumbprint_bytes("${CMAKE_MATCH_1}" _b)
        string(APPEND _roots "    ${_b},\n")
        math(EXPR _nroots "${_nroots} + 1")
    elseif(_line MATCHES "^list_signer[ \t]+([^ \t]+)$")
        if(_list_signer)
            message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: more than one list_signer")
        endif()
        _wardline_thumbprint_bytes("${CMAKE_MATCH_1}" _list_signer)
    else()
        message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: cannot read line '${_line}'")
    endif()
endforeach()
if(NOT _nsigners EQUAL 4 OR NOT _nroots EQUAL 6 OR NOT _list_signer)
    message(FATAL_ERROR "${WARDLINE_TRUST_DATA}: needs 4 signers (has ${_nsigners}), 6 roots (has ${_nroots}) and one list_signer")
endif()

file(CONFIGURE OUTPUT ${_gen}/trust/TrustData.h CONTENT [[
#pragma once
// Generated from @WARDLINE_TRUST_DATA@ by src/config.cmake. Do not edit.

namespace Norvan::internal::trustdata
{

constexpr const wchar_t* kSignerNames[4] = {
@_signers@};

constexpr unsigned char kRootThumbprints[6][20] = {
@_roots@};

constexpr unsigned char kListSignerThumbprint[20] = @_list_signer@;

} // namespace Norvan::internal::trustdata
]] @ONLY)
target_include_directories(wardline_core PUBLIC ${_gen})
