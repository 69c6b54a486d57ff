# Sourced by the scripts: KRV_QT, the Qt they build on (5 on Debian 12 and 13,
# 6 from Debian 14 on, as CMake chooses; KRV_QT in the environment overrides),
# and krv_build, its build folder (build/ for Qt 5, build-qt6/ for Qt 6, or
# BUILD_DIR).
krv_debian_release() {
    local ID= VERSION_ID= VERSION_CODENAME= codename
    [ -r /etc/os-release ] && . /etc/os-release
    [ "$ID" = debian ] || return 0
    if [ -n "$VERSION_ID" ]; then
        echo "${VERSION_ID%%.*}"
        return 0
    fi
    # Testing and unstable have no VERSION_ID: the codename of the release to come names it.
    codename=${VERSION_CODENAME:-$(cut -d/ -f1 /etc/debian_version 2>/dev/null)}
    case "$codename" in
    bookworm) echo 12 ;;
    trixie) echo 13 ;;
    forky) echo 14 ;;
    duke) echo 15 ;;
    esac
}
if [ -z "${KRV_QT:-}" ]; then
    KRV_QT=5
    release=$(krv_debian_release)
    [ -n "$release" ] && [ "$release" -ge 14 ] && KRV_QT=6
fi
export KRV_QT
if [ "$KRV_QT" = 6 ]; then krv_build=${BUILD_DIR:-build-qt6}; else krv_build=${BUILD_DIR:-build}; fi
