# KRV_DEBIAN_RELEASE: the number of the Debian release this builds on (12,
# 13, ...), empty elsewhere. Testing and unstable have no VERSION_ID: there
# the codename of the release to come (os-release, or /etc/debian_version's
# "forky/sid") names it. scripts/qt.sh reads the release the same way.
set(KRV_DEBIAN_RELEASE "")
if(EXISTS /etc/os-release)
    file(STRINGS /etc/os-release krv_os_id REGEX "^ID=")
    file(STRINGS /etc/os-release krv_os_version REGEX "^VERSION_ID=")
    file(STRINGS /etc/os-release krv_os_codename REGEX "^VERSION_CODENAME=")
    if(EXISTS /etc/debian_version)
        file(STRINGS /etc/debian_version krv_debian_version LIMIT_COUNT 1)
    endif()
    if(krv_os_id STREQUAL "ID=debian")
        string(REGEX REPLACE "^VERSION_CODENAME=\"?([a-z]*).*" "\\1" krv_codename
                             "${krv_os_codename}")
        if(NOT krv_codename AND "${krv_debian_version}" MATCHES "^([a-z]+)/")
            set(krv_codename ${CMAKE_MATCH_1})
        endif()
        if(krv_os_version MATCHES "^VERSION_ID=\"?([0-9]+)")
            set(KRV_DEBIAN_RELEASE ${CMAKE_MATCH_1})
        elseif(krv_codename AND " bookworm=12 trixie=13 forky=14 duke=15 " MATCHES
                                " ${krv_codename}=([0-9]+) ")
            set(KRV_DEBIAN_RELEASE ${CMAKE_MATCH_1})
        endif()
    endif()
endif()
